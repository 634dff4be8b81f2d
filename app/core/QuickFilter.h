// The quick filter of the message list: which messages' sender or subject,
// as the list shows them, contain the typed text, case and accents aside.
#pragma once

#include "app/core/Language.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace sweepbox {

// Text as the quick filter compares it: a compatibility decomposition
// ("ﬁ" is "fi", "é" is "e" and an accent), the combining marks dropped, case
// folded, "ß" written "ss".
QString SearchFolded(const QString& Text);

class TQuickFilter {
  public:
    // The texts to search in for message Number (its sender and subject as
    // the list shows them), none when there is no such message. A match
    // lies within one of them, never across the end of one.
    using TTextSource = std::function<QStringList(int Number)>;
    explicit TQuickFilter(TTextSource Source) : Source_(std::move(Source)) {}

    // The typed text; blanks around it do not count, and with nothing else
    // the filter is off. Control characters count as blanks.
    void SetText(const QString& Typed);
    bool Active() const { return !Needle_.isEmpty(); }
    // Whether message Number's text contains the typed text (always while
    // the filter is off; never for a number below 1). Each message's text is
    // asked of the source and folded once, when first needed, and kept, so
    // typing searches again without decoding a header again. The kept texts
    // take room up to the highest number asked.
    bool Matches(int Number);
    // The kept texts belong to a listing that is over: the next ones are
    // asked anew.
    void Forget();

  private:
    TTextSource Source_;
    QString Needle_;
    std::vector<QString> Folded_; // by message number
    std::vector<bool> Made_;
};

// The count panel while a filter shows Shown of Total rows:
// "12 of 5,000 Mails" / "12 von 5.000 Mails".
QString FilteredCountText(int Shown, int Total, const TLanguage& Language);

} // namespace sweepbox
