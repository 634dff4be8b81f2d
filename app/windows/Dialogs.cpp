#include "app/windows/Dialogs.h"

#include "app/core/TextCodec.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

#include <exception>
#include <utility>

namespace sweepbox {

namespace {
TMessageHook& Hook() {
    static TMessageHook hook;
    return hook;
}
TModalHook& ModalHook() {
    static TModalHook hook;
    return hook;
}
} // namespace

int ExecModal(QDialog& dialog) {
    if (const TModalHook& hook = ModalHook()) {
        hook(dialog);
        return dialog.result();
    }
    return dialog.exec();
}

TModalHook SetModalHook(TModalHook hook) { return std::exchange(ModalHook(), std::move(hook)); }

void ShowMessage(QWidget* parent, const QString& text) {
    if (const TMessageHook& hook = Hook()) {
        hook(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
}

TMessageHook SetMessageHook(TMessageHook hook) {
    return std::exchange(Hook(), std::move(hook));
}

void RunHandler(QWidget* parent, const std::function<void()>& body) noexcept {
    // Showing the message can itself fail (a hook that throws, no memory
    // for the box); the handler is over either way, so that is swallowed.
    try {
        try {
            body();
        } catch (const std::exception& e) {
            ShowMessage(parent, DisplayText(e.what()));
        } catch (...) {
            ShowMessage(parent, QStringLiteral("Unknown error."));
        }
    } catch (...) {
    }
}

} // namespace sweepbox
