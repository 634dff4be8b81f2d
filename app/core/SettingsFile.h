// The settings file holds the remembered servers, user names and trusted
// certificates: other local users have no business reading it.
#pragma once

class QString;

namespace sweepbox {

// Makes File 0600 and the folder that holds it 0700, creating what is
// missing (the file empty). The store's save replaces the file by a new one
// with the old one's mode, so a file that exists before the first save never
// exists readable by others, not even for a moment. False when either could
// not be made private.
bool MakePrivate(const QString& File);

} // namespace sweepbox
