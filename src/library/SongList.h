#pragma once
// The song-list text clients receive, built from the songs' full paths.
// Pure: no state, no events.

#include "library/PathList.h"

#include <QByteArray>
#include <vector>

struct SongList {
    QByteArray text;                          // one line per song
    std::vector<qsizetype> lineStarts;        // where line k begins, at [k - 1]
    std::vector<QByteArray> skippedLineBreak; // paths left out: CR or LF in a name
    std::vector<QByteArray> skippedBackslash; // paths left out: a backslash in a name
};

// For each path (all beginning with rootFolder, which ends in the folder
// separator): the path from rootFolder's final separator on, with every
// separator written as a backslash, then CR LF. Line k names song k, so a
// path whose names below rootFolder hold CR or LF, which would split its
// line and shift every later number, is left out; so is one whose names
// hold a backslash, which a client would take for a folder separator and so
// ask for a file that is not there. The folder above the songs never goes
// on the wire, so its own name is free.
//
// Because no listed name holds a backslash, a line turned back (SongFilePath)
// gives exactly the path it was built from: the text is the only copy of
// the paths a catalogue needs to keep.
SongList BuildSongList(PathList paths, const QByteArray &rootFolder);

// The path of a line's song: rootFolder followed by the line without its
// leading backslash, the wire's separators turned back into the platform's.
QByteArray SongFilePath(const QByteArray &rootFolder, QByteArrayView line);
