#include "app/windows/Application.h"

#include "app/windows/Header.h"
#include "app/windows/Main.h"
#include "app/windows/Preview.h"
#include "app/windows/email.h"
#include "app/windows/info.h"

namespace sweepbox {

namespace {

// The maker of a window owned by the main window; nothing without one.
template <class T>
void MakeWithMainWindow(TWindowOnDemand<T>& Window) {
    Window.Make = []() -> T* { return Form1 ? new T(Form1->Language, Form1) : nullptr; };
}

} // namespace

void CreateApplicationWindows() {
    if (Form1)
        return;
    Form1 = new TForm1;
    // Parented to the main window: they are modal over it and go with it.
    MakeWithMainWindow(AboutBox);
    MakeWithMainWindow(Form2);
    MakeWithMainWindow(Form3);
    MakeWithMainWindow(PreviewWindow);
}

void DestroyApplicationWindows() {
    // The dialogs made so far are children of the main window.
    delete Form1;
    Form1 = nullptr;
    AboutBox.Make = nullptr;
    Form2.Make = nullptr;
    Form3.Make = nullptr;
    PreviewWindow.Make = nullptr;
}

} // namespace sweepbox
