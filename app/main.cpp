#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sweepbox"));
    QLabel w(QStringLiteral("Sweepbox"));
    w.setWindowTitle(QStringLiteral("Sweepbox"));
    w.resize(553, 452);
    w.show();
    return app.exec();
}
