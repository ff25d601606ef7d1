#pragma once
// A service manager's notification socket for tests: an AF_UNIX datagram
// socket bound to a path, which a test passes to the program as
// NOTIFY_SOCKET. Each datagram holds one or more assignments, one a line.
// Datagrams are taken as they arrive whenever the event loop runs, as a
// service manager does: a sender whose queue fills up would block.

#include "ProtocolClient.h"

#include <QHash>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class NotifySocket {
public:
    explicit NotifySocket(const QString &path) : mPath(path)
    {
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof address.sun_path);
        if (mFd < 0 || ::bind(mFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            qFatal("cannot bind the notification socket");
        QObject::connect(&mNotifier, &QSocketNotifier::activated, [this] { datagrams(); });
    }
    ~NotifySocket() { mNotifier.setEnabled(false), ::close(mFd); }
    Q_DISABLE_COPY(NotifySocket)

    const QString &path() const { return mPath; }

    // Every datagram received so far, in order.
    const QList<QByteArray> &datagrams()
    {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(mFd, buffer, sizeof buffer, 0)) >= 0;)
            mDatagrams << QByteArray(buffer, n);
        return mDatagrams;
    }

    // The values of one variable (for "STATUS": every status line), in order.
    QList<QByteArray> values(const QByteArray &variable)
    {
        QList<QByteArray> result;
        for (const QByteArray &datagram : datagrams())
            for (const QByteArray &assignment : datagram.split('\n'))
                if (assignment.startsWith(variable + '='))
                    result << assignment.mid(variable.size() + 1);
        return result;
    }

    // Runs the event loop until a value of the variable that came after the
    // one the last wait for it found matches re whole.
    bool waitFor(const QByteArray &variable, const QString &re, int timeoutMs = 20000)
    {
        const QRegularExpression whole(QRegularExpression::anchoredPattern(re));
        qsizetype &seen = mSeen[variable];
        bool matched = false;
        return runEventsUntil(
                [&] {
                    const QList<QByteArray> found = values(variable);
                    for (; !matched && seen < found.size(); ++seen)
                        matched = whole.match(QString::fromUtf8(found[seen])).hasMatch();
                    return matched;
                },
                timeoutMs);
    }

private:
    QString mPath;
    int mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    QSocketNotifier mNotifier{mFd, QSocketNotifier::Read};
    QList<QByteArray> mDatagrams;
    QHash<QByteArray, qsizetype> mSeen;
};
