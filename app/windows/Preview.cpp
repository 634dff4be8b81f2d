#include "app/windows/Preview.h"

#include "app/core/MessageText.h"
#include "app/windows/Header.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>

sweepbox::TWindowOnDemand<TPreviewWindow> PreviewWindow;

TPreviewWindow::TPreviewWindow(const sweepbox::TLanguage& Language, QWidget* parent)
    : QDialog(parent), Language(Language) {
    setObjectName(QStringLiteral("Preview"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(false);
    resize(520, 360);

    memo_preview = new QPlainTextEdit(this);
    memo_preview->setObjectName(QStringLiteral("memo_preview"));
    memo_preview->setReadOnly(true);
    memo_preview->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    memo_preview->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff); // the lines wrap
    // Read-only, yet the keys that move through the text and select it work.
    memo_preview->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

    btn_close = new QPushButton(this);
    btn_close->setObjectName(QStringLiteral("btn_close"));
    connect(btn_close, &QPushButton::clicked, this, &QDialog::reject);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    column->addWidget(memo_preview);
    column->addWidget(btn_close, 0, Qt::AlignHCenter);
    setTabOrder(memo_preview, btn_close);
}

void TPreviewWindow::ShowMessage(const kel::TKelMsg& Msg, const QString& Subject, bool Cut) {
    Subject_ = Subject;
    QStringList lines = ReadableLines(Msg, kLines);
    if (Cut)
        lines << Language.Say("[… gekürzt]", "[… cut short]");
    memo_preview->setPlainText(lines.join(QLatin1Char('\n')));
    memo_preview->moveCursor(QTextCursor::Start);
    memo_preview->verticalScrollBar()->setValue(0);
    FormActivate(this);
}

void TPreviewWindow::FormActivate(QObject*) {
    const QString name = Language.Say("Vorschau", "Preview");
    setWindowTitle(Subject_.isEmpty() ? name : name + QStringLiteral(": ") + Subject_);
    btn_close->setText(Language.Say("Schließen", "Close"));
    memo_preview->setAccessibleName(Language.Say("Anfang der e-mail", "Start of the e-mail"));
}

void TPreviewWindow::showEvent(QShowEvent* event) {
    FormActivate(this);
    if (!Placed_) {
        viewer::CenterOnScreen(this);
        Placed_ = true;
    }
    QDialog::showEvent(event);
}
