#pragma once
// The song-list text clients receive, built from the songs' full paths.
// Pure: no state, no events.

#include <QByteArray>
#include <vector>

struct SongList {
    std::vector<QByteArray> songs;                // the songs that were listed, in order
    QByteArray text;                              // one line per song
    std::vector<QByteArray> skippedLineBreak;     // paths left out: CR or LF in a name
    std::vector<QByteArray> skippedBackslash;     // paths left out: a backslash in a name
};

// For each path (all beginning with rootFolder, which ends in the folder
// separator): the path from rootFolder's final separator on, with every
// separator written as a backslash, then CR LF. Line k names song k, so a
// path whose names below rootFolder hold CR or LF, which would split its
// line and shift every later number, is left out of both the text and the
// songs; so is one whose names hold a backslash, which a client would take
// for a folder separator and so ask for a file that is not there. The
// folder above the songs never goes on the wire, so its own name is free.
SongList BuildSongList(std::vector<QByteArray> paths, const QByteArray &rootFolder);
