// The about window: program name and release, release date in the interface
// language, and links to the maker's mail and web addresses.
#pragma once

#include "app/core/Language.h"
#include "app/windows/WindowOnDemand.h"

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;
class THyperLink;

class TAboutBox : public QDialog {
    Q_OBJECT

  public:
    // Language is the main window's: it is decided after this window is
    // made, so the window reads it at each showing.
    explicit TAboutBox(const sweepbox::TLanguage& Language, QWidget* parent = nullptr);

    QFrame* Panel1 = nullptr;
    QLabel* ProgramIcon = nullptr;
    QLabel* ProductName = nullptr;
    QLabel* Label1 = nullptr;
    THyperLink* HyperLink1 = nullptr;
    QLabel* Label2 = nullptr;
    THyperLink* HyperLink2 = nullptr;
    QLabel* Copyright = nullptr;
    QLabel* Comments = nullptr;
    QPushButton* OKButton = nullptr;

    // Sets the release date in the language; runs each time the window is
    // shown.
    void FormActivate(QObject* Sender);

  protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    const sweepbox::TLanguage& Language;
    // Colours that read on the palette in use (set again when it changes).
    void ApplyColours();
};

// Made when first reached (see CreateApplicationWindows).
extern sweepbox::TWindowOnDemand<TAboutBox> AboutBox;
