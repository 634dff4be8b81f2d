// The reference of the start-up benchmark: a bare Qt Widgets window with a
// title, built like the program, shown at once.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare"));
    window.resize(553, 452);
    window.show();
    return QApplication::exec();
}
