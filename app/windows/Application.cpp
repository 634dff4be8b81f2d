#include "app/windows/Application.h"

#include "app/windows/Header.h"
#include "app/windows/Main.h"
#include "app/windows/email.h"
#include "app/windows/info.h"

namespace sweepbox {

void CreateApplicationWindows() {
    if (Form1)
        return;
    Form1 = new TForm1;
    // Parented to the main window: they are modal over it and go with it.
    AboutBox = new TAboutBox(Form1->Language, Form1);
    Form2 = new TForm2(Form1->Language, Form1);
    Form3 = new TForm3(Form1->Language, Form1);
}

void DestroyApplicationWindows() {
    // The dialogs are children of the main window.
    delete Form1;
    Form1 = nullptr;
    AboutBox = nullptr;
    Form2 = nullptr;
    Form3 = nullptr;
}

} // namespace sweepbox
