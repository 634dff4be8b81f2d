// What the program remembers between runs, typed: the per-user store
// "Larkmoor"/"Sweepbox" under the names of SettingsNames.h, every value
// written as text so that files of earlier runs keep reading the same.
#pragma once

#include "app/core/Security.h"
#include "app/core/SettingsNames.h"
#include "app/core/SignIn.h"

#include <QSettings>
#include <QString>

#include <array>
#include <vector>

namespace sweepbox {

struct TRememberedPair {
    QString Server;
    QString User;
    TSecurity Security = TSecurity::Tls;
    TSignIn SignIn = TSignIn::Password;
    // With OAuth2: the user's command that prints an access token; empty
    // for the browser sign-in.
    QString TokenCommand;
    // The desktop's keyring keeps this pair's password.
    bool KeepPassword = false;
};

// The window's frame position and size as stored, not yet fitted to any
// screen.
struct TWindowGeometry {
    int X = settings::kDefaultXPos;
    int Y = settings::kDefaultYPos;
    int Width = settings::kDefaultWidth;
    int Height = settings::kDefaultHeight;
};

using TColumnWidths = std::array<int, settings::kListColumns>;

class TSettings {
  public:
    // Opens the store and makes its file private before anything is
    // written: a save keeps the mode the file has.
    TSettings();
    TSettings(const TSettings&) = delete;
    TSettings& operator=(const TSettings&) = delete;

    QString FileName() const { return Store.fileName(); }

    // Oldest first. Read by number, so that a half pair (one value missing
    // or empty) is dropped whole instead of shifting one list against the
    // other; a pair stored before the security was remembered, or with a
    // word that names none, takes the server's default.
    std::vector<TRememberedPair> Pairs() const;
    // Keeps the newest kRememberedPairs (the last ones), numbered from 1,
    // removes any numbered above them and writes the file out, made private
    // again should it have been replaced or loosened since the start.
    void SetPairs(const std::vector<TRememberedPair>& Pairs);

    // A value that is missing or not a number reads as the default.
    TWindowGeometry Geometry() const;
    void SetGeometry(const TWindowGeometry& Geometry);

    // The stored widths; a column without one has its Fallback.
    TColumnWidths ColumnWidths(const TColumnWidths& Fallback) const;
    void SetColumnWidths(const TColumnWidths& Widths);

    // 0 .. kListColumns - 1, or -1 for the server's order (also where the
    // stored column is out of range).
    int SortColumn() const;
    bool SortDescending() const;
    void SetSort(int Column, bool Descending);

    // The trusted fingerprint ("sha256:..." in lower case) for
    // "host:port"; empty where none is stored or it is not of that form.
    QString CertificatePin(const QString& HostPort) const;
    // The pin a connection to "host:port" checks the server against: the
    // port's own, else the one the host's other ports agree on (a
    // certificate trusted for a host is the same certificate on its other
    // ports). Empty where there is none, or the other ports' pins differ.
    QString HostCertificatePin(const QString& HostPort) const;
    // Stores and writes out at once: the user has just decided.
    void SetCertificatePin(const QString& HostPort, const QString& Fingerprint);

    // The provider for Host: each stored value of OAuth2Providers/<host>
    // in place of the built-in one.
    TOAuth2Provider OAuth2Provider(const QString& Host) const;
    // Stores the values that differ from the built-in ones (an empty value
    // removes the stored one) and writes out at once.
    void SetOAuth2Provider(const QString& Host, const TOAuth2Provider& Provider);

  private:
    // Private first, then written: the store's save keeps the file's mode.
    void Save();
    QString ReadString(const QString& Name) const;
    int ReadInteger(const QString& Name, int Fallback) const;
    void WriteInteger(const QString& Name, int Value);

    QSettings Store;
};

} // namespace sweepbox
