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
// Nothing here waits or processes events.

#include <QByteArray>
#include <QString>

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
    // ("not a regular file" for anything but one).
    bool open(const QByteArray &path, QString *error);
    // The size measured at open.
    qint64 size() const { return mSize; }
    // For handing the file to the send gate, which reads it by offset.
    int descriptor() const { return mFd; }
    void close();

private:
    int mFd = -1;
    qint64 mSize = 0;
};
