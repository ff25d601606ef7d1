#include "library/CFileDirHelper.h"

#include <algorithm>
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

enum class EntryKind { File, Folder };

struct ListedEntry {
    QByteArray name;
    EntryKind kind;
};

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

// The visible files and folders of one folder, in listing order. Hidden
// names are dropped before anything is asked of the file system about
// them; a symbolic link is resolved (one stat), other entries use the type
// the listing already gave. A folder that cannot be listed gives nothing;
// one that fails part-way gives what was read before the failure.
std::vector<ListedEntry> readListing(const QByteArray &folder, bool includeHidden)
{
    std::vector<ListedEntry> entries;
    std::error_code ec;
    fs::directory_iterator it(fsPathFromBytes(folder), ec);
    if (ec)
        return entries;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        const std::string &full = it->path().native();
        const size_t cut = full.find_last_of(kFolderSeparator);
        const char *name = full.data() + (cut == std::string::npos ? 0 : cut + 1);
        const size_t nameLength = full.size() - static_cast<size_t>(name - full.data());
        if (nameLength == 0 || (name[0] == '.' && !includeHidden))
            continue;
        if (name[0] == '.' && (nameLength == 1 || (nameLength == 2 && name[1] == '.')))
            continue;
        // The listing's own type answers for everything but a link; only a
        // link costs a stat.
        std::error_code typeError;
        fs::file_type type = fs::file_type::none;
        if (it->is_symlink(typeError))
            type = it->status(typeError).type();
        else if (it->is_regular_file(typeError))
            type = fs::file_type::regular;
        else if (it->is_directory(typeError))
            type = fs::file_type::directory;
        EntryKind kind;
        if (type == fs::file_type::regular)
            kind = EntryKind::File;
        else if (type == fs::file_type::directory)
            kind = EntryKind::Folder;
        else
            continue;   // system entries, dangling links, unreadable types
        entries.push_back({QByteArray(name, static_cast<qsizetype>(nameLength)), kind});
    }
    std::sort(entries.begin(), entries.end(), [](const ListedEntry &a, const ListedEntry &b) {
        return ListingOrderLess(a.name, b.name);
    });
    return entries;
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
            continue;   // the leading separator names the root, which exists
        const fs::path folder = fsPathFromBytes(mPathToCheck.left(i));
        std::error_code ec;
        if (fs::is_directory(folder, ec))
            continue;
        fs::create_directory(folder);   // throws; the failure is the caller's
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
    PathList result;
    for (const ListedEntry &entry : readListing(Path, (Attributes & kAttrHidden) != 0)) {
        if (entry.kind == EntryKind::Folder)
            result.Add(IncludePath ? Path + entry.name : entry.name);
    }
    return result;
}

bool CFileDirHelper::afterEntry()
{
    if (mPump) {
        if (mPumpInterval.count() <= 0) {
            mPump();
        } else {
            const auto now = std::chrono::steady_clock::now();
            if (!mPumpedThisWalk || now - mLastPump >= mPumpInterval) {
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
    mPumpedThisWalk = false;   // the first entry of every walk pumps
    Path = AddBackslash(Path);
    const std::vector<QByteArray> patterns = SplitPatterns(filespec);
    EnteredFolders entered;
    if (!(mStop && mStop()))
        walkFolder(Path, patterns, RecurseDirs, result, entered);
    else
        mStopped = true;
    return result;
}

// Appending every folder's matches straight to the one result, in walk
// order, keeps exactly the order and the first occurrences that merging
// each subfolder's own list into its parent's would, without copying a
// path once per level above it.
void CFileDirHelper::walkFolder(const QByteArray &path, const std::vector<QByteArray> &patterns,
                                bool recurse, PathList &result, EnteredFolders &entered)
{
    // Remembering every folder entered, not only the open ancestors, is what
    // keeps a tree of links that fan out (two links to the next level, level
    // after level) from being walked once per path: that is exponential.
    FolderId id;
    if (!folderIdentity(path, id) || !entered.insert(std::move(id)).second)
        return;
    ++mFoldersEntered;

    std::vector<ListedEntry> entries = readListing(path, false);
    for (const QByteArray &pattern : patterns) {
        for (const ListedEntry &entry : entries) {
            if (entry.kind != EntryKind::File || !MatchesPattern(entry.name, pattern))
                continue;
            const QByteArray full = path + entry.name;
            result.Add(full);
            AddDir(path, false);
            emit AddingToBlock(full);
            if (afterEntry())
                return;
        }
    }
    if (!recurse)
        return;

    std::vector<QByteArray> subfolders;
    for (const ListedEntry &entry : entries) {
        if (entry.kind == EntryKind::Folder)
            subfolders.push_back(path + entry.name + kFolderSeparator);
        if (afterEntry())
            return;
    }
    entries = {};   // only the subfolder names are needed further down

    for (const QByteArray &subfolder : subfolders) {
        walkFolder(subfolder, patterns, recurse, result, entered);
        if (mStopped)
            break;
    }
}
