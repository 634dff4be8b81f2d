#include "ui/BusyAnimation.h"

#include "ui/Colours.h"

#include <QPainter>
#include <QTimerEvent>
#include <cmath>

TBusyAnimation::TBusyAnimation(QWidget* parent) : QWidget(parent) {}

void TBusyAnimation::Play() {
    if (!timer_.isActive())
        timer_.start(kFrameMs, this);
}

void TBusyAnimation::Stop() {
    timer_.stop();
    frame_ = kStopFrame;
    update();
}

void TBusyAnimation::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    frame_ = (frame_ + 1) % kFrames;
    update();
}

void TBusyAnimation::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QPointF centre(width() / 2.0, height() / 2.0);
    const double ring = qMin(width(), height()) / 2.0 - 2.5;
    // Dark blue, lightened where the window is dark.
    const QColor lead = colours::Readable(QColor(0, 70, 170), palette().color(QPalette::Window), 3.0);
    for (int i = 0; i < kFrames; ++i) {
        // Dots behind the lead fade out, so the ring seems to turn.
        const int age = (frame_ - i + kFrames) % kFrames;
        QColor c = lead;
        c.setAlphaF(age == 0 ? 1.0 : qMax(0.15, 0.8 - age * 0.13));
        const double angle = 2 * M_PI * i / kFrames - M_PI / 2;
        const QPointF at = centre + QPointF(ring * std::cos(angle), ring * std::sin(angle));
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(at, 1.8, 1.8);
    }
}
