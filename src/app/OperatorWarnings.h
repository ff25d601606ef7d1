#pragma once
// Log lines for the settings that keep the server from being of use even
// though every step succeeds, so the operator knows to act: a music folder
// that cannot be read (the scan finds no songs, as for an empty one), no
// music folder named at all (a new server offers nothing), a port field
// that names no port (the system picks one no client knows) and links in
// the music folder that lead outside it (their songs are missing).
// They come in addition to the server's usual lines; README.md lists them.

#include <QString>
#include <QtGlobal>

namespace OperatorWarnings {

// reason: the system's words for why the folder cannot be listed.
QString unreadableMusicFolder(const QString &folder, const QString &reason);
// The Music Folder field is empty and no scan has yet found any songs.
QString emptyMusicFolder();
// chosenPort: the port the system picked for the listener.
QString portChosenBySystem(quint16 chosenPort);
// count: the links a scan did not follow because they lead outside the
// music folder (each named in a line of its own before this one).
QString linksLeadOutside(qint64 count);

} // namespace OperatorWarnings
