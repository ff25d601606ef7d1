#pragma once
// A song file opened for one header or one stream: raw-byte path in, a file
// descriptor and the size it had when opened out. Closed by its destructor.
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
    SongFile() = default;
    ~SongFile();
    SongFile(const SongFile &) = delete;
    SongFile &operator=(const SongFile &) = delete;

    // Opens for reading as raw bytes; on failure returns false with *error set
    // ("not a regular file" for anything but one).
    bool open(const QByteArray &path, QString *error);
    // The size measured at open.
    qint64 size() const { return mSize; }
    // Reads n bytes from the current position into dest and returns n; the
    // bytes there were, with *error set, when the file ends early or cannot
    // be read (truncated or damaged since it was opened).
    qint64 read(char *dest, qint64 n, QString *error);
    void close();

private:
    int mFd = -1;
    qint64 mSize = 0;
};
