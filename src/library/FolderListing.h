#pragma once
// One folder's visible files and folders, in listing order
// (ListingOrderLess). Names beginning with "." are hidden; entries that are
// neither regular files nor folders (sockets, pipes, devices, dangling
// links) are system entries; both are left out. Symbolic links count as
// what they point to.
//
// The names share one buffer, and a walk reuses one listing from folder to
// folder, so a listing costs no allocation per name. Never processes events.

#include <QByteArray>
#include <QByteArrayView>
#include <string>
#include <vector>

class FolderListing {
public:
    enum class Kind { File, Folder };
    struct Entry {
        qsizetype offset;
        qsizetype size;
        Kind kind;
        bool listed;  // free for the reader: false after read()
        bool link;    // a symbolic link; kind is what it leads to
        bool outside; // free for the reader: false after read()
    };

    // Replaces the entries with those of folder; includeHidden keeps the
    // hidden ones too. A folder that cannot be listed gives none, one that
    // fails part-way gives those read before the failure.
    void read(const QByteArray &folder, bool includeHidden);

    std::vector<Entry> &entries() { return mEntries; }
    const std::vector<Entry> &entries() const { return mEntries; }
    QByteArrayView name(const Entry &entry) const
    {
        return QByteArrayView(mNames.data() + entry.offset, entry.size);
    }

private:
    std::string mNames;
    std::vector<Entry> mEntries;
};
