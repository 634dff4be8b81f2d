// The references of the start-up benchmark, built like the program and shown
// at once: a bare Qt Widgets window with a title (bare_window), and the same
// window with a caption and a text field (bare_text_window, built with
// BARE_WITH_TEXT), which has to load the fonts as any window with text does.
#include <QApplication>
#include <QWidget>
#ifdef BARE_WITH_TEXT
#include <QFormLayout>
#include <QLineEdit>
#endif

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare"));
#ifdef BARE_WITH_TEXT
    auto* form = new QFormLayout(&window);
    form->addRow(QStringLiteral("Server:"), new QLineEdit(&window));
#endif
    window.resize(553, 452);
    window.show();
    return QApplication::exec();
}
