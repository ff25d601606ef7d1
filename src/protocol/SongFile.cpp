#include "protocol/SongFile.h"

#include "library/MusicFolder.h"

#include <QList>

#include <atomic>
#include <cerrno>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

namespace {

// Non-blocking so that a FIFO opens at once (and is then refused) rather than
// waiting for a writer; on a regular file the flag changes nothing.
constexpr int kSongFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

#if defined(__linux__) && defined(SYS_openat2)
std::atomic<bool> gKernelResolvesBeneath{true};
#else
std::atomic<bool> gKernelResolvesBeneath{false};
#endif

std::function<void()> gBeforeResolvedOpen;

QString describe(int err)
{
    return QString::fromStdString(std::generic_category().message(err));
}

// A descriptor, or minus the error number.
int openRetrying(int folder, const char *path, int flags)
{
    int fd;
    do {
        fd = ::openat(folder, path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -errno : fd;
}

// The kernel resolves path beneath folder: no "..", no absolute path or
// link, no link of /proc's kind may lead above it (EXDEV, ELOOP);
// noLinks refuses every link on the way. A descriptor, or minus the error
// number; -ENOSYS where the kernel lacks the call.
int openBeneathByKernel(int folder, const QByteArray &path, bool noLinks)
{
#if defined(__linux__) && defined(SYS_openat2)
    if (!gKernelResolvesBeneath.load(std::memory_order_relaxed))
        return -ENOSYS;
    open_how how{};
    how.flags = kSongFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | (noLinks ? RESOLVE_NO_SYMLINKS : 0);
    // EAGAIN: a rename elsewhere raced the check for ".."; the kernel asks to try again.
    for (int attempts = 0;; ++attempts) {
        const long fd = ::syscall(SYS_openat2, folder, path.constData(), &how, sizeof how);
        if (fd >= 0)
            return int(fd);
        if (errno == EINTR || (errno == EAGAIN && attempts < 16))
            continue;
        if (errno == ENOSYS)
            gKernelResolvesBeneath.store(false, std::memory_order_relaxed);
        return -errno;
    }
#else
    (void)folder, (void)path, (void)noLinks;
    return -ENOSYS;
#endif
}

// Opens path beneath folder one name at a time, following no link at all:
// any link met (put there since the path was resolved) fails the open. "."
// and ".." are refused, since the path is a resolved one.
int openBeneathFollowingNoLink(int folder, const QByteArray &path)
{
#ifdef O_PATH
    constexpr int kFolderFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC; // a link opens as itself
#else
    constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
    const QList<QByteArray> names = path.split('/');
    int current = folder;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QByteArray &name = names[i];
        const bool last = i + 1 == names.size();
        int next = -EXDEV;
        if (!name.isEmpty() && name != "." && name != "..")
            next = openRetrying(current, name.constData(), last ? kSongFlags | O_NOFOLLOW : kFolderFlags);
        struct stat st {};
        if (next >= 0 && !last && (::fstat(next, &st) != 0 || !S_ISDIR(st.st_mode))) {
            ::close(next);
            next = S_ISLNK(st.st_mode) ? -ELOOP : -ENOTDIR;
        }
        if (current != folder)
            ::close(current);
        if (next < 0 || last)
            return next;
        current = next;
    }
    return -ENOENT; // no name at all
}

} // namespace

SongFile::~SongFile()
{
    close();
}

void SongFile::setBeforeResolvedOpen(std::function<void()> hook)
{
    gBeforeResolvedOpen = std::move(hook);
}

void SongFile::setKernelResolvesBeneath(bool use)
{
#if defined(__linux__) && defined(SYS_openat2)
    gKernelResolvesBeneath.store(use, std::memory_order_relaxed);
#else
    (void)use;
#endif
}

bool SongFile::open(const SongLocation &song, QString *error)
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
    if (song.path.isEmpty() || song.path.contains('\0') || song.inFolder.contains('\0'))
        return fail(QStringLiteral("no such path"));
    if (song.wideLinks) {
        const int fd = openRetrying(AT_FDCWD, song.path.constData(), kSongFlags);
        if (fd < 0)
            return fail(describe(-fd));
        mFd = fd;
        return finishOpen(error);
    }

    const MusicFolder *folder = song.folder.get();
    if (!folder || folder->descriptor() < 0)
        return fail(QStringLiteral("the music folder cannot be opened"));
    if (song.inFolder.isEmpty())
        return fail(QStringLiteral("not a regular file"));
    // Most songs open in one call. Refused there are ".." and links that
    // lead outside, but also absolute links that lead within, and those the
    // walk follows: they are taken the second way.
    int fd = openBeneathByKernel(folder->descriptor(), song.inFolder, false);
    if (fd < 0 && fd != -EXDEV && fd != -ELOOP && fd != -ENOSYS)
        return fail(describe(-fd));
    if (fd < 0) {
        // Resolved as the walk resolves links, then opened by that resolved
        // path beneath the folder without following any link: whatever is
        // swapped in meanwhile fails the open instead of leading elsewhere.
        const std::optional<QByteArray> resolved
                = MusicFolder::resolve(folder->resolvedPath() + '/' + song.inFolder);
        if (!resolved)
            return fail(describe(errno));
        if (!folder->contains(*resolved))
            return fail(outsideText());
        QByteArray below = resolved->mid(folder->resolvedPath().size());
        while (below.startsWith('/'))
            below.remove(0, 1);
        if (below.isEmpty())
            return fail(QStringLiteral("not a regular file"));
        if (gBeforeResolvedOpen)
            gBeforeResolvedOpen();
        fd = openBeneathByKernel(folder->descriptor(), below, true);
        if (fd == -ENOSYS)
            fd = openBeneathFollowingNoLink(folder->descriptor(), below);
        if (fd == -EXDEV || fd == -ELOOP)
            return fail(QStringLiteral("its path changed as it was opened"));
        if (fd < 0)
            return fail(describe(-fd));
    }
    mFd = fd;
    return finishOpen(error);
}

bool SongFile::finishOpen(QString *error)
{
    // Measured on what was opened: the path may name something else by now.
    struct stat st {};
    QString why;
    if (::fstat(mFd, &st) != 0)
        why = describe(errno);
    else if (!S_ISREG(st.st_mode))
        why = QStringLiteral("not a regular file");
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        close();
        return false;
    }
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
