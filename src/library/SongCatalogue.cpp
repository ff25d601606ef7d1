#include "library/SongCatalogue.h"

#include "library/CFileDirHelper.h"
#include "library/MusicFolder.h"
#include "library/Paths.h"
#include "library/SongList.h"

#include <QFile>
#include <QStringList>

#include <filesystem>
#include <system_error>

namespace {

// The name as the operator can read it on one line.
QString printableName(const QByteArray &relative)
{
    QString name = QFile::decodeName(wireRelativePath(relative));
    name.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    name.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + name + QLatin1Char('"');
}

// The songs left out, as the operator reads them, in one line.
QString printableNames(const std::vector<QByteArray> &paths, const QByteArray &folder)
{
    QStringList names;
    for (const QByteArray &path : paths)
        names << printableName(path.mid(folder.size()));
    return names.join(QStringLiteral(", "));
}

} // namespace

SongCatalogue::SongCatalogue(ScanServices services, QObject *parent)
    : QObject(parent), mServices(std::move(services))
{
}

SongCatalogue::~SongCatalogue() = default;

void SongCatalogue::LoadMP3List()
{
    if (mScanning) {
        // Called from an event pumped inside the running walk: a second walk
        // from here would interleave with it. Run it once this one is done.
        mReloadPending = true;
        return;
    }
    do {
        mReloadPending = false;
        scanOnce();
    } while (mReloadPending && !mServices.exiting());
    mReloadPending = false;
}

void SongCatalogue::cmdReload_Click()
{
    LoadMP3List();
}

void SongCatalogue::scanOnce()
{
    const QByteArray folder = AddBackslash(QFile::encodeName(mServices.musicFolder()));
    if (folder.size() == 1 && folder[0] == kFolderSeparator) {
        if (mServices.musicFolder().isEmpty())
            emit musicFolderEmpty();
        return; // no folder named: what clients are offered stays findable
    }

    const QString field = mServices.musicFolder();
    emit scanStarted(field);
    // The walk swallows a folder it cannot list, so a mistyped folder would
    // look like an empty one; whoever shows the scan is told why.
    std::error_code unreadable;
    std::filesystem::directory_iterator probe(fsPathFromBytes(folder), unreadable);
    if (unreadable)
        emit musicFolderUnreadable(field, QString::fromLocal8Bit(unreadable.message()));

    // Opened before the walk: the songs it finds are served from this folder.
    auto musicFolder = std::make_shared<const MusicFolder>(folder);
    auto walker = std::make_unique<CFileDirHelper>([this] { mServices.pumpEvents(); },
                                                   [this] { return mServices.exiting(); });
    walker->setPumpInterval(mPumpInterval);
    walker->setWideLinks(mWideLinks);
    QObject::connect(walker.get(), &CFileDirHelper::walkProgress, this, &SongCatalogue::scanProgress);
    mScanning = true;
    PathList found = walker->GetAllFiles(folder, QByteArrayLiteral("*.mp3"), true);
    mScanning = false;
    if (walker->stopped()) {
        emit scanEnded(false, SongCount(), walker->foldersEntered());
        return;
    }

    // From here to the end nothing processes events, so no handler ever sees
    // the list text, the count and the paths disagree.
    SongList list = BuildSongList(std::move(found), folder);
    mSongList = std::move(list.text);
    mLineStarts = std::move(list.lineStarts);
    mRootFolder = folder;
    mMusicFolder = std::move(musicFolder);
    mFileHelper = std::move(walker);

    if (!list.skippedLineBreak.empty())
        mServices.log(QStringLiteral("Songs not listed, line break in the name: ")
                      + printableNames(list.skippedLineBreak, folder));
    // A backslash would read as a folder separator on the wire, so the
    // client would ask for a song that is not there.
    if (!list.skippedBackslash.empty())
        mServices.log(QStringLiteral("Songs not listed, backslash in the name: ")
                      + printableNames(list.skippedBackslash, folder));
    logLinksOutside(*mFileHelper, folder);
    mServices.log(QStringLiteral("Songs Available: ") + QString::number(SongCount())
                  + QStringLiteral("\r\n"));
    emit scanEnded(true, SongCount(), mFileHelper->foldersEntered());
}

// One line per link, in the manner of the names left out above; they say
// which songs are missing and why, the warning that follows says what to do.
void SongCatalogue::logLinksOutside(const CFileDirHelper &walker, const QByteArray &folder)
{
    const std::vector<CFileDirHelper::LinkOutside> &links = walker.linksLeadingOutside();
    if (links.empty())
        return;
    for (const CFileDirHelper::LinkOutside &link : links) {
        const QString name = printableName(link.path.mid(folder.size()));
        mServices.log(
                link.folder ? QStringLiteral("Folder not entered, it leads outside the music folder: ") + name
                            : QStringLiteral("Song not listed, it leads outside the music folder: ") + name);
    }
    emit linksLeadOutside(qint64(links.size()));
}

bool SongCatalogue::GetMP3File()
{
    if (mSongNum < 1 || mSongNum > SongCount())
        return false;
    const auto index = static_cast<size_t>(mSongNum - 1);
    const qsizetype start = mLineStarts[index];
    const qsizetype end = (index + 1 < mLineStarts.size() ? mLineStarts[index + 1] : mSongList.size()) - 2;
    const QByteArrayView line = QByteArrayView(mSongList).sliced(start, end - start);
    mSongPath = SongFilePath(mRootFolder, line);
    mSongRelativePath = line.sliced(1).toByteArray();
    mSongPathInFolder = mSongPath.mid(mRootFolder.size());
    mSongFolder = mMusicFolder;
    return true;
}

qint32 SongCatalogue::SongCount() const
{
    return static_cast<qint32>(mLineStarts.size());
}

const QByteArray &SongCatalogue::mFilelist() const
{
    return mSongList;
}

const QByteArray &SongCatalogue::rootFolder() const
{
    return mRootFolder;
}

bool SongCatalogue::scanning() const
{
    return mScanning;
}

CFileDirHelper *SongCatalogue::FileHelper() const
{
    return mFileHelper.get();
}
