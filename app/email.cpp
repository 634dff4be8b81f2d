#include "email.h"

#include "Dialogs.h"
#include "Header.h"
#include "message/KelMsg.h"
#include "TextCodec.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFont>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <utility>

TForm3* Form3 = nullptr;

namespace {

// Which attachment of the listed message an entry stands for. Kept with the
// entry, so equal names and the sorted order never mix two attachments up.
constexpr int kAttachmentIndexRole = Qt::UserRole;

} // namespace

TForm3::TForm3(QWidget* parent)
    : QDialog(parent), ExecuteSaveDialog([this](TSaveDialog& d) { return RunFileDialog(d); }),
      LanguageIsGerman(viewer::MainIsGerman) {
    setObjectName(QStringLiteral("Form3"));
    viewer::SetFixedFrame(this, QSize(467, 443), true);

    memo_email_anzeigen = new QPlainTextEdit(this);
    memo_email_anzeigen->setObjectName(QStringLiteral("memo_email_anzeigen"));
    memo_email_anzeigen->setGeometry(0, 0, 467, 313);
    memo_email_anzeigen->setReadOnly(true);
    memo_email_anzeigen->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_email_anzeigen->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    lab_anhang = new QLabel(this);
    lab_anhang->setObjectName(QStringLiteral("lab_anhang"));
    QFont bold = lab_anhang->font();
    bold.setBold(true);
    lab_anhang->setFont(bold);
    lab_anhang->setGeometry(8, 318, 281, 18);

    attachment_list = new QListWidget(this);
    attachment_list->setObjectName(QStringLiteral("attachment_list"));
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

    const auto wire = [this](QToolButton* button, void (TForm3::*handler)(QObject*)) {
        connect(button, &QToolButton::clicked, this,
                [this, button, handler] { sweepbox::RunHandler(this, [&] { (this->*handler)(button); }); });
    };
    wire(btn_save_email, &TForm3::btn_save_emailClick);
    wire(btn_save_attachments, &TForm3::btn_save_attachmentsClick);
    wire(btn_close, &TForm3::btn_closeClick);

    save_dialog_email = {QStringLiteral("save_dialog_email"), QStringLiteral("Save E-Mail"),
                         QStringLiteral("ASCII; Text|*.txt"), QStringLiteral("txt"), QStringLiteral(".txt")};
    save_dialog_attachment = {QStringLiteral("save_dialog_attachment"), QStringLiteral("Save Attachment"),
                              QStringLiteral("|*.*"), QString(), QString()};
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

bool TForm3::German() const {
    return LanguageIsGerman && LanguageIsGerman();
}

void TForm3::AddMessage(const kel::TKelMsg* Msg) {
    if (Msg == nullptr)
        return;
    if (!Msg->Text.empty()) {
        // An empty memo takes the text into its first (empty) line, so the
        // memo lines and TextLines_ stay one to one.
        TextLines_.insert(TextLines_.end(), Msg->Text.begin(), Msg->Text.end());
        memo_email_anzeigen->appendPlainText(DisplayLines(Msg->Text, Msg->TextCharSet));
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
        entries.emplace_back(DisplayText(Msg->AttachedFiles.Items(i).FileName), i);
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
    if (Msg == nullptr || Msg != ListedMsg_)
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

QString TForm3::ProposedFileName(const std::string& attachmentName) {
    // Separators, "." and ".." go, so the proposal can only name a file in
    // the folder the dialog is showing.
    return DisplayText(kel::SanitizeAttachmentName(attachmentName));
}

void TForm3::FormActivate(QObject*) {
    const bool german = German();
    setWindowTitle(german ? QStringLiteral("Inhalt der e-mail  - Sweepbox -")
                          : QStringLiteral("Contents of e-mail  - Sweepbox -"));
    close_window->setText(german ? QString::fromUtf8("Schließen") : QStringLiteral("Close"));
    save_email->setText(german ? QStringLiteral("Speichere E-Mail") : QStringLiteral("Save e-mail"));
    save_attachment->setText(german ? QStringLiteral("Speichere Anhang") : QStringLiteral("Save attachment"));
    lab_anhang->setText(german ? QString::fromUtf8("Anhänge :") : QStringLiteral("Attachments :"));

    if (attachment_list->count() > 0) {
        btn_save_attachments->setEnabled(true);
        attachment_list->setCurrentRow(0);
    } else {
        btn_save_attachments->setEnabled(false);
    }
}

void TForm3::btn_save_emailClick(QObject*) {
    if (ExecuteSaveDialog && ExecuteSaveDialog(save_dialog_email)) {
        std::size_t size = 0;
        for (const std::string& line : TextLines_)
            size += line.size() + 2;
        std::string bytes;
        bytes.reserve(size);
        for (const std::string& line : TextLines_) {
            bytes += line;
            bytes += "\r\n";
        }
        SaveBytes(save_dialog_email.FileName, bytes);
    }
    save_dialog_email.FileName = QStringLiteral(".txt");
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
    if (ExecuteSaveDialog && ExecuteSaveDialog(save_dialog_attachment)) {
        // The dialog ran an event loop: look the entry up again, and only
        // while the list still shows what the user picked from.
        if (const std::string* data = ListedData(index, &name); data != nullptr && generation == ListGeneration_)
            SaveBytes(save_dialog_attachment.FileName, *data);
    }
    save_dialog_attachment.FileName.clear();
}

void TForm3::btn_closeClick(QObject*) {
    memo_email_anzeigen->clear();
    TextLines_.clear();
    attachment_list->clear();
    ListedMsg_ = nullptr;
    KeptFiles_.clear();
    ++ListGeneration_;
    accept();
}

bool TForm3::SaveBytes(const QString& path, const std::string& bytes) {
    // QSaveFile writes into a temporary file in the target's folder and
    // renames it over the target on commit, so a failed write leaves the
    // old file (or none) under the chosen name, never a partial one.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok) {
        const auto size = static_cast<qint64>(bytes.size());
        ok = file.write(bytes.data(), size) == size;
        if (ok)
            ok = file.commit();
        else
            file.cancelWriting();
    }
    if (!ok) {
        const QString shown = QDir::toNativeSeparators(path);
        sweepbox::ShowMessage(this, German() ? QStringLiteral("Die Datei %1 konnte nicht gespeichert werden.\n%2")
                                                   .arg(shown, file.errorString())
                                             : QStringLiteral("The file %1 could not be saved.\n%2")
                                                   .arg(shown, file.errorString()));
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
    const qsizetype bar = d.Filter.indexOf(QLatin1Char('|'));
    const QString description = d.Filter.left(bar);
    QString pattern = d.Filter.mid(bar + 1);
    if (pattern == QStringLiteral("*.*"))
        pattern = QStringLiteral("*"); // all files, those without a dot too
    dialog.setNameFilter(description.isEmpty() ? pattern : description + QStringLiteral(" (") + pattern +
                                                               QLatin1Char(')'));
    dialog.setDefaultSuffix(d.DefaultExt);
    if (!d.FileName.isEmpty())
        dialog.selectFile(d.FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    d.FileName = dialog.selectedFiles().constFirst();
    return true;
}

void TForm3::showEvent(QShowEvent* event) {
    FormActivate(this);
    viewer::CenterOnScreen(this);
    QDialog::showEvent(event);
}
