#include "app/windows/email.h"

#include "app/core/HtmlText.h"
#include "app/core/MessageText.h"
#include "app/core/SaveFile.h"
#include "app/core/TextCodec.h"
#include "app/windows/Dialogs.h"
#include "app/windows/Header.h"
#include "mail/core/KelTempFile.h"
#include "mail/message/KelMsg.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QHideEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <utility>

sweepbox::TWindowOnDemand<TForm3> Form3;

namespace {

// Which attachment of the listed message an entry stands for. Kept with the
// entry, so equal names and the sorted order never mix two attachments up.
constexpr int kAttachmentIndexRole = Qt::UserRole;

// Milliseconds before the second slice of an HTML conversion: about a
// frame, so the window shows the start before it converts the rest (the
// later slices follow as soon as the window has handled its events).
constexpr int kConvertPause = 16;

// An attachment's name for the screen, every hidden control shown as "_".
QString ShownName(const std::string& bytes) {
    return MaskHiddenControls(DisplayText(bytes));
}

bool IsAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

// The text lines of the messages the window shows, where the messages keep
// them; each line is converted from its message's charset when the view
// draws it.
class TForm3::TMessageLines final : public TTextViewSource {
  public:
    void Append(const kel::TKelMsg* Msg) {
        auto part = std::make_unique<TPart>();
        part->Msg = Msg;
        part->Lines = &Msg->Text;
        part->Count = static_cast<qsizetype>(Msg->Text.size());
        part->First = Count_;
        part->Decoder = std::make_unique<TCharsetDecoder>(Msg->TextCharSet);
        Count_ += part->Count;
        Parts_.push_back(std::move(part));
    }

    // Msg goes away: its lines are copied into the window first.
    void Forget(const kel::TKelMsg* Msg) {
        for (const auto& part : Parts_) {
            if (part->Msg != Msg)
                continue;
            part->Kept = *part->Lines;
            part->Lines = &part->Kept;
            part->Msg = nullptr;
        }
    }

    // Hands every line with its CR LF to Write, in order.
    bool WriteLines(const TWrite& Write) const {
        for (qsizetype i = 0; i < Count_; ++i)
            if (!Write(Line(i, nullptr)) || !Write("\r\n"))
                return false;
        return true;
    }

    qsizetype lineCount() const override { return Count_; }

    qsizetype lineSize(qsizetype line) const override { return static_cast<qsizetype>(Line(line, nullptr).size()); }

    bool lineSizeIsLength(qsizetype line) const override { return IsAscii(Line(line, nullptr)); }

    QString lineText(qsizetype line, qsizetype limit) const override {
        TCharsetDecoder* decoder = nullptr;
        const std::string_view bytes = Line(line, &decoder);
        if (decoder == nullptr)
            return QString();
        if (static_cast<qsizetype>(bytes.size()) <= limit)
            return ShowNul(decoder->Decode(std::string(bytes)));
        // Only whole characters: a cut through a multibyte character would
        // make the whole start fail its charset, so the cut backs off by up
        // to three bytes.
        const std::string_view cut = bytes.substr(0, static_cast<std::size_t>(std::max<qsizetype>(limit, 0)));
        std::string start(cut);
        QString text;
        for (int back = 0; back < 4 && !start.empty(); ++back, start.pop_back())
            if (decoder->TryDecode(start, text))
                return ShowNul(text);
        return ShowNul(decoder->Decode(std::string(cut)));
    }

  private:
    struct TPart {
        const kel::TKelMsg* Msg = nullptr; // nullptr once forgotten
        const kel::TTextLines* Lines = nullptr;
        kel::TTextLines Kept; // the lines once Msg was forgotten
        qsizetype Count = 0;           // as many as Msg had when added
        qsizetype First = 0;           // the view's line number of the first
        std::unique_ptr<TCharsetDecoder> Decoder;
    };

    // The bytes of a line, a view into its message's (or the kept) lines;
    // empty, and decoder left alone, for a line that is not there.
    std::string_view Line(qsizetype line, TCharsetDecoder** decoder) const {
        if (line < 0 || line >= Count_)
            return {};
        const auto it = std::upper_bound(Parts_.begin(), Parts_.end(), line,
                                         [](qsizetype l, const auto& part) { return l < part->First; });
        const TPart& part = **std::prev(it);
        const auto index = static_cast<std::size_t>(line - part.First);
        if (index >= part.Lines->size()) // the message lost lines after it was added
            return {};
        if (decoder)
            *decoder = part.Decoder.get();
        return (*part.Lines)[index];
    }

    std::vector<std::unique_ptr<TPart>> Parts_; // apart, so Lines = &Kept stays valid
    qsizetype Count_ = 0;
};

// The text made from an HTML message, line by line, as the view draws it.
// A long message shows a preview at once, made from its start alone; the
// first slice (ConvertMore) then converts from the whole text, and later
// slices convert the rest while the window is open, so a long message
// opens about as fast as a plain one.
class TForm3::TConvertedLines final : public TTextViewSource {
  public:
    // Bytes of markup the preview is made from, input characters the first
    // conversion reads at once and each slice after it (a few ms each).
    static constexpr std::size_t kPreviewBytes = 16 * 1024;
    static constexpr qsizetype kFirstSlice = 16 * 1024;
    static constexpr qsizetype kSlice = 256 * 1024;

    explicit TConvertedLines(const kel::TKelMsg& Msg) : Charset_(Msg.TextCharSet) {
        Bytes_.reserve(Msg.Text.Bytes() + Msg.Text.size());
        for (const std::string_view line : Msg.Text) {
            Bytes_ += line;
            Bytes_ += '\n';
        }
        if (Bytes_.size() <= kPreviewBytes) {
            ConvertMore();
            return;
        }
        // The last line of the preview may be cut short by the end of its
        // markup: it is left out.
        THtmlText preview(Decode(Bytes_.substr(0, Bytes_.rfind('\n', kPreviewBytes) + 1)));
        preview.Convert(kPreviewBytes);
        for (qsizetype k = 0; k + 1 < preview.LineCount(); ++k)
            Preview_ << preview.Line(k).toString();
    }

    // Converts the next slice; Restarted tells that the lines were the
    // preview's until now. True once everything is converted.
    bool ConvertMore(bool* Restarted = nullptr) {
        if (Text_)
            return Text_->Convert(kSlice);
        Text_ = std::make_unique<THtmlText>(Decode(Bytes_));
        std::string().swap(Bytes_);
        Preview_.clear();
        if (Restarted)
            *Restarted = true;
        return Text_->Convert(kFirstSlice);
    }
    bool Done() const { return Text_ && Text_->Done(); }

    qsizetype lineCount() const override { return Text_ ? Text_->LineCount() : Preview_.size(); }
    qsizetype lineSize(qsizetype line) const override { return Line(line).size(); }
    bool lineSizeIsLength(qsizetype) const override { return true; }
    QString lineText(qsizetype line, qsizetype limit) const override {
        return Line(line).left(std::max<qsizetype>(limit, 0)).toString();
    }

  private:
    QStringView Line(qsizetype line) const {
        if (Text_)
            return Text_->Line(line);
        return line >= 0 && line < Preview_.size() ? QStringView(Preview_[line]) : QStringView();
    }

    // Markup in the message's charset, as the preview reads it too.
    QString Decode(const std::string& bytes) const { return DecodeMarkup(bytes, Charset_); }

    std::string Charset_;
    std::string Bytes_; // the markup's bytes, until the conversion starts
    QStringList Preview_;
    std::unique_ptr<THtmlText> Text_;
};

TForm3::TForm3(const sweepbox::TLanguage& Language, QWidget* parent)
    : QDialog(parent), ExecuteSaveDialog([this](TSaveDialog& d) { return RunFileDialog(d); }), Language(Language) {
    setObjectName(QStringLiteral("Form3"));
    viewer::SetFixedFrame(this, QSize(467, 443), true);

    memo_email_anzeigen = new TTextView(this);
    memo_email_anzeigen->setObjectName(QStringLiteral("memo_email_anzeigen"));
    memo_email_anzeigen->setGeometry(0, 0, 467, 313);
    memo_email_anzeigen->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_email_anzeigen->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    lab_anhang = new QLabel(this);
    lab_anhang->setObjectName(QStringLiteral("lab_anhang"));
    QFont bold = lab_anhang->font();
    bold.setBold(true);
    lab_anhang->setFont(bold);
    lab_anhang->setGeometry(8, 318, 281, 18);

    attachment_list = new QListWidget(this);
    attachment_list->setObjectName(QStringLiteral("attachment_list"));
    lab_anhang->setBuddy(attachment_list);
    attachment_list->setGeometry(8, 338, 281, 97);
    attachment_list->setSelectionMode(QAbstractItemView::SingleSelection);

    const auto addButton = [this](const char* buttonName, QStyle::StandardPixmap icon, int y,
                                  const char* labelName, QLabel*& label) {
        auto* button = new QToolButton(this);
        button->setObjectName(QString::fromLatin1(buttonName));
        button->setIcon(style()->standardIcon(icon, nullptr, button));
        button->setIconSize(QSize(16, 16));
        button->setGeometry(300, y, 25, 25);
        label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(labelName));
        label->setGeometry(332, y, 131, 25);
        label->setBuddy(button);
        label->installEventFilter(this); // a click on the caption clicks the button
        return button;
    };
    btn_save_email = addButton("btn_save_email", QStyle::SP_DialogSaveButton, 338, "save_email", save_email);
    btn_save_attachments =
        addButton("btn_save_attachments", QStyle::SP_FileIcon, 374, "save_attachment", save_attachment);
    btn_close = addButton("btn_close", QStyle::SP_DialogCloseButton, 410, "close_window", close_window);

    chk_source = new QCheckBox(this);
    chk_source->setObjectName(QStringLiteral("chk_source"));
    chk_source->setGeometry(300, 315, 163, 20);
    chk_source->hide();
    connect(chk_source, &QCheckBox::toggled, this, [this](bool checked) { ShowSource(checked); });
    ConvertTimer_ = new QTimer(this);
    ConvertTimer_->setSingleShot(true);
    connect(ConvertTimer_, &QTimer::timeout, this, [this] { ConvertMore(); });

    const auto wire = [this](QToolButton* button, void (TForm3::*handler)(QObject*)) {
        connect(button, &QToolButton::clicked, this,
                [this, button, handler] { sweepbox::RunHandler(this, [&] { (this->*handler)(button); }); });
    };
    wire(btn_save_email, &TForm3::btn_save_emailClick);
    wire(btn_save_attachments, &TForm3::btn_save_attachmentsClick);
    wire(btn_close, &TForm3::btn_closeClick);

    save_dialog_email = {QStringLiteral("save_dialog_email"),
                         QStringLiteral("Save E-Mail"),
                         QStringLiteral("ASCII; Text|*.txt"),
                         QStringLiteral("txt"),
                         QString(),
                         QString()};
    save_dialog_attachment = {QStringLiteral("save_dialog_attachment"), QStringLiteral("Save Attachment"),
                              QStringLiteral("|*.*"), QString(), QString(), QString()};
}

TForm3::~TForm3() = default;

bool TForm3::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* label = qobject_cast<QLabel*>(watched);
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (label && mouse->button() == Qt::LeftButton && label->rect().contains(mouse->position().toPoint())) {
            auto* button = qobject_cast<QAbstractButton*>(label->buddy());
            if (button && button->isEnabled())
                button->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TForm3::AddMessage(const kel::TKelMsg* Msg, int Number) {
    if (Msg == nullptr)
        return;
    if (!Lines_ && !Original_ && Subject_.empty()) {
        Subject_ = Msg->Subject;
        Number_ = Number;
        Original_ = Msg->Original;
    }
    if (!Msg->Text.empty()) {
        if (Lines_) {
            // A second message joins the first: both show as received.
            if (Converted_) {
                ConvertTimer_->stop();
                Converted_.reset();
                chk_source->hide();
                memo_email_anzeigen->setSource(Lines_);
            }
            Lines_->Append(Msg);
            memo_email_anzeigen->linesAppended();
        } else {
            Lines_ = std::make_shared<TMessageLines>();
            Lines_->Append(Msg);
            if (IsHtmlOnly(*Msg)) {
                Converted_ = std::make_shared<TConvertedLines>(*Msg);
                if (!Converted_->Done())
                    ConvertTimer_->start(kConvertPause);
                const QSignalBlocker quiet(chk_source);
                chk_source->setChecked(false);
                chk_source->show();
            }
            memo_email_anzeigen->setSource(Converted_ ? std::shared_ptr<const TTextViewSource>(Converted_)
                                                      : std::shared_ptr<const TTextViewSource>(Lines_));
        }
    }
    const int count = Msg->AttachedFiles.Count();
    if (count == 0)
        return;
    attachment_list->clear();
    ListedMsg_ = Msg;
    KeptFiles_.clear();
    ++ListGeneration_;
    std::vector<std::pair<QString, int>> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        entries.emplace_back(ShownName(Msg->AttachedFiles.Items(i).FileName), i);
    // The order of a sorted list box: letters regardless of case; equal
    // names keep the message's order.
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        const int c = a.first.compare(b.first, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.first < b.first;
    });
    for (const auto& [name, index] : entries) {
        auto* item = new QListWidgetItem(name);
        item->setData(kAttachmentIndexRole, index);
        attachment_list->addItem(item);
    }
}

void TForm3::ForgetMessage(const kel::TKelMsg* Msg) {
    if (Msg == nullptr)
        return;
    if (Lines_)
        Lines_->Forget(Msg);
    if (Msg != ListedMsg_)
        return;
    KeptFiles_.clear();
    const int count = Msg->AttachedFiles.Count();
    KeptFiles_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const kel::TAttachedFile& file = Msg->AttachedFiles.Items(i);
        KeptFiles_.push_back({file.FileName, file.Data});
    }
    ListedMsg_ = nullptr;
}

const std::string* TForm3::ListedData(int index, const std::string** name) const {
    if (ListedMsg_ != nullptr) {
        if (index < 0 || index >= ListedMsg_->AttachedFiles.Count())
            return nullptr;
        const kel::TAttachedFile& file = ListedMsg_->AttachedFiles.Items(index);
        *name = &file.FileName;
        return &file.Data;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= KeptFiles_.size())
        return nullptr;
    const TKeptAttachment& kept = KeptFiles_[static_cast<std::size_t>(index)];
    *name = &kept.FileName;
    return &kept.Data;
}

std::size_t TForm3::TextLineCount() const {
    return Lines_ ? static_cast<std::size_t>(Lines_->lineCount()) : 0;
}

QString TForm3::ProposedFileName(const std::string& attachmentName) {
    // Control bytes become "_" first, as the cleaning would drop them. Then
    // separators, "." and ".." go, so the proposal can only name a file in
    // the folder the dialog is showing.
    std::string name = attachmentName;
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '_';
    return ShownName(kel::SanitizeAttachmentName(std::move(name)));
}

QString TForm3::ProposedMessageName(const std::string& subject, int number, bool german) {
    // A subject of dots or blanks would make a hidden file or none at all.
    QString name = ProposedFileName(subject).trimmed();
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    constexpr qsizetype kMaxName = 80;
    if (name.size() > kMaxName)
        name.truncate(name[kMaxName - 1].isHighSurrogate() ? kMaxName - 1 : kMaxName);
    name = name.trimmed();
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    name = name.trimmed();
    if (!name.isEmpty())
        return name;
    const QString word = german ? QStringLiteral("Nachricht") : QStringLiteral("message");
    return number > 0 ? word + QLatin1Char('-') + QString::number(number) : word;
}

void TForm3::ConvertMore() {
    if (!Converted_)
        return;
    bool restarted = false;
    const bool done = Converted_->ConvertMore(&restarted);
    if (ShowsConvertedHtml()) {
        if (restarted) // the preview's lines make way for the whole text's
            memo_email_anzeigen->setSource(Converted_);
        else
            memo_email_anzeigen->linesAppended();
    }
    if (!done)
        ConvertTimer_->start(0);
}

bool TForm3::ShowsConvertedHtml() const {
    return Converted_ && !chk_source->isChecked();
}

void TForm3::ShowSource(bool source) {
    if (!Converted_ || !Lines_)
        return;
    memo_email_anzeigen->setSource(source ? std::shared_ptr<const TTextViewSource>(Lines_)
                                          : std::shared_ptr<const TTextViewSource>(Converted_));
}

QString TForm3::SaveFolder() const {
    if (!LastFolder_.isEmpty() && QFileInfo(LastFolder_).isDir())
        return LastFolder_;
    return QDir::homePath();
}

bool TForm3::AskFileName(TSaveDialog& dialog) {
    dialog.Folder = SaveFolder();
    if (!ExecuteSaveDialog || !ExecuteSaveDialog(dialog))
        return false;
    const QFileInfo chosen(dialog.FileName);
    if (chosen.isAbsolute())
        LastFolder_ = chosen.absolutePath();
    return true;
}

void TForm3::FormActivate(QObject*) {
    setWindowTitle(Language.Say("Inhalt der e-mail  - Sweepbox -", "Contents of e-mail  - Sweepbox -"));
    close_window->setText(Language.Say("Schließen", "Close"));
    save_email->setText(Language.Say("Speichere E-Mail", "Save e-mail"));
    save_attachment->setText(Language.Say("Speichere Anhang", "Save attachment"));
    lab_anhang->setText(Language.Say("Anhänge :", "Attachments :"));
    attachment_list->setAccessibleName(Language.Say("Anhänge", "Attachments"));
    memo_email_anzeigen->setAccessibleName(Language.Say("Text der e-mail", "Text of the e-mail"));
    chk_source->setText(Language.Say("Quelltext anzeigen", "Show source"));
    memo_email_anzeigen->setMenuTexts(Language.Say("&Kopieren", "&Copy"),
                                      Language.Say("&Alles markieren", "Select &All"));

    if (attachment_list->count() > 0) {
        btn_save_attachments->setEnabled(true);
        attachment_list->setCurrentRow(0);
    } else {
        btn_save_attachments->setEnabled(false);
    }
}

void TForm3::btn_save_emailClick(QObject*) {
    // The lines and the original as they are now, whatever the dialog's
    // event loop does.
    const std::shared_ptr<const TMessageLines> lines = Lines_;
    const std::shared_ptr<const kel::TTempFile> original = Original_;
    save_dialog_email.FileName = ProposedMessageName(Subject_, Number_, German()) + QStringLiteral(".txt");
    save_dialog_email.Filter =
        original ? Language.Say("Text|*.txt|E-Mail wie empfangen|*.eml", "Text|*.txt|E-mail as received|*.eml")
                 : QStringLiteral("Text|*.txt");
    save_dialog_email.FilterIndex = 1;
    if (!AskFileName(save_dialog_email))
        return;
    // The name's extension decides; a name without one, the chosen type.
    const QString suffix = QFileInfo(save_dialog_email.FileName).suffix();
    const bool eml =
        original &&
        (suffix.compare(QStringLiteral("eml"), Qt::CaseInsensitive) == 0 ||
         (save_dialog_email.FilterIndex == 2 && suffix.compare(QStringLiteral("txt"), Qt::CaseInsensitive) != 0));
    if (eml) {
        SaveBytes(save_dialog_email.FileName, [&original](const TWrite& write) {
            try {
                return original->ReadBlocks(write);
            } catch (const std::exception&) {
                return false; // a failed read: the file is not replaced
            }
        });
    } else {
        SaveBytes(save_dialog_email.FileName,
                  [&lines](const TWrite& write) { return !lines || lines->WriteLines(write); });
    }
}

void TForm3::btn_save_attachmentsClick(QObject*) {
    const QListWidgetItem* item = attachment_list->currentItem();
    if (item == nullptr || !item->isSelected())
        return; // nothing chosen, nothing to save
    bool valid = false;
    const int index = item->data(kAttachmentIndexRole).toInt(&valid);
    const std::string* name = nullptr;
    if (!valid || ListedData(index, &name) == nullptr)
        return;

    save_dialog_attachment.FileName = ProposedFileName(*name);
    const int generation = ListGeneration_;
    if (AskFileName(save_dialog_attachment)) {
        // The dialog ran an event loop: look the entry up again, and only
        // while the list still shows what the user picked from.
        if (const std::string* data = ListedData(index, &name); data != nullptr && generation == ListGeneration_)
            SaveBytes(save_dialog_attachment.FileName, [data](const TWrite& write) { return write(*data); });
    }
    save_dialog_attachment.FileName.clear();
}

void TForm3::btn_closeClick(QObject*) {
    ReleaseContents();
    accept();
}

void TForm3::ReleaseContents() {
    memo_email_anzeigen->clear();
    Lines_.reset();
    ConvertTimer_->stop();
    Converted_.reset();
    Original_.reset();
    Subject_.clear();
    Number_ = 0;
    chk_source->hide();
    attachment_list->clear();
    ListedMsg_ = nullptr;
    std::vector<TKeptAttachment>().swap(KeptFiles_);
    ++ListGeneration_;
}

bool TForm3::SaveBytes(const QString& path, const sweepbox::TProduceBytes& Produce) {
    QString reason;
    const sweepbox::TSaveResult result = sweepbox::SaveBytes(path, Produce, reason);
    if (result == sweepbox::TSaveResult::NotAFile)
        reason = German() ? QStringLiteral("Das ist keine Datei.") : QStringLiteral("This is not a file.");
    const bool ok = result == sweepbox::TSaveResult::Saved;
    if (!ok) {
        const QString shown = QDir::toNativeSeparators(path);
        sweepbox::ShowMessage(this, German() ? QStringLiteral("Die Datei %1 konnte nicht gespeichert werden.\n%2")
                                                   .arg(shown, reason)
                                             : QStringLiteral("The file %1 could not be saved.\n%2")
                                                   .arg(shown, reason));
    }
    return ok;
}

bool TForm3::RunFileDialog(TSaveDialog& d) {
    QFileDialog dialog(this, d.Title);
    dialog.setObjectName(d.Name);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setSizeGripEnabled(true);
    // "description|pattern" pairs; "*.*" means all files, those without a
    // dot too, and a "*.ext" pattern gives its extension to a bare name.
    const QStringList parts = d.Filter.split(QLatin1Char('|'));
    QStringList filters, suffixes;
    for (qsizetype k = 0; k + 1 < parts.size(); k += 2) {
        QString pattern = parts[k + 1];
        if (pattern == QStringLiteral("*.*"))
            pattern = QStringLiteral("*");
        filters << (parts[k].isEmpty() ? pattern : parts[k] + QStringLiteral(" (") + pattern + QLatin1Char(')'));
        suffixes << (pattern.startsWith(QStringLiteral("*.")) ? pattern.mid(2) : d.DefaultExt);
    }
    dialog.setNameFilters(filters);
    const qsizetype first = std::clamp<qsizetype>(d.FilterIndex - 1, 0, std::max<qsizetype>(filters.size() - 1, 0));
    if (!filters.isEmpty())
        dialog.selectNameFilter(filters[first]);
    dialog.setDefaultSuffix(suffixes.value(first, d.DefaultExt));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, &filters, &suffixes](const QString& filter) {
        const QString suffix = suffixes.value(filters.indexOf(filter));
        dialog.setDefaultSuffix(suffix);
        // The proposed name follows the type, so the two never disagree.
        const QStringList chosen = dialog.selectedFiles();
        if (!suffix.isEmpty() && !chosen.isEmpty() && !QFileInfo(chosen.constFirst()).isDir())
            dialog.selectFile(QFileInfo(chosen.constFirst()).completeBaseName() + QLatin1Char('.') + suffix);
    });
    if (!d.Folder.isEmpty())
        dialog.setDirectory(d.Folder);
    if (!d.FileName.isEmpty())
        dialog.selectFile(d.FileName);
    if (sweepbox::ExecModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    d.FileName = dialog.selectedFiles().constFirst();
    d.FilterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter()) + 1);
    return true;
}

void TForm3::showEvent(QShowEvent* event) {
    FormActivate(this);
    viewer::CenterOnScreen(this);
    QDialog::showEvent(event);
}

void TForm3::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    // Minimised windows get a spontaneous hide and keep what they show.
    if (!event->spontaneous())
        ReleaseContents();
}
