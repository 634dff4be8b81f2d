// The interface language: one value, decided once at the start from the
// user's first keyboard layout, that every window speaks through.
#pragma once

#include <QString>

class QSettings;

namespace sweepbox {

class TLanguage {
  public:
    bool German = false;

    // Both texts are UTF-8 literals, so the umlauts survive whatever the
    // source charset of the caller.
    QString Say(const char* GermanText, const char* EnglishText) const {
        return QString::fromUtf8(German ? GermanText : EnglishText);
    }
    QString Pick(const QString& GermanText, const QString& EnglishText) const {
        return German ? GermanText : EnglishText;
    }
};

// Keys of the keyboard layout store: the unnamed value of the subkey
// "preload\1" and the value "1" of the subkey "preload".
inline constexpr char kLayoutSubkeyValue[] = "preload/1/Default";
inline constexpr char kLayoutListValue[] = "preload/1";

// German when the first identifier is one of "00000407", "00000807",
// "00010407" (whole texts, nothing trimmed), or else the second one is.
bool IsGermanLayoutId(const QString& first, const QString& second);

// The identifier of a desktop keyboard layout: "de" without a variant is
// "00000407", "de" with any variant "00010407", "ch" with a German variant
// (none, "legacy" or "de...") "00000807"; any other layout "00000409"; no
// layout at all the empty text.
QString MapXkbLayout(const QString& layout, const QString& variant);

// The identifier of the first layout in a keyboard configuration file of the
// form XKBLAYOUT="de,us" / XKBVARIANT="nodeadkeys,". A missing or unreadable
// file gives the empty text.
QString DesktopKeyboardLayoutId(const QString& path);

// A value of the layout store as text; missing or not text gives "".
QString ReadLayoutValue(QSettings& store, const char* key);

// The language of the layout store (none: an empty one), or, where the user
// has no layouts of his own there, of the desktop's keyboard file.
TLanguage LanguageOfLayouts(QSettings* store, const QString& desktopKeyboardFile);

QString WelcomeTextGerman();
QString WelcomeTextEnglish();

} // namespace sweepbox
