#pragma once
// An ordered list of paths, positions counted from 1, where every item is
// its own key and a key is never added twice. Keys are compared exactly,
// byte for byte, as the file system compares names: two files whose names
// differ only in letter case are two items.
//
// The hash index beside the ordered items makes Add cost the same whatever
// the list's length. Items share their bytes with the index (implicit
// sharing), so the index costs a node per item, not a second copy.

#include <QByteArray>
#include <QSet>
#include <vector>

class PathList {
public:
    // Appends path unless an equal key is already there; true when added.
    bool Add(const QByteArray &path);
    bool Exists(const QByteArray &key) const { return mIndex.contains(key); }
    qint32 Count() const { return static_cast<qint32>(mItems.size()); }
    // Item k, counted from 1. k must lie in 1..Count().
    const QByteArray &Item(qint32 k) const { return mItems[static_cast<size_t>(k - 1)]; }

    const std::vector<QByteArray> &items() const { return mItems; }
    // Hands the ordered items over and leaves the list empty.
    std::vector<QByteArray> takeItems();

private:
    std::vector<QByteArray> mItems;
    QSet<QByteArray> mIndex;
};
