#include "library/SongList.h"

#include "library/Paths.h"

#include <algorithm>

SongList BuildSongList(std::vector<QByteArray> paths, const QByteArray &rootFolder)
{
    SongList list;
    const qsizetype cut = rootFolder.isEmpty() ? 0 : rootFolder.size() - 1;
    qsizetype textSize = 0;
    for (const QByteArray &path : paths)
        textSize += path.size() - cut + 2;
    list.text.reserve(textSize);
    list.songs.reserve(paths.size());
    for (QByteArray &path : paths) {
        const QByteArrayView below = QByteArrayView(path).sliced(std::min(rootFolder.size(), path.size()));
        if (below.contains('\r') || below.contains('\n')) {
            list.skippedLineBreak.push_back(std::move(path));
            continue;
        }
        // Where backslash is the platform's own separator no name can hold one.
        if (kFolderSeparator != kWireSeparator && below.contains(kWireSeparator)) {
            list.skippedBackslash.push_back(std::move(path));
            continue;
        }
        list.text += wireRelativePath(path.mid(cut));
        list.text += "\r\n";
        list.songs.push_back(std::move(path));
    }
    return list;
}
