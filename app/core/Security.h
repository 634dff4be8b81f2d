// How a connection is secured, and the words it is stored under in the
// settings and carried as in the security box's item data.
#pragma once

#include "mail/pop3/KelPOP3.h"

#include <QLatin1StringView>
#include <QString>

#include <optional>

namespace sweepbox {

enum class TSecurity { Tls, StartTls, None };

// "tls", "starttls" or "none". Renaming one loses the choice earlier runs
// stored under it.
QLatin1StringView SecurityText(TSecurity Security);

// The security a stored word names; nothing for any other text (no
// trimming, no case folding: the program only ever wrote these three).
std::optional<TSecurity> ParseSecurity(const QString& Text);

// As ParseSecurity, with Unknown taking the place of a text that names none.
TSecurity SecurityFromText(const QString& Text, TSecurity Unknown = TSecurity::Tls);

// The security a server takes unless the user chose: none for this machine,
// where nothing travels over a network, else TLS.
TSecurity DefaultSecurity(const QString& Server);

kel::TPopSecurity PopSecurity(TSecurity Security);

} // namespace sweepbox
