#include "app/LineWriter.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <cstdio>
#endif

namespace {
const QByteArray kCutMark = QByteArrayLiteral(" [...]\n");

bool isUtf8Continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

#ifdef Q_OS_UNIX
// A description of our own for the stream behind fd, opened non-blocking, in
// fd's place. Only the very stream we were given is accepted: a name can lead
// elsewhere (a terminal handed on, a FIFO's path reused).
bool reopenNonBlocking(int fd, const struct stat &info)
{
    QList<QByteArray> paths{"/proc/self/fd/" + QByteArray::number(fd)};
    if (::isatty(fd)) {
        if (const char *name = ::ttyname(fd))
            paths << QByteArray(name);
    }
    for (const QByteArray &path : paths) {
        const int own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own < 0)
            continue;
        struct stat same = {};
        const bool ok = ::fstat(own, &same) == 0 && same.st_dev == info.st_dev && same.st_ino == info.st_ino
                && same.st_rdev == info.st_rdev && ::dup2(own, fd) == fd;
        ::close(own);
        if (ok)
            return true;
    }
    return false;
}
#endif
} // namespace

LineWriter::LineWriter(int fd, Notice notice) : mFd(fd), mNotice(std::move(notice))
{
}

LineWriter::~LineWriter()
{
    // A last try for what is held, still without waiting.
    const std::lock_guard lock(mMutex);
    flushHeld();
    delete mNotifier.data(); // already gone when the application went first
}

void LineWriter::prepareNonBlocking()
{
#ifdef Q_OS_UNIX
    struct stat info = {};
    if (::fstat(mFd, &info) != 0)
        return;
    // A file (or a block device) takes what it can at once and never waits
    // for a reader; non-blocking means nothing to it.
    if (!S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode))
        return;
    if (!S_ISSOCK(info.st_mode) && reopenNonBlocking(mFd, info))
        return;
    const int flags = ::fcntl(mFd, F_GETFL);
    if (flags < 0 || (flags & O_NONBLOCK))
        return;
    if (S_ISCHR(info.st_mode)) {
        // The shell reads its commands through the same description: it is
        // made non-blocking only while we write.
        mShareFlags = true;
    } else {
        ::fcntl(mFd, F_SETFL, flags | O_NONBLOCK);
    }
#endif
}

void LineWriter::setRateLimit(qint64 bytesPerSecond, qint64 burstBytes, Clock clock)
{
    const std::lock_guard lock(mMutex);
    mClock = clock ? std::move(clock) : Clock([] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now().time_since_epoch());
    });
    mBytesPerSecond = bytesPerSecond;
    mBurst = burstBytes;
    mAllowance = mBurst;
    mRefilled = mClock();
}

void LineWriter::write(const QByteArray &line)
{
    if (line.isEmpty())
        return;
    const std::lock_guard lock(mMutex);
    if (mWriting) {
        ++mDropped;
        return;
    }
    if (!withinRate(line.size())) {
        ++mOverRate;
        return;
    }
    if (!flushHeld()) {
        ++mDropped;
        return;
    }
    const qsizetype written = writeSome(line.constData(), line.size());
    if (written == 0) {
        ++mDropped;
        return;
    }
    charge(line.size()); // the rest, when held, goes out later
    keepRest(line, written);
}

qint64 LineWriter::droppedUnreported()
{
    const std::lock_guard lock(mMutex);
    return mDropped + mOverRate;
}

bool LineWriter::withinRate(qsizetype bytes)
{
    if (mBytesPerSecond <= 0)
        return true;
    using std::chrono::nanoseconds;
    constexpr qint64 kNsPerSecond = 1'000'000'000;
    const nanoseconds now = mClock();
    const qint64 toFill = (mBurst - std::min(mAllowance, mBurst)) * kNsPerSecond / mBytesPerSecond;
    if ((now - mRefilled).count() >= toFill) {
        mAllowance = std::max(mAllowance, mBurst);
        mRefilled = now;
    } else if (now > mRefilled) {
        // Whole bytes only; the time of a byte begun is kept for the next one.
        const qint64 earned = (now - mRefilled).count() * mBytesPerSecond / kNsPerSecond;
        mAllowance += earned;
        mRefilled += nanoseconds(earned * kNsPerSecond / mBytesPerSecond);
    }
    return mAllowance >= bytes;
}

void LineWriter::charge(qsizetype bytes)
{
    if (mBytesPerSecond > 0)
        mAllowance -= bytes;
}

bool LineWriter::flushHeld()
{
    if (!mPending.isEmpty()) {
        mPending.remove(0, writeSome(mPending.constData(), mPending.size()));
        if (!mPending.isEmpty())
            return false;
    }
    for (const bool overRate : {false, true}) {
        qint64 &dropped = overRate ? mOverRate : mDropped;
        if (dropped == 0)
            continue;
        const QByteArray notice = mNotice(dropped, overRate);
        const qsizetype written = writeSome(notice.constData(), notice.size());
        if (written == 0)
            return false;
        dropped = 0;
        // Charged, not checked: one report goes out with each line that does.
        charge(notice.size());
        keepRest(notice, written);
        if (!mPending.isEmpty())
            return false;
    }
    return true;
}

void LineWriter::keepRest(const QByteArray &line, qsizetype written)
{
    if (written >= line.size())
        return;
    if (line.size() - written <= kMaxPendingBytes) {
        mPending = line.mid(written);
        return;
    }
    // Too long a rest to hold: the line ends early, marked, and not inside
    // a character.
    qsizetype end = written + kMaxPendingBytes - kCutMark.size();
    while (end > written && isUtf8Continuation(line[end]))
        --end;
    mPending = line.mid(written, end - written) + kCutMark;
}

qsizetype LineWriter::writeSome(const char *data, qsizetype size)
{
    mWriting = true;
    const auto done = qScopeGuard([this] { mWriting = false; });
#ifdef Q_OS_UNIX
    int flags = -1;
    if (mShareFlags) {
        flags = ::fcntl(mFd, F_GETFL);
        if (flags >= 0)
            ::fcntl(mFd, F_SETFL, flags | O_NONBLOCK);
    }
    ssize_t n;
    do {
        n = ::write(mFd, data, size_t(size));
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    if (flags >= 0)
        ::fcntl(mFd, F_SETFL, flags);
    // A full stream is watched until it takes output again; a broken one
    // (closed pipe, hung-up terminal, full disk) is not, as it would report
    // itself writable for ever. It is tried again with the next line.
    if ((n >= 0 && n < size) || (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)))
        watchUntilWritable();
    return n > 0 ? qsizetype(n) : 0;
#else
    FILE *stream = mFd == 2 ? stderr : stdout;
    const size_t n = std::fwrite(data, 1, size_t(size), stream);
    std::fflush(stream);
    return qsizetype(n);
#endif
}

void LineWriter::watchUntilWritable()
{
#ifdef Q_OS_UNIX
    if (!mNotifier) {
        struct stat info = {};
        if (::fstat(mFd, &info) != 0 || S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))
            return; // always "writable": watching it would spin
    }
    // A notifier belongs to the application's thread; from elsewhere, or
    // before there is an event loop, the next line tries again.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || app->thread() != QThread::currentThread())
        return;
    if (!mNotifier) {
        mNotifier = new QSocketNotifier(qintptr(mFd), QSocketNotifier::Write, app);
        QObject::connect(mNotifier, &QSocketNotifier::activated, mNotifier, [this] { writable(); });
    }
    mNotifier->setEnabled(true);
#endif
}

void LineWriter::writable()
{
    const std::lock_guard lock(mMutex);
    mNotifier->setEnabled(false);
    flushHeld(); // watches again when the stream is still full
}
