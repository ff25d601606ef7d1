#include "library/SongList.h"

#include "library/Paths.h"

#include <algorithm>
#include <cstring>

SongList BuildSongList(PathList paths, const QByteArray &rootFolder)
{
    const qsizetype cut = rootFolder.isEmpty() ? 0 : rootFolder.size() - 1;
    PathList::Packed packed = paths.release();
    const qsizetype count = static_cast<qsizetype>(packed.ends.size());

    // A line is its path less the cut, plus CR LF. With a cut of two bytes
    // or more no line is longer than its path, so line k, written where path
    // k or an earlier one began, never reaches a path not yet read: the
    // lines overwrite the paths in their own buffer and the line starts
    // overwrite the path ends, and a scan never holds its paths twice.
    SongList list;
    const bool inPlace = cut >= 2;
    if (inPlace)
        list.text = std::move(packed.bytes);
    else
        list.text.resize(packed.bytes.size() + count * (2 - cut));
    char *out = list.text.data();
    const char *source = inPlace ? out : packed.bytes.constData();
    std::vector<qsizetype> &lineStarts = packed.ends;

    qsizetype begin = 0;
    qsizetype written = 0;
    size_t lines = 0;
    for (qsizetype k = 0; k < count; ++k) {
        const qsizetype end = packed.ends[static_cast<size_t>(k)];
        const QByteArrayView path(source + begin, end - begin);
        begin = end;
        const QByteArrayView below = path.sliced(std::min(rootFolder.size(), path.size()));
        if (below.contains('\r') || below.contains('\n')) {
            list.skippedLineBreak.push_back(path.toByteArray());
            continue;
        }
        // Where backslash is the platform's own separator no name can hold one.
        if (kFolderSeparator != kWireSeparator && below.contains(kWireSeparator)) {
            list.skippedBackslash.push_back(path.toByteArray());
            continue;
        }
        lineStarts[lines++] = written;
        const qsizetype length = path.size() - std::min(cut, path.size());
        std::memmove(out + written, path.data() + (path.size() - length), static_cast<size_t>(length));
        if constexpr (kFolderSeparator != kWireSeparator)
            std::replace(out + written, out + written + length, kFolderSeparator, kWireSeparator);
        out[written + length] = '\r';
        out[written + length + 1] = '\n';
        written += length + 2;
    }
    list.text.resize(written);
    list.text.squeeze();
    lineStarts.resize(lines);
    lineStarts.shrink_to_fit();
    list.lineStarts = std::move(lineStarts);
    return list;
}

QByteArray SongFilePath(const QByteArray &rootFolder, QByteArrayView line)
{
    QByteArray path = rootFolder;
    const qsizetype relative = path.size();
    path += line.sliced(std::min<qsizetype>(1, line.size()));
    if constexpr (kFolderSeparator != kWireSeparator)
        std::replace(path.begin() + relative, path.end(), kWireSeparator, kFolderSeparator);
    return path;
}
