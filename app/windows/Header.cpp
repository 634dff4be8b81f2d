#include "app/windows/Header.h"

#include "app/core/TextCodec.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>

sweepbox::TWindowOnDemand<TForm2> Form2;

namespace viewer {

void SetFixedFrame(QDialog* dialog, QSize client, bool minimizeBox) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (minimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    dialog->setWindowFlags(flags);
    dialog->setFixedSize(client);
    dialog->setSizeGripEnabled(false);
}

void CenterOnScreen(QWidget* window) {
    if (const QScreen* screen = window->screen())
        window->move(screen->availableGeometry().center() - window->rect().center());
}

} // namespace viewer

TForm2::TForm2(const sweepbox::TLanguage& Language, QWidget* parent) : QDialog(parent), Language(Language) {
    setObjectName(QStringLiteral("Form2"));
    viewer::SetFixedFrame(this, QSize(537, 332), true);

    memo_header_anzeigen = new QPlainTextEdit(this);
    memo_header_anzeigen->setObjectName(QStringLiteral("memo_header_anzeigen"));
    memo_header_anzeigen->setGeometry(0, 0, 537, 305);
    memo_header_anzeigen->setReadOnly(true);
    memo_header_anzeigen->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo_header_anzeigen->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_header_anzeigen->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Enter in the memo stays there instead of pressing the default button.
    memo_header_anzeigen->installEventFilter(this);

    btn_close = new QPushButton(this);
    btn_close->setObjectName(QStringLiteral("btn_close"));
    btn_close->setGeometry((537 - 75) / 2, 306, 75, 25);
    btn_close->setDefault(true);
    connect(btn_close, &QPushButton::clicked, this, [this] {
        btn_closeClick(btn_close);
        accept();
    });
    setTabOrder(btn_close, memo_header_anzeigen);
}

void TForm2::AddHeader(const std::string& text) {
    const std::string charset = HeaderCharset(text);
    QString shown;
    for (const std::string& line : SplitTextLines(text)) {
        if (!shown.isEmpty())
            shown += QLatin1Char('\n');
        // A tab only indents a folded line; every other hidden control shows.
        QString chars = DisplayText(line, charset);
        chars.replace(QLatin1Char('\t'), QLatin1Char(' '));
        shown += MaskHiddenControls(std::move(chars));
    }
    memo_header_anzeigen->appendPlainText(shown);
}

void TForm2::ShowTop() {
    // A caret at the end of a long first line would scroll the memo
    // sideways and hide the start of every line.
    memo_header_anzeigen->setTextCursor(QTextCursor(memo_header_anzeigen->document()->firstBlock()));
    memo_header_anzeigen->horizontalScrollBar()->setValue(0);
    memo_header_anzeigen->verticalScrollBar()->setValue(0);
}

void TForm2::FormActivate(QObject*) {
    setWindowTitle(Language.Say("Header der e-mail  - Sweepbox -", "Mail header  - Sweepbox -"));
    btn_close->setText(Language.Say("Schließen", "Close"));
    memo_header_anzeigen->setAccessibleName(Language.Say("Header der e-mail", "Header of the e-mail"));
}

void TForm2::btn_closeClick(QObject*) {
    memo_header_anzeigen->clear();
}

void TForm2::showEvent(QShowEvent* event) {
    FormActivate(this);
    viewer::CenterOnScreen(this);
    btn_close->setFocus();
    QDialog::showEvent(event);
    // The memo lays its text out for its real size only now; its scroll
    // ranges change with that, so the top left is set again.
    if (!event->spontaneous() && memo_header_anzeigen->textCursor().position() == 0) {
        memo_header_anzeigen->horizontalScrollBar()->setValue(0);
        memo_header_anzeigen->verticalScrollBar()->setValue(0);
    }
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
    if (watched == memo_header_anzeigen && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            return true;
    }
    return QDialog::eventFilter(watched, event);
}
