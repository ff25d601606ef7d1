#include "library/MusicFolder.h"

#include "library/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define VORLUNE_HAVE_POSIX_FOLDERS 1
#endif

MusicFolder::MusicFolder(const QByteArray &folder)
{
#ifdef VORLUNE_HAVE_POSIX_FOLDERS
#ifdef O_PATH
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC; // needs no read right, reads nothing
#else
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    do {
        mFd = ::open(folder.constData(), kFlags);
    } while (mFd < 0 && errno == EINTR);
    if (mFd < 0)
        return;
    // The path is resolved apart from the open: should the folder have been
    // swapped between the two, the descriptor and the path would disagree on
    // what is shared. They must name one folder, or none is used.
    const std::optional<QByteArray> resolved = resolve(folder);
    struct stat opened {
    }, named{};
    if (resolved && ::fstat(mFd, &opened) == 0 && ::stat(resolved->constData(), &named) == 0
        && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
        mResolved = *resolved;
        return;
    }
    ::close(mFd);
    mFd = -1;
#else
    std::error_code ec;
    if (std::filesystem::is_directory(fsPathFromBytes(folder), ec))
        mResolved = resolve(folder).value_or(QByteArray());
#endif
}

MusicFolder::~MusicFolder()
{
#ifdef VORLUNE_HAVE_POSIX_FOLDERS
    if (mFd >= 0)
        ::close(mFd);
#endif
}

std::optional<QByteArray> MusicFolder::resolve(const QByteArray &path)
{
    if (path.isEmpty() || path.contains('\0'))
        return std::nullopt;
#ifdef VORLUNE_HAVE_POSIX_FOLDERS
    char *resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        return std::nullopt;
    QByteArray result(resolved);
    std::free(resolved);
    return result;
#else
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::canonical(fsPathFromBytes(path), ec);
    if (ec)
        return std::nullopt;
    const std::u8string text = canonical.u8string();
    return QByteArray(reinterpret_cast<const char *>(text.data()), qsizetype(text.size()));
#endif
}

bool MusicFolder::liesWithin(QByteArrayView resolved, QByteArrayView folder)
{
    if (folder.isEmpty() || !resolved.startsWith(folder))
        return false;
    // "/music" holds "/music/a" but not "/music2"; the root holds everything.
    return resolved.size() == folder.size() || folder.endsWith(kFolderSeparator)
            || resolved[folder.size()] == kFolderSeparator;
}
