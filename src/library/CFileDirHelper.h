#pragma once
// The directory walker: collects the full paths of the files of a folder
// tree that match wildcard patterns, and records the distinct folders in
// which it found them.
//
// Order of a walk: a folder's own matching files, pattern by pattern, then
// its subfolders one by one, depth first. Every listing is in
// ListingOrderLess order, so numbers built on a walk are stable across
// scans of an unchanged tree. Names beginning with "." are hidden and
// skipped, as are entries that are neither regular files nor folders.
// Symbolic links are followed where they lead within the folder the walk
// starts from (resolved once, as the walk begins: that folder may itself be
// a link); a link, to a file or a folder, that leads outside it is skipped
// and noted (linksLeadingOutside), unless wide links are asked for. A folder
// (device and inode) already entered anywhere in the same walk is not
// entered again: a link cycle cannot hang a walk, links that fan out cannot
// multiply it, and a song reachable under two folder paths is listed once,
// under the path met first. Paths are raw bytes with the platform's
// separator.
//
// The walker knows nothing of the server: its owner gives it a pump, called
// between entries so the window and the connections stay served during a
// long walk, and a stop predicate, asked after every entry; once it answers
// true the walk returns what it has and stopped() tells so.
//
// Re-entrancy: GetAllFiles calls the pump, and AddingToBlock listeners run
// synchronously, so any handler can run inside a walk. Such a handler must
// not destroy the instance that is walking. No other member pumps.

#include "library/PathList.h"
#include "library/Paths.h"

#include <QByteArray>
#include <QObject>
#include <QVariant>
#include <chrono>
#include <functional>
#include <unordered_set>
#include <vector>

class FolderListing;

class CFileDirHelper : public QObject {
    Q_OBJECT
public:
    using Pump = std::function<void()>;
    using StopPredicate = std::function<bool()>;

    // File attribute bits as GetDirectories takes them.
    static constexpr qint32 kAttrHidden = 2;
    static constexpr qint32 kAttrSystem = 4;
    static constexpr qint32 kAttrDirectory = 16;

    explicit CFileDirHelper(Pump pump = {}, StopPredicate stop = {}, QObject *parent = nullptr);
    ~CFileDirHelper() override;

    // How often a walk pumps: zero pumps after every entry; a positive
    // interval pumps at an entry only once that much time has passed since
    // the previous pump (the first entry of a walk always pumps).
    void setPumpInterval(std::chrono::nanoseconds interval) { mPumpInterval = interval; }
    std::chrono::nanoseconds pumpInterval() const { return mPumpInterval; }

    // Wide links: links are followed wherever they lead, as for an operator
    // who links other disks into the music folder on purpose.
    void setWideLinks(bool wide) { mWideLinks = wide; }
    bool wideLinks() const { return mWideLinks; }
    // A link the last GetAllFiles did not follow because it leads outside
    // the folder the walk started from: one that matched a pattern, or a
    // folder (when recursing), by its full path as the walk met it.
    struct LinkOutside {
        QByteArray path;
        bool folder;
    };
    // In walk order.
    const std::vector<LinkOutside> &linksLeadingOutside() const { return mLinksOutside; }

    // --- properties ------------------------------------------------------------
    QByteArray RootPath() const { return mRootPath; } // always empty
    // The recorded folders themselves, in the order first recorded.
    const std::vector<QByteArray> &Directories() const { return mDirectories; }
    QVariant Files() const { return mFiles; } // always empty
    qint32 DirCount() const { return mDirCount; }
    qint32 DirChars() const { return mDirChars; }

    // --- operations ----------------------------------------------------------------
    // Creates every missing folder along mPathToCheck up to its last
    // separator. Throws std::filesystem::filesystem_error when a folder
    // cannot be created. The result is always empty.
    QVariant CreateAllFolders(const QByteArray &mPathToCheck);

    // Pathname up to and including its last separator; empty without one.
    static QByteArray GetPathFromFile(const QByteArray &Pathname);

    // Releases the folder list: afterwards Directories() is empty and
    // AddDir records nothing (the counts keep their values).
    void CleanUp();

    // The walk. Never fails towards its caller: a folder that is missing or
    // cannot be listed contributes nothing. Pumps (see above).
    PathList GetAllFiles(QByteArray Path, QByteArray filespec, bool RecurseDirs);
    // True when the last GetAllFiles was cut short by the stop predicate.
    bool stopped() const { return mStopped; }
    // Folders the last GetAllFiles entered (listed), the starting one included.
    qint64 foldersEntered() const { return mFoldersEntered; }

    // The subfolders of Path (not descending), in listing order: bare names,
    // or Path plus name when IncludePath. Attributes with kAttrHidden also
    // returns hidden folders. Throws std::filesystem::filesystem_error when
    // Path cannot be listed. Does not pump.
    PathList GetDirectories(QByteArray Path, qint32 Attributes, bool IncludePath);

    // Position (from 1) of Path, lower-cased, among the recorded folders;
    // 0 when it is not there.
    qint32 GetPathNumber(const QByteArray &Path) const;

    // Records the folder Path (ASCII letters lower-cased) once, in the order
    // first met. An empty Path is recorded only with bForceAdd.
    void AddDir(const QByteArray &Path, bool bForceAdd);

signals:
    // Raised once per matching file per pattern, with its full path.
    void AddingToBlock(const QByteArray &Filename);
    // How far the walk has come: folders entered and files found so far.
    // Raised just before each pump, so at most as often as the walk pumps;
    // its listeners must not destroy the walker.
    void walkProgress(qint64 foldersEntered, qint64 filesFound);
    // Declared for listeners that expect them; the walker never raises them.
    void RemoveDirectory(const QByteArray &Path);
    void ShredFile(const QByteArray &Filename);
    void CreatingFileBlock(const QByteArray &Filename);
    void BuildingHeader(const QByteArray &Filename);
    void CreatingBlock(qint32 Block);
    void CipherProgress(qint32 Percent);
    void CompressingFile(const QByteArray &Filename);
    void DecompressingFile(const QByteArray &Filename);

private:
    struct FolderId;
    struct FolderIdHash;
    using EnteredFolders = std::unordered_set<FolderId, FolderIdHash>;
    void walkFolder(const QByteArray &path, const std::vector<QByteArray> &patterns, bool recurse,
                    PathList &result, EnteredFolders &entered, FolderListing &listing);
    // Called after every entry a walk handles; true when the walk must stop.
    bool afterEntry();
    // Marks and notes the links of the listing (in path) that matter to the
    // walk and lead outside mWalkRoot.
    void markLinksOutside(const QByteArray &path, const std::vector<QByteArray> &patterns, bool recurse,
                          FolderListing &listing);
    QByteArray withoutRoot(const QByteArray &Path) const;

    std::vector<QByteArray> mDirectories;
    QHash<QByteArray, qint32> mDirectoryIndex; // folder -> position from 1
    bool mDirectoriesReleased = false;
    qint32 mDirCount = 0;
    qint32 mDirChars = 0;
    QByteArray mRootPath;
    QVariant mFiles;

    Pump mPump;
    StopPredicate mStop;
    std::chrono::nanoseconds mPumpInterval{0};
    std::chrono::steady_clock::time_point mLastPump{};
    bool mPumpedThisWalk = false;
    bool mStopped = false;
    qint64 mFoldersEntered = 0;
    qint64 mFilesFound = 0;
    bool mWideLinks = false;
    QByteArray mWalkRoot; // the starting folder, resolved; empty: it holds nothing
    std::vector<LinkOutside> mLinksOutside;
};
