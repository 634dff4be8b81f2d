// A small animation shown while the program waits: a ring of dots with one
// bright dot running round. It only runs while playing, so a hidden, stopped
// animation costs nothing.
#pragma once

#include <QBasicTimer>
#include <QWidget>

class TBusyAnimation : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kFrames = 12;
    static constexpr int kFrameMs = 80;
    // The frame shown while stopped.
    static constexpr int kStopFrame = 8;

    explicit TBusyAnimation(QWidget* parent);
    void Play();
    void Stop();
    bool IsPlaying() const { return timer_.isActive(); }
    int Frame() const { return frame_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    QBasicTimer timer_;
    int frame_ = kStopFrame;
};
