// A sunken line: along the top edge of its rectangle, or vertically through
// its middle. It lets the mouse through to what lies under it.
#pragma once

#include <QWidget>

class TBevel : public QWidget {
    Q_OBJECT
  public:
    enum class TShape { TopLine, VerticalLine };
    TBevel(TShape shape, QWidget* parent);
    TShape Shape() const { return shape_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    TShape shape_;
};
