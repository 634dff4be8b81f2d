#include "ui/StatusLabel.h"

#include "ui/ControlsAccessible.h"

TStatusLabel::TStatusLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    accessible::installControlFactory();
}

QString TStatusLabel::ReadText() const {
    QString read = text();
    if (read.startsWith(QLatin1Char('\n')))
        read.remove(0, 1);
    return read;
}

void TStatusLabel::SetText(const QString& text) {
    const bool told = accessible::listening();
    const QString before = told ? ReadText() : QString();
    raw_ = text;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QLabel::setText(shown);
    if (told)
        accessible::textChanged(this, before, ReadText());
}

void TStatusLabel::Append(const QString& message) {
    SetText(raw_ + QLatin1Char('\r') + message);
}
