#pragma once
// The music folder as a scan found it: the location it names once every link
// in its own path has been followed (a music folder that is itself a link,
// ~/Music pointing at another disk, is fine), and a descriptor of that very
// folder. A catalogue keeps the one its songs were found in for as long as it
// serves them, so that each song is opened beneath the folder that was
// scanned, whatever is renamed or swapped in above or below it afterwards.
//
// Only what lies within the music folder is shared: a location lies within
// it when its resolved path is the folder's own or continues it after a
// separator. A music folder is often shared for writing (a family NAS share,
// a synced folder), so a link in it that leads elsewhere would let whoever
// can drop one there read any file the server can.
//
// Nothing here waits or processes events.

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <optional>

class MusicFolder {
    Q_DISABLE_COPY_MOVE(MusicFolder)
public:
    // Resolves and opens folder now. Never fails outward: a folder that
    // cannot be resolved or opened gives one that holds nothing
    // (descriptor() -1, resolvedPath() empty).
    explicit MusicFolder(const QByteArray &folder);
    ~MusicFolder();

    // The folder's location, links followed, without a final separator
    // (the root alone is "/").
    const QByteArray &resolvedPath() const { return mResolved; }
    // A descriptor of the folder for opening beneath it; -1 when it could not
    // be opened. Owned here; valid while this object lives.
    int descriptor() const { return mFd; }

    // Whether the resolved location lies within this folder.
    bool contains(QByteArrayView resolved) const { return liesWithin(resolved, mResolved); }

    // The location path leads to now, every link followed, "." and ".."
    // taken out; nullopt when it cannot be resolved (it does not exist, a
    // link dangles or loops).
    static std::optional<QByteArray> resolve(const QByteArray &path);
    // Whether resolved (as resolve gives it) is folder or lies below it.
    // An empty folder holds nothing.
    static bool liesWithin(QByteArrayView resolved, QByteArrayView folder);

private:
    QByteArray mResolved;
    int mFd = -1;
};
