// Shared by the tests of the widget-free core: the binary's
// QCoreApplication and QString printing, without Qt Widgets.
#pragma once

#include <QCoreApplication>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace sweepbox::test {

inline QCoreApplication& EnsureCoreApp() {
    static int argc = 1;
    static char arg0[] = "sweepbox_core_test";
    static char* argv[] = {arg0, nullptr};
    // Never destroyed: Qt's statics are gone when static destructors run.
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

// A fresh folder that the per-user settings stores use in place of the
// user's own while the object lives.
struct ScratchSettings {
    ScratchSettings() {
        EnsureCoreApp();
        if (Folder.isValid())
            QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Folder.path());
    }
    QString Path(const QString& Name) const { return Folder.filePath(Name); }
    QTemporaryDir Folder;
};

} // namespace sweepbox::test
