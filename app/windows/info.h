// The about window: program name and release, release date in the interface
// language, and links to the maker's mail and web addresses.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;
class THyperLink;

// The interface language for the about window; set with IsGerman by the main
// window's language selection, false until then.
extern bool AboutIsGerman;

class TAboutBox : public QDialog {
    Q_OBJECT

  public:
    explicit TAboutBox(QWidget* parent = nullptr);

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

    // Sets the release date by AboutIsGerman; runs each time the window is
    // shown.
    void FormActivate(QObject* Sender);

  protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    // Colours that read on the palette in use (set again when it changes).
    void ApplyColours();
};

extern TAboutBox* AboutBox;
