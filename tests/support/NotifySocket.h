#pragma once
// A service manager's notification socket for tests: an AF_UNIX datagram
// socket bound to a path, which a test passes to the program as
// NOTIFY_SOCKET. Each datagram holds one or more assignments, one a line.
// Datagrams are taken as they arrive whenever the event loop runs, as a
// service manager does: a sender whose queue fills up would block.

#include "ProtocolClient.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QString>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>

class NotifySocket {
public:
    explicit NotifySocket(const QString &path) : mPath(path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        if (size_t(name.size()) >= sizeof address.sun_path)
            qFatal("notification socket path too long");
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (mFd < 0 || ::bind(mFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            qFatal("cannot bind the notification socket");
        mNotifier = std::make_unique<QSocketNotifier>(mFd, QSocketNotifier::Read);
        QObject::connect(mNotifier.get(), &QSocketNotifier::activated, [this] { datagrams(); });
    }
    ~NotifySocket()
    {
        mNotifier.reset();
        ::close(mFd);
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

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
        for (const QByteArray &datagram : datagrams()) {
            for (const QByteArray &assignment : datagram.split('\n')) {
                if (assignment.startsWith(variable + '='))
                    result << assignment.mid(variable.size() + 1);
            }
        }
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
    int mFd = -1;
    std::unique_ptr<QSocketNotifier> mNotifier;
    QList<QByteArray> mDatagrams;
    QHash<QByteArray, qsizetype> mSeen;
};
