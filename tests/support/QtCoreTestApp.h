// Shared by the tests of the widget-free core: the binary's
// QCoreApplication and QString printing, without Qt Widgets.
#pragma once

#include <QCoreApplication>
#include <QString>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace testsupport {

inline QCoreApplication& EnsureCoreApp() {
    static int argc = 1;
    static char arg0[] = "sweepbox_core_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's statics are gone when static destructors run.
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

} // namespace testsupport
