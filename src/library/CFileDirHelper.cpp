#include "library/CFileDirHelper.h"

#include "library/FolderListing.h"
#include "library/MusicFolder.h"

#include <QMetaMethod>

#include <algorithm>
#include <optional>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>
#define VORLUNE_HAVE_STAT 1
#endif

namespace fs = std::filesystem;

// Identity of a folder, whatever path leads to it, so no folder is walked
// twice in one walk.
struct CFileDirHelper::FolderId {
#ifdef VORLUNE_HAVE_STAT
    dev_t device = 0;
    ino_t inode = 0;
#else
    fs::path canonical;
#endif
    bool operator==(const FolderId &) const = default;
};

struct CFileDirHelper::FolderIdHash {
    size_t operator()(const FolderId &id) const
    {
#ifdef VORLUNE_HAVE_STAT
        return std::hash<ino_t>()(id.inode) ^ (std::hash<dev_t>()(id.device) * 0x9e3779b97f4a7c15ULL);
#else
        return fs::hash_value(id.canonical);
#endif
    }
};

namespace {

bool folderIdentity(const QByteArray &path, auto &id)
{
#ifdef VORLUNE_HAVE_STAT
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    return true;
#else
    std::error_code ec;
    id.canonical = fs::canonical(fsPathFromBytes(path), ec);
    return !ec;
#endif
}

} // namespace

CFileDirHelper::CFileDirHelper(Pump pump, StopPredicate stop, QObject *parent)
    : QObject(parent), mPump(std::move(pump)), mStop(std::move(stop))
{
}

CFileDirHelper::~CFileDirHelper() = default;

QVariant CFileDirHelper::CreateAllFolders(const QByteArray &mPathToCheck)
{
    for (qsizetype i = 0; i < mPathToCheck.size(); ++i) {
        if (mPathToCheck[i] != kFolderSeparator || i == 0)
            continue; // the leading separator names the root, which exists
        const fs::path folder = fsPathFromBytes(mPathToCheck.left(i));
        std::error_code ec;
        if (fs::is_directory(folder, ec))
            continue;
        fs::create_directory(folder); // throws; the failure is the caller's
    }
    return {};
}

QByteArray CFileDirHelper::GetPathFromFile(const QByteArray &Pathname)
{
    const qsizetype last = Pathname.lastIndexOf(kFolderSeparator);
    return last < 0 ? QByteArray() : Pathname.left(last + 1);
}

void CFileDirHelper::CleanUp()
{
    mDirectories = {};
    mDirectoryIndex = {};
    mDirectoriesReleased = true;
}

QByteArray CFileDirHelper::withoutRoot(const QByteArray &Path) const
{
    QByteArray text = asciiLower(Path);
    if (!mRootPath.isEmpty())
        text.replace(asciiLower(mRootPath), QByteArray());
    return text;
}

void CFileDirHelper::AddDir(const QByteArray &Path, bool bForceAdd)
{
    if (mDirectoriesReleased)
        return;
    const QByteArray text = withoutRoot(Path);
    if (text.isEmpty() && !bForceAdd)
        return;
    if (mDirectoryIndex.contains(text))
        return;
    mDirectories.push_back(text);
    mDirectoryIndex.insert(text, static_cast<qint32>(mDirectories.size()));
    mDirChars += static_cast<qint32>(text.size());
    ++mDirCount;
}

qint32 CFileDirHelper::GetPathNumber(const QByteArray &Path) const
{
    return mDirectoryIndex.value(withoutRoot(Path), 0);
}

PathList CFileDirHelper::GetDirectories(QByteArray Path, qint32 Attributes, bool IncludePath)
{
    Path = AddBackslash(Path);
    // A failure to open the folder is the caller's; the walk's own listing
    // swallows it instead.
    fs::directory_iterator probe(fsPathFromBytes(Path));
    (void)probe;
    FolderListing listing;
    listing.read(Path, (Attributes & kAttrHidden) != 0);
    PathList result;
    for (const FolderListing::Entry &entry : listing.entries()) {
        if (entry.kind == FolderListing::Kind::Folder)
            result.append(IncludePath ? QByteArrayView(Path) : QByteArrayView(), listing.name(entry));
    }
    return result;
}

bool CFileDirHelper::afterEntry()
{
    if (mPump) {
        if (mPumpInterval.count() <= 0) {
            emit walkProgress(mFoldersEntered, mFilesFound);
            mPump();
        } else {
            const auto now = std::chrono::steady_clock::now();
            if (!mPumpedThisWalk || now - mLastPump >= mPumpInterval) {
                emit walkProgress(mFoldersEntered, mFilesFound);
                mPump();
                mPumpedThisWalk = true;
                mLastPump = std::chrono::steady_clock::now();
            }
        }
    }
    if (mStop && mStop())
        mStopped = true;
    return mStopped;
}

PathList CFileDirHelper::GetAllFiles(QByteArray Path, QByteArray filespec, bool RecurseDirs)
{
    PathList result;
    mStopped = false;
    mFoldersEntered = 0;
    mFilesFound = 0;
    mPumpedThisWalk = false; // the first entry of every walk pumps
    Path = AddBackslash(Path);
    mLinksOutside.clear();
    if (!mWideLinks)
        mWalkRoot = MusicFolder::resolve(Path).value_or(QByteArray());
    const std::vector<QByteArray> patterns = SplitPatterns(filespec);
    EnteredFolders entered;
    FolderListing listing;
    if (!(mStop && mStop()))
        walkFolder(Path, patterns, RecurseDirs, result, entered, listing);
    else
        mStopped = true;
    return result;
}

// Appending every folder's matches straight to the one result, in walk
// order, keeps exactly the order and the first occurrences that merging
// each subfolder's own list into its parent's would, without copying a
// path once per level above it.
void CFileDirHelper::walkFolder(const QByteArray &path, const std::vector<QByteArray> &patterns, bool recurse,
                                PathList &result, EnteredFolders &entered, FolderListing &listing)
{
    // Remembering every folder entered, not only the open ancestors, is what
    // keeps a tree of links that fan out (two links to the next level, level
    // after level) from being walked once per path: that is exponential.
    FolderId id;
    if (!folderIdentity(path, id) || !entered.insert(std::move(id)).second)
        return;
    ++mFoldersEntered;

    static const QMetaMethod addingToBlock = QMetaMethod::fromSignal(&CFileDirHelper::AddingToBlock);
    listing.read(path, false);
    if (!mWideLinks)
        markLinksOutside(path, patterns, recurse, listing);
    bool folderRecorded = false;
    for (const QByteArray &pattern : patterns) {
        for (FolderListing::Entry &entry : listing.entries()) {
            const QByteArrayView name = listing.name(entry);
            if (entry.kind != FolderListing::Kind::File || entry.outside || !MatchesPattern(name, pattern))
                continue;
            if (!entry.listed) {
                result.append(path, name);
                entry.listed = true;
                ++mFilesFound;
            }
            // Every match here lies in this one folder: recording it once
            // answers for all of them.
            if (!folderRecorded) {
                AddDir(path, false);
                folderRecorded = true;
            }
            // A path built for nobody would cost an allocation per song.
            if (isSignalConnected(addingToBlock))
                emit AddingToBlock(QByteArray(path).append(name));
            if (afterEntry())
                return;
        }
    }
    if (!recurse)
        return;

    std::vector<QByteArray> subfolders;
    for (const FolderListing::Entry &entry : listing.entries()) {
        if (entry.kind == FolderListing::Kind::Folder && !entry.outside)
            subfolders.push_back(QByteArray(path).append(listing.name(entry)).append(kFolderSeparator));
        if (afterEntry())
            return;
    }

    // The listing is done with: the subfolders reuse its buffers.
    for (const QByteArray &subfolder : subfolders) {
        walkFolder(subfolder, patterns, recurse, result, entered, listing);
        if (mStopped)
            break;
    }
}

// Only a link can lead elsewhere than its folder does, so only links are
// resolved: a walk of a tree without links costs nothing more.
void CFileDirHelper::markLinksOutside(const QByteArray &path, const std::vector<QByteArray> &patterns,
                                      bool recurse, FolderListing &listing)
{
    for (FolderListing::Entry &entry : listing.entries()) {
        if (!entry.link)
            continue;
        const QByteArrayView name = listing.name(entry);
        const bool folder = entry.kind == FolderListing::Kind::Folder;
        const bool matters
                = folder ? recurse : std::any_of(patterns.begin(), patterns.end(), [&](const QByteArray &p) {
                      return MatchesPattern(name, p);
                  });
        if (!matters)
            continue;
        QByteArray full = QByteArray(path).append(name);
        const std::optional<QByteArray> target = MusicFolder::resolve(full);
        if (target && MusicFolder::liesWithin(*target, mWalkRoot))
            continue;
        // One that no longer resolves changed since it was listed: it is
        // skipped, but nothing can be said of where it leads.
        entry.outside = true;
        if (target)
            mLinksOutside.push_back({std::move(full), folder});
    }
}
