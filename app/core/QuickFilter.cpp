#include "app/core/QuickFilter.h"

#include <QLocale>

#include <algorithm>

namespace sweepbox {

QString SearchFolded(const QString& Text) {
    const bool ascii = std::all_of(Text.begin(), Text.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii)
        return Text.toLower();
    const QString decomposed = Text.normalized(QString::NormalizationForm_KD);
    QString bare;
    bare.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        const QChar::Category category = c.category();
        if (category != QChar::Mark_NonSpacing && category != QChar::Mark_SpacingCombining &&
            category != QChar::Mark_Enclosing)
            bare.append(c);
    }
    // Simple case folding keeps "ß" (and makes it of the capital one).
    return bare.toCaseFolded().replace(QChar(0x00DF), QStringLiteral("ss"));
}

namespace {
// Joins a message's folded texts; no needle holds it (SetText).
constexpr char16_t kBetweenTexts = u'\n';
} // namespace

void TQuickFilter::SetText(const QString& Typed) {
    QString typed = Typed;
    for (QChar& c : typed)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    Needle_ = SearchFolded(typed.trimmed());
}

bool TQuickFilter::Matches(int Number) {
    if (!Active())
        return true;
    if (Number < 1)
        return false;
    const auto n = static_cast<size_t>(Number);
    if (n >= Made_.size()) {
        Made_.resize(n + 1, false);
        Folded_.resize(n + 1);
    }
    if (!Made_[n]) {
        Folded_[n] = SearchFolded((Source_ ? Source_(Number) : QStringList()).join(QChar(kBetweenTexts)));
        Made_[n] = true;
    }
    return Folded_[n].contains(Needle_);
}

void TQuickFilter::Forget() {
    Folded_.clear();
    Made_.clear();
}

QString FilteredCountText(int Shown, int Total, const TLanguage& Language) {
    const QLocale locale(Language.German ? QLocale::German : QLocale::English,
                         Language.German ? QLocale::Germany : QLocale::UnitedStates);
    return Language.Say("%1 von %2 Mails", "%1 of %2 Mails").arg(locale.toString(Shown), locale.toString(Total));
}

} // namespace sweepbox
