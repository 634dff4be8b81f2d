// Shared by the widget tests: the binary's QApplication, QString printing,
// synthetic mouse events and screenshots.
#pragma once

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMouseEvent>
#include <QPixmap>
#include <QString>
#include <QUrl>

#include <ostream>
#include <vector>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace testsupport {

inline QApplication& EnsureApp()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "sweepbox_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's own statics are gone by the time static
    // destructors run, and tearing the application down then crashes.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// A mouse event sent straight to target; held are the buttons down after it.
inline void SendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                      Qt::MouseButtons held)
{
    QMouseEvent ev(type, QPointF(pos), QPointF(target->mapToGlobal(pos)), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &ev);
}

// Saved as name under $SWEEPBOX_SHOTS_DIR when set, for a person to look at.
inline QPixmap Shot(QWidget* widget, const QString& name)
{
    const QPixmap shot = widget->grab();
    const QString dir = qEnvironmentVariable("SWEEPBOX_SHOTS_DIR");
    if (!dir.isEmpty())
        shot.save(QDir(dir).filePath(name));
    return shot;
}

// Takes what links hand to the desktop, in place of a browser or mail program.
class UrlSink : public QObject {
    Q_OBJECT
  public:
    explicit UrlSink(std::initializer_list<const char*> schemes = {"https", "http", "mailto"})
    {
        EnsureApp();
        for (const char* scheme : schemes)
            Schemes_.push_back(QString::fromLatin1(scheme));
        for (const QString& scheme : Schemes_)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlSink() override
    {
        for (const QString& scheme : Schemes_)
            QDesktopServices::unsetUrlHandler(scheme);
    }
    std::vector<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.push_back(url); }

  private:
    std::vector<QString> Schemes_;
};

} // namespace testsupport
