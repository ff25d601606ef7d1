// Scan of a large music library: a full LoadMP3List (walk and list text)
// against `find DIR -iname '*.mp3' -type f` over the same warm tree, in the
// same run, plus the peak resident memory of the process.
//
// Usage: bench_scan [folders files [tree-folder]]   (default 5000 100000)
// A tree-folder is generated once and reused by later runs, which then
// skip the minute it takes to create a hundred thousand files.

#include "BenchSupport.h"
#include "library/Paths.h"
#include "library/SongCatalogue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace bench;

struct Tree {
    qint64 songs = 0;
    qint64 files = 0;
};

// Folders three levels deep (a/b/c), files spread evenly; every 20th file
// is not a song, every 50th song has an upper-case extension.
Tree generate(const QByteArray &root, int folders, int files)
{
    Tree tree;
    std::vector<QByteArray> paths;
    for (int i = 0; i < folders; ++i) {
        const QByteArray path = root + "Artist " + QByteArray::number(i / 100) + "/Album "
                + QByteArray::number(i / 10 % 10) + "/Disc " + QByteArray::number(i % 10) + "/";
        std::filesystem::create_directories(fsPathFromBytes(path));
        paths.push_back(path);
    }
    for (int f = 0; f < files; ++f) {
        const QByteArray &folder = paths[static_cast<size_t>(f % folders)];
        QByteArray name = folder + "Track " + QByteArray::number(f);
        if (f % 20 == 19) {
            name += ".jpg";
        } else {
            name += (f % 50 == 0) ? ".MP3" : ".mp3";
            ++tree.songs;
        }
        const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd >= 0)
            ::close(fd);
        ++tree.files;
    }
    return tree;
}

// Processor time (user and system) used so far, in ms, by this process
// or by its waited-for children.
double cpuMs(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto ms = [](const timeval &t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Elapsed and processor time of one run, in ms. On a shared machine the
// processor time is the steadier figure: waiting for a core does not count.
struct Timing {
    double wall, cpu;
};

Timing timeFind(const QByteArray &root)
{
    QProcess find;
    find.setStandardOutputFile(QProcess::nullDevice());
    const double cpuBefore = cpuMs(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    find.start(QStringLiteral("find"),
               {QFile::decodeName(root), QStringLiteral("-iname"), QStringLiteral("*.mp3"),
                QStringLiteral("-type"), QStringLiteral("f")});
    find.waitForFinished(-1);
    return {static_cast<double>(timer.nsecsElapsed()) / 1e6, cpuMs(RUSAGE_CHILDREN) - cpuBefore};
}

Timing timeScan(SongCatalogue &catalogue, std::chrono::nanoseconds pumpInterval, qint32 &songs)
{
    catalogue.setPumpInterval(pumpInterval);
    const double cpuBefore = cpuMs(RUSAGE_SELF);
    QElapsedTimer timer;
    timer.start();
    catalogue.LoadMP3List();
    const Timing timing{static_cast<double>(timer.nsecsElapsed()) / 1e6, cpuMs(RUSAGE_SELF) - cpuBefore};
    songs = catalogue.SongCount();
    return timing;
}

void printSpread(const char *what, const Spread &s, const char *unit)
{
    std::printf("%-34s %8.2f %s  (range %.2f .. %.2f)\n", what, s.median, unit, s.low, s.high);
}

long peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int folders = argc > 2 ? std::max(1, atoi(argv[1])) : 5000;
    const int files = argc > 2 ? std::max(1, atoi(argv[2])) : 100000;

    QTemporaryDir dir;
    const QByteArray base = argc > 3 ? QByteArray(argv[3]) : QFile::encodeName(dir.path());
    const QByteArray root = base + "/music/";
    const QByteArray done
            = base + "/generated-" + QByteArray::number(folders) + "-" + QByteArray::number(files);
    if (QFile::exists(QFile::decodeName(done))) {
        std::printf("reusing the tree in %s\n", base.constData());
    } else {
        std::printf("generating %d folders, %d files ...\n", folders, files);
        const Tree tree = generate(root, folders, files);
        std::printf("tree: %lld files, %lld songs\n", static_cast<long long>(tree.files),
                    static_cast<long long>(tree.songs));
        QFile(QFile::decodeName(done)).open(QIODevice::WriteOnly);
    }
    const long rssBeforeScan = peakResidentKiB();

    // The services as the server gives them: the same pump, a log nobody reads.
    SongCatalogue catalogue(ScanServices{[](const QString &) {}, [] { return false; },
                                         [] { QCoreApplication::processEvents(QEventLoop::AllEvents); },
                                         [folder = QFile::decodeName(root)] { return folder; }});

    // Warm the tree (directory and inode caches) with both tools first.
    timeFind(root);
    qint32 songs = 0;
    timeScan(catalogue, std::chrono::milliseconds(2), songs);

    // Each find is followed at once by the scans it is compared with, so a
    // change in the machine's load hits both sides of a ratio alike.
    const int runs = 7;
    std::vector<double> findMs, scanMs, everyMs, ratio, everyRatio, findCpu, scanCpu, cpuRatio;
    for (int i = 0; i < runs; ++i) {
        const Timing find = timeFind(root);
        const Timing scan = timeScan(catalogue, std::chrono::milliseconds(2), songs);
        const Timing every = timeScan(catalogue, std::chrono::nanoseconds(0), songs);
        findMs.push_back(find.wall);
        scanMs.push_back(scan.wall);
        everyMs.push_back(every.wall);
        ratio.push_back(scan.wall / find.wall);
        everyRatio.push_back(every.wall / find.wall);
        findCpu.push_back(find.cpu);
        scanCpu.push_back(scan.cpu);
        cpuRatio.push_back(scan.cpu / find.cpu);
    }
    // Leave the catalogue as the server would have it.
    timeScan(catalogue, std::chrono::milliseconds(2), songs);

    std::printf("songs catalogued: %d (list text %lld bytes); %d runs, medians and ranges\n", songs,
                static_cast<long long>(catalogue.mFilelist().size()), runs);
    printSpread("find -iname '*.mp3' -type f:", spread(findMs), "ms");
    printSpread("LoadMP3List, pump every 2 ms:", spread(scanMs), "ms");
    printSpread("  ratio to find (same run):", spread(ratio), "x");
    printSpread("LoadMP3List, pump every entry:", spread(everyMs), "ms");
    printSpread("  ratio to find (same run):", spread(everyRatio), "x");
    printSpread("processor time, find:", spread(findCpu), "ms");
    printSpread("processor time, pump every 2 ms:", spread(scanCpu), "ms");
    printSpread("  ratio to find (same run):", spread(cpuRatio), "x");
    std::printf("peak resident: %.1f MiB after the scans, %.1f MiB before the first\n",
                double(peakResidentKiB()) / 1024.0, double(rssBeforeScan) / 1024.0);
    return 0;
}
