#include "Application.h"
#include "Main.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sweepbox"));
    QApplication::setOrganizationName(QStringLiteral("Larkmoor"));
    sweepbox::CreateApplicationWindows();
    Form1->show();
    const int result = QApplication::exec();
    sweepbox::DestroyApplicationWindows();
    return result;
}
