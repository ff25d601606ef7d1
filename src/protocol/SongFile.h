#pragma once
// A song file opened for one stream: raw-byte path in, pieces out. Reads go
// through one buffer allocated at open, so handing out thousands of pieces
// costs no allocation and few system calls. Closed by its destructor.
//
// Nothing here waits or processes events.

#include <QByteArray>
#include <QString>

#include <filesystem>
#include <fstream>
#include <memory>

// The path as the file system spells it: the raw bytes the catalogue holds.
std::filesystem::path songFsPath(const QByteArray &path);

// Size of the file at the path, or -1 with *error set.
qint64 songFileSize(const QByteArray &path, QString *error);

class SongFile {
public:
    SongFile();
    ~SongFile();
    SongFile(const SongFile &) = delete;
    SongFile &operator=(const SongFile &) = delete;

    // Opens for reading as raw bytes; on failure returns false with *error set.
    bool open(const QByteArray &path, QString *error);
    // The size measured at open.
    qint64 size() const { return mSize; }
    // Reads exactly n bytes into dest; false when the file ended early or
    // could not be read (it changed since it was opened).
    bool read(char *dest, qint64 n);
    void close();

private:
    std::unique_ptr<char[]> mBuffer;
    std::filebuf mFile;
    qint64 mSize = 0;
};
