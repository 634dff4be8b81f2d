// A status bar divided into panels of fixed width; the last panel takes the
// rest of the bar. A panel grows when its text needs more room than its
// width, except the last, which cuts a long text rather than widen the window.
#pragma once

#include <QLabel>
#include <QStatusBar>
#include <QString>
#include <initializer_list>
#include <vector>

class TStatusBar : public QStatusBar {
    Q_OBJECT
  public:
    // The panels are labels named "Panel0", "Panel1", ...
    TStatusBar(std::initializer_list<int> widths, QWidget* parent);
    int PanelCount() const { return static_cast<int>(panels_.size()); }
    // An index outside the panels reads as empty text and ignores writes.
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);
    QLabel* Panel(int index) const;

  private:
    std::vector<QLabel*> panels_;
};
