#pragma once
// A song file opened for one header or one stream: raw-byte path in, a file
// descriptor and the size it had when opened out. Closed by its destructor.
// The stream hands the descriptor to the send gate piece by piece, which
// reads it by offset (from the file straight to the socket where it can).
//
// Opening never blocks and accepts only a regular file. Whatever stands at a
// song's path now is what counts, not what the scan found there: a FIFO put
// there would hold the whole server in open(2) until a writer came, and a
// device or a folder has no size to announce.
//
// Only the music folder is shared: a song is opened beneath the music folder
// its scan resolved and held open (MusicFolder), so that nothing in its path,
// a link or ".." put there after the scan, for the file or any folder above
// it, can lead outside that folder at the moment it is opened. Links that
// stay within are followed, as the walk follows them. On Linux the kernel
// resolves the path under that rule in one call (openat2 with
// RESOLVE_BENEATH); where it lacks that call, the path is resolved first and
// its resolved form then opened one folder at a time, following no link at
// all, which is just as strict. Wide links (the operator's choice) open the
// path as it stands, following links anywhere.
//
// Nothing here waits or processes events.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class MusicFolder;

// Where a song is, as its catalogue found it.
struct SongLocation {
    QByteArray path;                           // full path, as the log shows it
    QByteArray inFolder;                       // the same below the music folder
    std::shared_ptr<const MusicFolder> folder; // that folder, as its scan resolved it
    bool wideLinks = false;                    // open path itself, following links anywhere
};

class SongFile {
public:
    // A song goes out in pieces of up to this many bytes (the song list keeps
    // its smaller ones). Each piece costs the stream one turn of the event
    // loop and one wait in the send gate, which is what paces the other
    // clients; 1 MiB keeps those turns a few milliseconds apart while the OS
    // moves the bytes at the speed of the machine.
    static constexpr qint64 kPieceSize = 1 << 20;

    SongFile() = default;
    ~SongFile();
    SongFile(const SongFile &) = delete;
    SongFile &operator=(const SongFile &) = delete;

    // Opens for reading as raw bytes; on failure returns false with *error set
    // ("not a regular file" for anything but one, "it leads outside the music
    // folder" for a song that does).
    bool open(const SongLocation &song, QString *error);
    // The reason given for a song whose path leads outside its music folder.
    static QString outsideText() { return QStringLiteral("it leads outside the music folder"); }

    // Whether songs are opened with the kernel's own resolution beneath a
    // folder (openat2). It is given up for good once the kernel says it lacks
    // the call. Seam: tests turn it off to take the other way.
    static void setKernelResolvesBeneath(bool use);
    // Seam: runs when a song's path has been resolved within its music
    // folder and is about to be opened by its resolved form, where tests
    // swap something in as an attacker would. Empty: nothing runs.
    static void setBeforeResolvedOpen(std::function<void()> hook);
    // The size measured at open.
    qint64 size() const { return mSize; }
    // For handing the file to the send gate, which reads it by offset.
    int descriptor() const { return mFd; }
    void close();

private:
    bool finishOpen(QString *error);

    int mFd = -1;
    qint64 mSize = 0;
};
