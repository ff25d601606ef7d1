#pragma once
// Whole lines to a standard stream (standard output for the log, standard
// error for Qt's warnings) that never make the server wait, whatever the
// stream is: a pipe nobody reads, a terminal stopped with Ctrl+S or behind a
// stalled SSH session, a closed socket, a full disk.
//
// A line goes out whole or not at all: what the stream does not take, or
// what would pass the rate limit when one is set, is dropped and counted, and
// the count is written as a line of its own as soon as a line goes out again.
// A line the stream took only in part is finished first (its rest kept, up to
// kMaxPendingBytes), so the next line never lands in the middle of it.
//
// Nothing here waits. write() returns at once; the stream is watched by a
// socket notifier in the event loop only while output is held back, so an
// idle server costs nothing. The notifier's handler writes and can therefore
// run nested inside any wait that lets events through; it calls nothing back.
// write() may be called from any thread (Qt warns from threads of its own);
// a line written from inside a write (a warning raised by the write itself)
// is dropped and counted.

#include <QByteArray>
#include <QPointer>
#include <chrono>
#include <functional>
#include <mutex>

class QSocketNotifier;

class LineWriter {
public:
    // The rest of a partly written line that is kept to finish it; a longer
    // rest is cut and marked, so the line still ends.
    static constexpr qsizetype kMaxPendingBytes = 64 * 1024;

    // The line, with its "\n", that reports a number of dropped lines:
    // dropped for the rate limit, or because the stream did not take them.
    using Notice = std::function<QByteArray(qint64 dropped, bool overRate)>;
    using Clock = std::function<std::chrono::nanoseconds()>;
    LineWriter(int fd, Notice notice);
    ~LineWriter();
    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    // Makes writes to the stream return at once instead of waiting. A
    // terminal or a pipe gets an open file description of its own, opened
    // non-blocking and put in the descriptor's place, since the flags of the
    // one we inherited are shared with the shell; where that cannot be done
    // a pipe or a socket is switched itself, and a terminal is switched only
    // for the moment of each write. Call it once, before anything is written.
    void prepareNonBlocking();

    // Lets lines out at bytesPerSecond on average and burstBytes at most at
    // once (a token bucket, full at first); the report of dropped lines
    // counts too. clock: monotonic time, steady_clock when not given.
    void setRateLimit(qint64 bytesPerSecond, qint64 burstBytes, Clock clock = {});

    // Writes one line (ending in "\n") whole, or drops and counts it.
    void write(const QByteArray &line);

    // Lines dropped and not yet reported.
    qint64 droppedUnreported();

private:
    bool flushHeld();
    bool withinRate(qsizetype bytes);
    void charge(qsizetype bytes);
    qsizetype writeSome(const char *data, qsizetype size);
    void keepRest(const QByteArray &line, qsizetype written);
    void watchUntilWritable();
    void writable();

    int mFd;
    Notice mNotice;
    QByteArray mPending;        // the unwritten rest of one line
    qint64 mDropped = 0;        // not taken by the stream
    qint64 mOverRate = 0;       // over the rate limit
    qint64 mBytesPerSecond = 0; // no limit
    qint64 mAllowance = 0;      // bytes that may go out now (below 0: owed)
    qint64 mBurst = 0;
    std::chrono::nanoseconds mRefilled{0};
    Clock mClock;
    bool mShareFlags = false; // the description is shared: non-blocking per write only
    bool mWriting = false;
    std::recursive_mutex mMutex;
    QPointer<QSocketNotifier> mNotifier; // lives in the application's thread
};
