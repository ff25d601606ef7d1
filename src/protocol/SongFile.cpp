#include "protocol/SongFile.h"

#include <cerrno>
#include <string>
#include <system_error>

namespace {
// Large enough that a song costs one read system call per 64 pieces.
constexpr std::size_t kReadBuffer = 256 * 1024;

QString describe(int err)
{
    return QString::fromStdString(std::generic_category().message(err));
}
} // namespace

std::filesystem::path songFsPath(const QByteArray &path)
{
    // The catalogue keeps the bytes the directory listing returned; on this
    // platform a path is exactly those bytes, whatever their encoding.
    return std::filesystem::path(std::string(path.constData(), std::size_t(path.size())));
}

qint64 songFileSize(const QByteArray &path, QString *error)
{
    std::error_code ec;
    const std::filesystem::path p = songFsPath(path);
    if (!std::filesystem::is_regular_file(p, ec)) {
        if (error)
            *error = ec ? QString::fromStdString(ec.message()) : QStringLiteral("not a regular file");
        return -1;
    }
    const auto size = std::filesystem::file_size(p, ec);
    if (ec) {
        if (error)
            *error = QString::fromStdString(ec.message());
        return -1;
    }
    return qint64(size);
}

SongFile::SongFile() = default;

SongFile::~SongFile()
{
    close();
}

bool SongFile::open(const QByteArray &path, QString *error)
{
    close();
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("no path");
        return false;
    }
    std::error_code ec;
    const std::filesystem::path p = songFsPath(path);
    if (std::filesystem::is_directory(p, ec)) {
        if (error)
            *error = QStringLiteral("not a regular file");
        return false;
    }
    if (!mBuffer)
        mBuffer = std::make_unique<char[]>(kReadBuffer);
    mFile.pubsetbuf(mBuffer.get(), std::streamsize(kReadBuffer));
    errno = 0;
    if (!mFile.open(p, std::ios::in | std::ios::binary)) {
        if (error)
            *error = describe(errno ? errno : ENOENT);
        return false;
    }
    const auto end = mFile.pubseekoff(0, std::ios::end, std::ios::in);
    const auto begin = mFile.pubseekpos(0, std::ios::in);
    if (end == std::streampos(-1) || begin == std::streampos(-1)) {
        if (error)
            *error = describe(errno ? errno : EIO);
        mFile.close();
        return false;
    }
    mSize = qint64(std::streamoff(end));
    return true;
}

bool SongFile::read(char *dest, qint64 n)
{
    if (!mFile.is_open())
        return false;
    return mFile.sgetn(dest, std::streamsize(n)) == std::streamsize(n);
}

void SongFile::close()
{
    if (mFile.is_open())
        mFile.close();
    mSize = 0;
}
