// Shared by the widget tests: the binary's QApplication, QString printing,
// synthetic mouse events and a stand-in for the desktop's URL handlers.
#pragma once

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <ostream>
#include <vector>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace sweepbox::test {

inline QApplication& EnsureApp()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "sweepbox_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's statics are gone when static destructors run.
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

// Takes what links hand to the desktop, in place of a browser or mail program.
class UrlSink : public QObject {
    Q_OBJECT
  public:
    UrlSink()
    {
        EnsureApp();
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
    const std::vector<QString> Schemes_ = {QStringLiteral("https"), QStringLiteral("http"),
                                         QStringLiteral("mailto")};
};

} // namespace sweepbox::test
