#include "ui/StatusLabel.h"

#include "ui/ControlsAccessible.h"

TStatusLabel::TStatusLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    accessible::installControlFactory();
}

void TStatusLabel::SetText(const QString& text) {
    raw_ = text;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QLabel::setText(shown);
}

void TStatusLabel::Append(const QString& message) {
    SetText(raw_ + QLatin1Char('\r') + message);
}
