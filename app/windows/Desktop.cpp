#include "app/windows/Desktop.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QString>
#include <QWidget>

// The resource lives in this static library; naming its initialiser here
// keeps the linker from dropping it. Q_INIT_RESOURCE cannot be used inside a
// namespace.
static void InitIconResource() {
    Q_INIT_RESOURCE(icons);
}

namespace sweepbox {

namespace {

// The theme's icon under kDesktopId; a null icon where the theme has none.
QIcon ThemeIcon() {
    const QIcon themed = QIcon::fromTheme(QString(kDesktopId));
    return themed.isNull() || themed.availableSizes().isEmpty() ? QIcon() : themed;
}

// Waits for the first paint of the window it watches, then (from the event
// loop, after the paint has reached the screen) gives the program its whole
// icon, and goes.
class TWholeIconAfterPaint : public QObject {
  public:
    explicit TWholeIconAfterPaint(QWidget* Window) : QObject(Window) { Window->installEventFilter(this); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !Queued_) {
            Queued_ = true;
            watched->removeEventFilter(this);
            QMetaObject::invokeMethod(
                this,
                [this] {
                    QApplication::setWindowIcon(ProgramIcon());
                    deleteLater();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

  private:
    bool Queued_ = false;
};

} // namespace

QIcon BuiltInIcon(int LargestSize) {
    InitIconResource();
    QIcon builtIn;
    for (const int size : kIconSizes)
        if (size <= LargestSize)
            builtIn.addFile(QStringLiteral(":/icons/sweepbox-%1.png").arg(size), QSize(size, size));
    return builtIn;
}

QIcon ProgramIcon() {
    const QIcon themed = ThemeIcon();
    return themed.isNull() ? BuiltInIcon() : themed;
}

void UseProgramIcon(QWidget* Window) {
    QApplication::setWindowIcon(BuiltInIcon(kStartIconSize));
    new TWholeIconAfterPaint(Window);
}

} // namespace sweepbox
