#include "app/ServerStatus.h"

#include "library/SongCatalogue.h"
#include "net/Winsock.h"
#include "protocol/Interpreter.h"
#include "protocol/Wire.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QStringList>

#include <memory>

namespace {

// The rate is measured over about this long, from samples taken at most
// this often: steady enough to read, recent enough to show a stall.
constexpr qint64 kRateWindowMs = 3000;
constexpr qint64 kRateSampleMs = 250;

QString counted(qint64 n, const char *one, const char *many)
{
    return Wire::groupedCount(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

// Where a listener listens, as the operator thinks of it.
QString listenerPlace(const QString &boundAddress)
{
    const QString text = boundAddress.trimmed();
    const QHostAddress address(text);
    if (address == QHostAddress(QHostAddress::AnyIPv4))
        return QStringLiteral("all interfaces (IPv4 only)");
    if (address == QHostAddress(QHostAddress::AnyIPv6) || address == QHostAddress(QHostAddress::Any))
        return QStringLiteral("all interfaces");
    return text;
}

} // namespace

ServerStatus::ServerStatus(Lines &lines, SongCatalogue &catalogue, Interpreter &interpreter, QObject *parent)
    : QObject(parent), mLines(lines)
{
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    mClock = [timer] { return timer->elapsed(); };

    connect(&lines, &Lines::listenStarted, this, &ServerStatus::Lines_listenStarted);
    connect(&lines, &Lines::listenFailed, this, &ServerStatus::Lines_listenFailed);
    connect(&lines, &Lines::connectionAccepted, this, &ServerStatus::Lines_connectionAccepted);
    connect(&lines, &Lines::lineReleased, this, &ServerStatus::Lines_lineReleased);
    connect(&lines, &Lines::SendProgress, this, &ServerStatus::Lines_SendProgress);
    connect(&lines, &Lines::SendComplete, this, &ServerStatus::Lines_SendComplete);
    connect(&catalogue, &SongCatalogue::scanStarted, this, &ServerStatus::Catalogue_scanStarted);
    connect(&catalogue, &SongCatalogue::musicFolderUnreadable, this,
            &ServerStatus::Catalogue_musicFolderUnreadable);
    connect(&catalogue, &SongCatalogue::scanProgress, this, &ServerStatus::Catalogue_scanProgress);
    connect(&catalogue, &SongCatalogue::scanEnded, this, &ServerStatus::Catalogue_scanEnded);
    connect(&interpreter, &Interpreter::songStreamStarted, this,
            &ServerStatus::Interpreter_songStreamStarted);
    connect(&interpreter, &Interpreter::songStreamEnded, this, &ServerStatus::Interpreter_songStreamEnded);
}

ServerStatus::~ServerStatus() = default;

void ServerStatus::setClock(Clock clock)
{
    mClock = std::move(clock);
}

// --- listeners and clients ------------------------------------------------------

void ServerStatus::Lines_listenStarted(qint16 line, const QString &boundAddress, quint16 port,
                                       bool portChosenBySystem)
{
    mListeners.append(Listener{line, boundAddress, port, portChosenBySystem});
    mNotListening.clear();
    emit changed();
}

void ServerStatus::Lines_listenFailed(int, const QString &description)
{
    mNotListening = description;
    emit changed();
}

void ServerStatus::Lines_connectionAccepted(qint16 line)
{
    if (!Lines::validLine(line))
        return;
    mClientLines.set(size_t(line));
    emit changed();
}

void ServerStatus::Lines_lineReleased(qint16 line)
{
    if (!Lines::validLine(line))
        return;
    mClientLines.reset(size_t(line));
    const qsizetype listenersBefore = mListeners.size();
    mListeners.removeIf([line](const Listener &l) { return l.line == line; });
    if (listenersBefore > 0 && mListeners.isEmpty())
        mNotListening = QStringLiteral("the listener on line %1 was closed").arg(line);
    if (mStream.active && mStream.line == line)
        endStream();
    emit changed();
}

// --- the song stream ------------------------------------------------------------

void ServerStatus::Interpreter_songStreamStarted(qint16 line, const QString &path, qint64 size)
{
    const Winsock *socket = mLines.socket(line);
    mStream = SongStream{true, line, path, socket ? socket->RemoteHostIP() : QString(), size, 0};
    mStreamCompleted = 0;
    mStreamHandedOver = false;
    // Whatever the line still has outstanding (a header, say) completes
    // before the song's first piece can pass the gate; it is not the song's.
    mSkipEarlierSend = mLines.lineBusy(line);
    mRateSamples.clear();
    mRateSamples.push_back(RateSample{mClock(), 0});
    emit changed();
}

void ServerStatus::Lines_SendProgress(qint16 line, qint64 bytesSent, qint64)
{
    if (!mStream.active || line != mStream.line || mSkipEarlierSend)
        return;
    // The events count the bytes of the piece in flight; the pieces before
    // it have completed.
    mStream.sent = qMin(mStreamCompleted + bytesSent, mStream.size);
    noteRateSample();
    emit changed();
}

void ServerStatus::Lines_SendComplete(qint16 line)
{
    if (!mStream.active || line != mStream.line)
        return;
    if (mSkipEarlierSend) {
        mSkipEarlierSend = false;
        return;
    }
    mStreamCompleted = mStream.sent;
    if (mStreamHandedOver && mStreamCompleted >= mStream.size)
        endStream();
    emit changed();
}

void ServerStatus::Interpreter_songStreamEnded(qint16 line, qint64 handedOver, qint64 size)
{
    if (!mStream.active || line != mStream.line)
        return;
    // A stream cut short is over now; a whole one once its last piece has
    // been taken, which may already be the case.
    if (handedOver < size || mStream.sent >= mStream.size)
        endStream();
    else
        mStreamHandedOver = true;
    emit changed();
}

void ServerStatus::endStream()
{
    mStream = SongStream{};
    mStreamCompleted = 0;
    mStreamHandedOver = false;
    mSkipEarlierSend = false;
    mRateSamples.clear();
}

void ServerStatus::noteRateSample()
{
    const qint64 now = mClock();
    if (mRateSamples.empty() || now - mRateSamples.back().ms >= kRateSampleMs)
        mRateSamples.push_back(RateSample{now, mStream.sent});
    // One sample older than the window stays: it is where the window begins.
    while (mRateSamples.size() > 2 && now - mRateSamples[1].ms >= kRateWindowMs)
        mRateSamples.pop_front();
}

double ServerStatus::songRate() const
{
    if (!mStream.active || mRateSamples.empty())
        return 0;
    const qint64 now = mClock();
    // From the newest sample that is a whole window old, or from the start.
    const RateSample *from = &mRateSamples.front();
    for (const RateSample &sample : mRateSamples) {
        if (now - sample.ms >= kRateWindowMs)
            from = &sample;
    }
    const qint64 span = now - from->ms;
    return span > 0 ? double(mStream.sent - from->bytes) * 1000.0 / double(span) : 0.0;
}

// --- the scan -------------------------------------------------------------------

void ServerStatus::Catalogue_scanStarted()
{
    mScanning = true;
    mScanFolders = 0;
    mScanSongs = 0;
    mFolderUnreadable = false;
    emit changed();
}

void ServerStatus::Catalogue_musicFolderUnreadable(const QString &, const QString &)
{
    mFolderUnreadable = true;
    emit changed();
}

void ServerStatus::Catalogue_scanProgress(qint64 folders, qint64 songs)
{
    mScanFolders = folders;
    mScanSongs = songs;
    emit changed();
}

void ServerStatus::Catalogue_scanEnded(bool completed, qint32 songCount, qint64 folders)
{
    mScanning = false;
    mSongs = songCount;
    if (completed) {
        mScanFolders = folders;
        mScanSongs = songCount;
    }
    emit changed();
}

// --- texts ----------------------------------------------------------------------

QString ServerStatus::listenText() const
{
    if (mListeners.isEmpty()) {
        return mNotListening.isEmpty() ? QStringLiteral("Not listening")
                                       : QStringLiteral("Not listening: ") + mNotListening;
    }
    const Listener &first = mListeners.constFirst();
    QString text
            = QStringLiteral("Listening on %1, port %2").arg(listenerPlace(first.address)).arg(first.port);
    if (first.portChosenBySystem)
        text += QStringLiteral(" (chosen by the system)");
    if (mListeners.size() > 1)
        text += QStringLiteral(", and %1 more").arg(mListeners.size() - 1);
    return text;
}

QString ServerStatus::songsText() const
{
    // "Offered": during a scan these are still the previous scan's songs.
    // No songs from a folder that cannot be read is a fault to mend, not an
    // empty folder: the log's warning says more.
    return counted(mSongs, "song", "songs") + QStringLiteral(" offered")
            + (mFolderUnreadable && mSongs == 0 ? QStringLiteral(": the music folder cannot be read")
                                                : QString());
}

QString ServerStatus::clientsText() const
{
    const int n = clients();
    return n == 0 ? QStringLiteral("No clients") : counted(n, "client", "clients");
}

QString ServerStatus::activityText() const
{
    QStringList parts;
    if (mScanning) {
        parts << QStringLiteral("Scanning the music folder: %1, %2 so far")
                         .arg(counted(mScanFolders, "folder", "folders"),
                              counted(mScanSongs, "song", "songs"));
    }
    if (mStream.active) {
        // Floored: 100% only once the last byte has gone.
        const qint64 percent = mStream.size > 0 ? mStream.sent * 100 / mStream.size : 100;
        QString target = QStringLiteral("line %1").arg(mStream.line);
        if (!mStream.client.isEmpty())
            target += QStringLiteral(" (") + mStream.client + QLatin1Char(')');
        // The figures first: a narrow window cuts the text's end.
        parts << QStringLiteral("Sending %1: %2% (%3 of %4 bytes), %5/s, to %6")
                         .arg(QFileInfo(mStream.path).fileName(), QString::number(percent),
                              Wire::groupedCount(mStream.sent), Wire::groupedCount(mStream.size),
                              QLocale().formattedDataSize(qint64(songRate()), 1, QLocale::DataSizeSIFormat),
                              target);
    }
    return parts.isEmpty() ? QStringLiteral("Idle") : parts.join(QStringLiteral("   |   "));
}
