// The language decision of the main window and its pieces, kept apart from
// the window so that tests can run the decision table directly.
#pragma once

#include <QString>

class QSettings;

namespace sweepbox {

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

QString WelcomeTextGerman();
QString WelcomeTextEnglish();

// Qt's own texts in German (its translations, where installed) or as built.
void UseQtTranslations(bool German);

} // namespace sweepbox
