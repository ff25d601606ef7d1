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

} // namespace OperatorWarnings
