#include "protocol/SongFile.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString describe(int err)
{
    return QString::fromStdString(std::generic_category().message(err));
}
} // namespace

SongFile::~SongFile()
{
    close();
}

bool SongFile::open(const QByteArray &path, QString *error)
{
    close();
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        close();
        return false;
    };
    // The catalogue keeps the bytes the directory listing returned; on this
    // platform a path is exactly those bytes, whatever their encoding.
    if (path.isEmpty() || path.contains('\0'))
        return fail(QStringLiteral("no such path"));
    // Non-blocking so that a FIFO opens at once (and is then refused) rather
    // than waiting for a writer; on a regular file the flag changes nothing.
    do {
        mFd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (mFd < 0 && errno == EINTR);
    if (mFd < 0)
        return fail(describe(errno));
    // Measured on what was opened: the path may name something else by now.
    struct stat st {};
    if (::fstat(mFd, &st) != 0)
        return fail(describe(errno));
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("not a regular file"));
    mSize = qint64(st.st_size);
    return true;
}

void SongFile::close()
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
    mSize = 0;
}
