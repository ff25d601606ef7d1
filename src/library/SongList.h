#pragma once
// The song-list text clients receive, built from the songs' full paths.
// Pure: no state, no events.

#include <QByteArray>
#include <vector>

struct SongList {
    std::vector<QByteArray> songs;     // the songs that were listed, in order
    QByteArray text;                   // one line per song
    std::vector<QByteArray> skipped;   // paths left out: CR or LF in the name
};

// For each path (all beginning with rootFolder, which ends in the folder
// separator): the path from rootFolder's final separator on, with every
// separator written as a backslash, then CR LF. Line k names song k, so a
// path holding CR or LF, which would split its line and shift every later
// number, is left out of both the text and the songs.
SongList BuildSongList(std::vector<QByteArray> paths, const QByteArray &rootFolder);
