#include "app/OperatorWarnings.h"

namespace OperatorWarnings {

QString unreadableMusicFolder(const QString &folder, const QString &reason)
{
    return QStringLiteral("Warning: the music folder \"%1\" cannot be read (%2), so no songs are offered. "
                          "Correct the Music Folder field and press Reload.")
            .arg(folder, reason);
}

QString emptyMusicFolder()
{
    return QStringLiteral("Warning: the Music Folder field is empty, so no songs are offered. "
                          "Enter the folder that holds the songs and press Reload.");
}

QString portChosenBySystem(quint16 chosenPort)
{
    return QStringLiteral("Warning: the Local Port field names no port from 1 to 65535, so the system chose "
                          "port %1, where clients will not look for the server. Enter a port (usually 15150) "
                          "and press Listen.")
            .arg(chosenPort);
}

QString linksLeadOutside(qint64 count)
{
    return QStringLiteral(
                   "Warning: %1 in the music folder %2 outside it and %3 not followed, so no song behind "
                   "%4 is offered. Move those songs into the music folder, or, if everyone who can write "
                   "to the music folder may read every file this server can, start the server with "
                   "--wide-links.")
            .arg(count == 1 ? QStringLiteral("1 link") : QString::number(count) + QStringLiteral(" links"),
                 count == 1 ? QStringLiteral("leads") : QStringLiteral("lead"),
                 count == 1 ? QStringLiteral("was") : QStringLiteral("were"),
                 count == 1 ? QStringLiteral("it") : QStringLiteral("them"));
}

} // namespace OperatorWarnings
