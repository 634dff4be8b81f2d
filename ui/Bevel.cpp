#include "ui/Bevel.h"

#include <QPainter>

TBevel::TBevel(TShape shape, QWidget* parent) : QWidget(parent), shape_(shape) {
    setAttribute(Qt::WA_TransparentForMouseEvents, true);
}

void TBevel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QColor dark = palette().color(QPalette::Dark);
    const QColor light = palette().color(QPalette::Light);
    if (shape_ == TShape::TopLine) {
        p.setPen(dark);
        p.drawLine(0, 0, width() - 1, 0);
        p.setPen(light);
        p.drawLine(0, 1, width() - 1, 1);
    } else {
        const int x = width() / 2 - 1;
        p.setPen(dark);
        p.drawLine(x, 0, x, height() - 1);
        p.setPen(light);
        p.drawLine(x + 1, 0, x + 1, height() - 1);
    }
}
