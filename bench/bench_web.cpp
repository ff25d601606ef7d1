// What the operator's page costs a song stream: a client in a thread of its
// own streams a song of 99,999,999 bytes several times over ("SONG 1",
// "READY", all bytes read) while, in the same run and interleaved round by
// round, nobody polls the page (the baseline), a poller asks for the page's
// state as the page does (every 500 ms, with its pane revisions), or a
// poller asks for it as fast as one connection allows (a storm). Prints
// MB/s of each and the ratios to the baseline within each round, and how
// many state requests were answered meanwhile.
//
// Linux only (raw sockets, thread affinity); not run by the tests.
// --rounds N (default 5), --songs N per measurement (default 8).

#include "BenchSupport.h"
#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/web/HttpFrontEnd.h"
#include "app/web/WebApi.h"
#include "app/web/WebToken.h"
#include "library/SongCatalogue.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using namespace bench;

constexpr qint64 kSongSize = 99'999'999;
enum class Poller { None, Page, Storm };

// One state request as the page makes it; false when the reply is not 200.
bool pollOnce(int fd, const QByteArray &token, QByteArray &query)
{
    if (!sendAll(fd,
                 "GET /api/state" + query + " HTTP/1.1\r\nHost: b\r\nX-Vorlune-Token: " + token + "\r\n\r\n"))
        return false;
    QByteArray head;
    char c;
    while (!head.endsWith("\r\n\r\n") && ::recv(fd, &c, 1, 0) == 1)
        head += c;
    const qsizetype at = head.indexOf("Content-Length: ");
    std::vector<char> buf(1 << 16);
    QByteArray body;
    if (!head.startsWith("HTTP/1.1 200") || at < 0
        || !recvAll(fd, buf, head.mid(at + 16).split('\r').value(0).toLongLong(), &body))
        return false;
    static const QRegularExpression revs(R"re("(log|incoming)":\{[^}]*"rev":"([^"]+)")re");
    QByteArray next = "?";
    for (auto it = revs.globalMatch(QString::fromUtf8(body)); it.hasNext();) {
        const auto m = it.next();
        next += m.captured(1).toUtf8() + '=' + m.captured(2).toUtf8() + '&';
    }
    query = next;
    return true;
}

struct Measure {
    double mbps = 0;
    int polls = 0;
    bool ok = false;
};

// Streams the song `songs` times while the poller runs; the server's
// thread runs its event loop meanwhile.
Measure measure(quint16 musicPort, quint16 webPort, const QByteArray &token, Poller poller, int songs)
{
    Measure m;
    std::atomic<bool> done{false};
    std::atomic<int> polls{0};
    // The poller's last request is answered by the event loop, which runs
    // until both threads are done.
    const auto pollClient = [&] {
        const int fd = poller == Poller::None ? -1 : connectTo(webPort);
        QByteArray query = "?";
        while (!done && fd >= 0 && pollOnce(fd, token, query)) {
            ++polls;
            if (poller == Poller::Page)
                for (int i = 0; i < 50 && !done; ++i) // 500 ms, ended early when the stream is done
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (fd >= 0)
            ::close(fd);
    };
    const auto songClient = [&] {
        const int fd = connectTo(musicPort);
        std::vector<char> buf(1 << 20);
        const auto t0 = Clock::now();
        bool ok = fd >= 0;
        for (int i = 0; i < songs && ok; ++i)
            ok = sendAll(fd, "SONG 1\r\n") && recvAll(fd, buf, 4096) && sendAll(fd, "READY\r\n")
                    && recvAll(fd, buf, kSongSize);
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        ::close(fd);
        m.ok = ok;
        m.mbps = ok ? double(kSongSize) * songs / secs / 1e6 : 0;
        done = true;
    };
    runClients({pollClient, songClient});
    m.polls = polls;
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each round as it ends
    pin(Side::Sender);
    const QStringList args = app.arguments();
    const int rounds = intOption(args, QStringLiteral("--rounds"), 5);
    const int songs = intOption(args, QStringLiteral("--songs"), 8);

    QTemporaryDir dir(memoryTempTemplate("bench_web"));
    QFile song(dir.filePath(QStringLiteral("big.mp3")));
    if (!dir.isValid() || !song.open(QIODevice::WriteOnly) || !song.resize(kSongSize)) {
        std::fprintf(stderr, "cannot write the song file\n");
        return 1;
    }
    song.close();

    Server server;
    server.log().setEchoToStdout(false);
    const quint16 musicPort = startServer(server, dir.path());
    OperatorActions actions(server);
    const QByteArray token = newWebToken();
    WebApi api(server, actions, token);
    HttpFrontEnd http([&](const WebRequest &r) { return api.handle(r); });
    const quint16 webPort = http.listen(QHostAddress::LocalHost, 0);
    if (musicPort == 0 || webPort == 0 || server.catalogue().SongCount() != 1) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }

    std::printf("%d songs of %lld bytes per measurement, %d rounds; order rotates each round\n", songs,
                kSongSize, rounds);
    std::vector<double> pageRatio, stormRatio;
    int pagePolls = 0, stormPolls = 0;
    for (int round = 0; round < rounds; ++round) {
        Measure got[3];
        for (int k = 0; k < 3; ++k) {
            const int which = (k + round) % 3;
            got[which] = measure(musicPort, webPort, token, Poller(which), songs);
            if (!got[which].ok) {
                std::fprintf(stderr, "a transfer failed\n");
                return 1;
            }
        }
        pageRatio.push_back(got[1].mbps / got[0].mbps);
        stormRatio.push_back(got[2].mbps / got[0].mbps);
        pagePolls += got[1].polls;
        stormPolls += got[2].polls;
        std::printf("  round %d: no page %7.1f MB/s | page polling %7.1f MB/s (%d polls) | storm %7.1f MB/s "
                    "(%d polls)\n",
                    round + 1, got[0].mbps, got[1].mbps, got[1].polls, got[2].mbps, got[2].polls);
    }
    const Spread page = spread(pageRatio);
    std::printf("Ratio with the page polling / without: median %.3f (min %.3f, max %.3f)\n", page.median,
                page.low, page.high);
    std::printf("Ratio with a request storm / without : median %.3f (%d state requests answered in all)\n",
                median(stormRatio), stormPolls);
    std::printf("(page polls answered in all: %d)\n", pagePolls);
    return 0;
}
