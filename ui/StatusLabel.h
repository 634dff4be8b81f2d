// A label for a list of status messages. Its text is the messages, each
// preceded by a carriage return, so the first line is empty; the label shows
// each message on a line of its own. Use these members rather than
// QLabel::setText so the stored text keeps its carriage returns.
#pragma once

#include <QLabel>
#include <QString>

class TStatusLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TStatusLabel(QWidget* parent);
    QString Text() const { return raw_; }
    void SetText(const QString& text);
    // Appends a carriage return and the message.
    void Append(const QString& message);
    void Clear() { SetText(QString()); }
    // The messages as a screen reader is given them: the shown lines
    // without the empty first one. A change of them is announced (see
    // ControlsAccessible.h).
    QString ReadText() const;

  private:
    QString raw_;
};
