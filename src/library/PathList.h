#pragma once
// An ordered list of distinct paths, positions counted from 1, every item
// its own key. Keys are exact bytes, as the file system compares names: two
// files whose names differ only in letter case are two items.
//
// The list keeps no index to refuse a second copy of a key: its producers
// never make one. A walk enters each folder once, so every folder path it
// forms is new, and it lists each name of a folder once however many
// patterns match it; a folder listing holds each name once. An index would
// cost nearly as much memory as the paths themselves on a large tree.
//
// All items share one buffer: a path costs its bytes and one offset, not an
// allocation of its own.

#include <QByteArray>
#include <QByteArrayView>
#include <vector>

class PathList {
public:
    // Appends head followed by tail as one item, which must not be in the
    // list yet.
    void append(QByteArrayView head, QByteArrayView tail = {});
    qint32 Count() const { return static_cast<qint32>(mEnds.size()); }
    // Item k, counted from 1; k must lie in 1..Count(). The view holds until
    // the next append.
    QByteArrayView Item(qint32 k) const;
    // Hands the items over and leaves the list empty: all of them in one
    // buffer, and where item k ends at ends[k - 1].
    struct Packed {
        QByteArray bytes;
        std::vector<qsizetype> ends;
    };
    Packed release();

private:
    QByteArray mBytes;
    std::vector<qsizetype> mEnds; // end of item k at mEnds[k - 1]
};
