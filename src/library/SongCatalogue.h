#pragma once
// The song catalogue: the numbered list of the music folder's songs, their
// count (SongCount) and the song-list text clients receive (mFilelist), and
// the lookup from a song number to its path. The list text is also the list
// of songs: line k names song k, so no second copy of the paths is kept.
//
// Paths are raw bytes as the file system holds them, with the platform's
// separator; on the wire the separator is a backslash.
//
// Re-entrancy: LoadMP3List walks the folder calling the services' pumpEvents
// in the middle, so any handler can run inside it. Until the walk has
// completed, lookups and the list text keep serving the previous catalogue,
// which is replaced whole, with no event processed, at the end. A reload
// asked for while a scan runs is remembered and runs once the running scan
// has completed. A walk cut short because the server is exiting changes
// nothing.
//
// Signals report each scan for a display of the server's state; they are
// raised inside the scan (scanProgress from inside the walk, just before it
// lets events through), so their handlers must not wait and must not start
// a scan. None is raised for a field that names no folder.

#include "library/ScanServices.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QtGlobal>
#include <chrono>
#include <memory>
#include <vector>

class CFileDirHelper;
class MusicFolder;

class SongCatalogue : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SongCatalogue)
public:
    explicit SongCatalogue(ScanServices services, QObject *parent = nullptr);
    ~SongCatalogue();

    // Rebuilds the catalogue from the music-folder field, logs
    // "Songs Available: " + count. An empty field (or the separator alone)
    // starts no scan and keeps the catalogue as it is. Pumps events.
    void LoadMP3List();
    void cmdReload_Click();

    // Sets SongPath (and SongRelativePath) to song SongNum of the catalogue
    // that is offered (during a scan, the previous one). Returns false and
    // sets nothing when SongNum is outside 1..SongCount. Never pumps.
    bool GetMP3File();

    // The song number GetMP3File looks up.
    qint32 SongNum() const { return mSongNum; }
    void setSongNum(qint32 number) { mSongNum = number; }
    // Full path of the song the last successful GetMP3File found.
    const QByteArray &SongPath() const { return mSongPath; }
    // Its path below the music folder, "\" between folders.
    const QByteArray &SongRelativePath() const { return mSongRelativePath; }
    // The same path with the platform's separators, and the music folder it
    // lies in as the scan that found it resolved it: a song is opened beneath
    // that folder. Null before the first successful GetMP3File.
    const QByteArray &SongPathInFolder() const { return mSongPathInFolder; }
    const std::shared_ptr<const MusicFolder> &SongFolder() const { return mSongFolder; }

    // Wide links: the walk follows links wherever they lead (the next scan
    // on); otherwise only those that stay within the music folder, and songs
    // are opened so that nothing leads outside it.
    void setWideLinks(bool wide) { mWideLinks = wide; }
    bool wideLinks() const { return mWideLinks; }

    qint32 SongCount() const;
    const QByteArray &mFilelist() const;
    // The normalised folder (ending in the separator) the catalogue was built from.
    const QByteArray &rootFolder() const;
    bool scanning() const;
    // The walker of the last completed scan; null before the first.
    CFileDirHelper *FileHelper() const;

    // How often a scan lets events through; see CFileDirHelper.
    void setPumpInterval(std::chrono::nanoseconds interval) { mPumpInterval = interval; }

signals:
    // A walk of the folder (as the music-folder field names it) begins.
    void scanStarted(const QString &folder);
    // The folder cannot be listed: it does not exist, is not a folder or
    // may not be read (reason: the system's words). Raised before the walk,
    // which then finds no songs, as for any folder it cannot list.
    void musicFolderUnreadable(const QString &folder, const QString &reason);
    // A scan was asked for while the music-folder field is empty: nothing is
    // walked, and what is offered stays as it was.
    void musicFolderEmpty();
    // Folders entered and songs found so far in the running walk.
    void scanProgress(qint64 folders, qint64 songs);
    // The walk is over. Completed: the catalogue now offers songCount songs,
    // found in that many folders. Otherwise (the server is exiting) the
    // catalogue is as it was and songCount is what it still offers.
    void scanEnded(bool completed, qint32 songCount, qint64 folders);
    // The completed walk skipped this many links (files that would have been
    // songs, and folders) because they lead outside the music folder; raised
    // after their log lines, before "Songs Available: ", only when there were any.
    void linksLeadOutside(qint64 count);

private:
    // One walk and, when it completes, the catalogue replaced whole.
    void scanOnce();
    void logLinksOutside(const CFileDirHelper &walker, const QByteArray &folder);

    ScanServices mServices;
    qint32 mSongNum = 0;
    QByteArray mSongPath;
    QByteArray mSongRelativePath;
    QByteArray mSongPathInFolder;
    std::shared_ptr<const MusicFolder> mSongFolder;
    // The folder the offered catalogue was found in, held open with it.
    std::shared_ptr<const MusicFolder> mMusicFolder;
    bool mWideLinks = false;
    // The song-list text is the one copy of the songs' paths: song k is line
    // k turned back into a path below mRootFolder.
    QByteArray mSongList;
    std::vector<qsizetype> mLineStarts;
    QByteArray mRootFolder;
    std::unique_ptr<CFileDirHelper> mFileHelper;
    bool mScanning = false;
    bool mReloadPending = false;
    // Letting events through at most every 2 ms keeps the window and the
    // connections served just as well, and on a tree of 95,000 songs keeps
    // a scan near `find`'s time where pumping after every entry takes about
    // three times as long (bench_scan).
    std::chrono::nanoseconds mPumpInterval = std::chrono::milliseconds(2);
};
