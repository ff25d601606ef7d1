#include "library/SongCatalogue.h"

#include "app/Server.h"
#include "library/CFileDirHelper.h"
#include "library/Paths.h"
#include "library/SongList.h"

#include <QFile>
#include <QStringList>

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

SongCatalogue::SongCatalogue(Server &server) : mServer(server) {}

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
    } while (mReloadPending && !mServer.exiting());
    mReloadPending = false;
}

void SongCatalogue::cmdReload_Click()
{
    LoadMP3List();
}

void SongCatalogue::scanOnce()
{
    const QByteArray folder = AddBackslash(QFile::encodeName(mServer.fields().musicFolder));
    if (folder.size() == 1 && folder[0] == kFolderSeparator)
        return;   // no folder named: what clients are offered stays findable

    auto walker = std::make_unique<CFileDirHelper>([this] { mServer.pumpEvents(); },
                                                   [this] { return mServer.exiting(); });
    walker->setPumpInterval(mPumpInterval);
    mScanning = true;
    PathList found = walker->GetAllFiles(folder, QByteArrayLiteral("*.mp3"), true);
    mScanning = false;
    if (walker->stopped())
        return;

    // From here to the end nothing processes events, so no handler ever sees
    // the list text, the count and the paths disagree.
    SongList list = BuildSongList(found.takeItems(), folder);
    mSongFiles = std::move(list.songs);
    mSongList = std::move(list.text);
    mRootFolder = folder;
    mFileHelper = std::move(walker);

    if (!list.skippedLineBreak.empty())
        mServer.AddLog(QStringLiteral("Songs not listed, line break in the name: ")
                       + printableNames(list.skippedLineBreak, folder));
    // A backslash would read as a folder separator on the wire, so the
    // client would ask for a song that is not there.
    if (!list.skippedBackslash.empty())
        mServer.AddLog(QStringLiteral("Songs not listed, backslash in the name: ")
                       + printableNames(list.skippedBackslash, folder));
    mServer.AddLog(QStringLiteral("Songs Available: ") + QString::number(SongCount())
                   + QStringLiteral("\r\n"));
    emit catalogueChanged();
}

bool SongCatalogue::GetMP3File()
{
    if (SongNum < 1 || SongNum > SongCount())
        return false;
    SongPath = mSongFiles[static_cast<size_t>(SongNum - 1)];
    SongRelativePath = wireRelativePath(SongPath.mid(mRootFolder.size()));
    return true;
}

qint32 SongCatalogue::SongCount() const
{
    return static_cast<qint32>(mSongFiles.size());
}

const std::vector<QByteArray> &SongCatalogue::SongFiles() const
{
    return mSongFiles;
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
