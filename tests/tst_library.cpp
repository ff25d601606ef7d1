// The music library on real folder trees: the song-list text clients
// receive byte for byte (the walk's order, what it skips, links, those that
// lead outside the music folder), and the
// catalogue while a scan lets events through (lookups, reloads and exit
// inside the walk).

#include "library/CFileDirHelper.h"
#include "library/MusicFolder.h"
#include "library/Paths.h"
#include "library/SongCatalogue.h"

#include <QtTest>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A temporary folder tree; paths go in relative to its root.
struct Tree {
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path()) + kFolderSeparator;
    explicit Tree(std::initializer_list<const char *> files)
    {
        for (const char *f : files)
            touch(f);
    }
    fs::path at(const QByteArray &relative) const { return fsPathFromBytes(root + relative); }
    void touch(const QByteArray &relative) const
    {
        fs::create_directories(at(relative).parent_path());
        std::ofstream(at(relative)) << "x";
    }
    QString folder(const char *relative = "") const { return QFile::decodeName(root + relative); }
    void link(const QByteArray &relative, const QByteArray &target) const
    {
        fs::create_directories(at(relative).parent_path());
        fs::create_directory_symlink(fsPathFromBytes(target), at(relative));
    }
};

// A catalogue on its own, its log collected, that lets events through
// after every entry. Every scan here is cut off after 2,000 entries, far
// more than any tree of these tests holds, so a walk that runs away (a link
// followed for ever, a folder walked once per path) ends at once and shows
// up as a failed comparison instead of a hang.
struct Catalogue {
    QStringList log;
    bool exiting = false;
    int entries = 0; // of the current scan
    QString folder;
    SongCatalogue cat{ScanServices{[this](const QString &entry) { log << entry; },
                                   [this] { return exiting || ++entries > 2000; },
                                   [] { QCoreApplication::processEvents(); }, [this] { return folder; }}};
    Catalogue() { cat.setPumpInterval(std::chrono::nanoseconds(0)); }
    QByteArray scan(const QString &field)
    {
        folder = field;
        entries = 0;
        cat.LoadMP3List();
        return cat.mFilelist();
    }
    bool lookup(qint32 number)
    {
        cat.setSongNum(number);
        return cat.GetMP3File();
    }
};

} // namespace

class TestLibrary : public QObject {
    Q_OBJECT
private slots:
    void songListTextByteForByte()
    {
        // Neither creation order nor byte order gives the list's order: a
        // folder's own songs, then its subfolders in case-insensitive order
        // (ties by the exact name), depth first. Hidden entries and those
        // that are neither files nor folders are skipped; a link to a file is
        // a song of its own name. A line break would split its line and shift
        // every later number; a backslash would read as a folder on the wire,
        // in a file's name or in a folder's: those are left out and logged.
        Tree t({"M/zz/z1.mp3", "M/b.mp3", "M/a/deep/d.mp3", "M/a/a2.mp3", "M/C.MP3", "M/a/Deep/x.mp3",
                "M/song.mp3", "M/Song.mp3", "M/c.mp3.txt", "M/.hidden.mp3", "M/.hid/in.mp3", "M/a/.also.mp3",
                "M/2\r\n.mp3", "M/s\n/4.mp3", "M/5\\.mp3", "M/b\\s/6.mp3", "M/locked/in.mp3"});
        // QTemporaryDir removes through decoded names, which cannot reach these.
        const auto removeRawTree = qScopeGuard([&] { fs::remove_all(t.at("")); });
        t.touch("M/caf\xe9/\xff\xfe song.mp3"); // Latin-1 folder, invalid UTF-8 name
        QCOMPARE(::mkfifo(t.at("M/pipe.mp3").c_str(), 0600), 0);
        fs::create_symlink(t.at("M/nowhere.mp3"), t.at("M/dangling.mp3"));
        fs::create_symlink(t.at("M/b.mp3"), t.at("M/linked.mp3"));
        fs::create_directory(t.at("M/folder.mp3"));
        // A folder that cannot be listed gives nothing, and the walk goes on
        // (permissions do not stop root).
        fs::permissions(t.at("M/locked"), fs::perms::none);
        const QByteArray locked = ::geteuid() == 0 ? "\\locked\\in.mp3\r\n" : "";
        const QString cwd = QDir::currentPath();
        const auto back = qScopeGuard([&] { QDir::setCurrent(cwd); });
        QVERIFY(QDir::setCurrent(t.folder()));
        t.link("L", t.root + "M");
        // Relative fields too, down to a one-letter folder, whose lines are
        // longer than the paths they are cut from.
        for (const QString &field :
             {t.folder("M"), t.folder("M/"), QStringLiteral("L"), QStringLiteral("L/")}) {
            Catalogue c;
            QCOMPARE(c.scan(field),
                     "\\b.mp3\r\n\\C.MP3\r\n\\linked.mp3\r\n\\Song.mp3\r\n\\song.mp3\r\n"
                     "\\a\\a2.mp3\r\n\\a\\Deep\\x.mp3\r\n\\a\\deep\\d.mp3\r\n"
                     "\\caf\xe9\\\xff\xfe song.mp3\r\n"
                             + locked + "\\zz\\z1.mp3\r\n");
            QCOMPARE(c.log,
                     QStringList({"Songs not listed, line break in the name: \"2\\r\\n.mp3\", "
                                  "\"s\\n\\4.mp3\"",
                                  "Songs not listed, backslash in the name: \"5\\.mp3\", \"b\\s\\6.mp3\"",
                                  "Songs Available: " + QString::number(10 + !locked.isEmpty()) + "\r\n"}));
            QVERIFY(c.lookup(9));
            QCOMPARE(c.cat.SongPath(), AddBackslash(QFile::encodeName(field)) + "caf\xe9/\xff\xfe song.mp3");
            QCOMPARE(c.cat.SongRelativePath(), QByteArray("caf\xe9\\\xff\xfe song.mp3"));
        }
        fs::permissions(t.at("M/locked"), fs::perms::owner_all);
        // The music folder's own name never goes on the wire: its songs are listed.
        QCOMPARE(Catalogue().scan(t.folder("M/b\\s")), QByteArray("\\6.mp3\r\n"));
    }

    void linkedFoldersAreWalkedOnce()
    {
        // Links back to an ancestor and to the folder itself are not
        // followed. A folder reachable under two paths is walked once, under
        // the path the walk meets first, wherever the link stands.
        Tree t({"top.mp3", "a/a.mp3", "a/b/b.mp3", "c/c.mp3", "target/real.mp3"});
        t.link("a/b/up", t.root);
        t.link("a/b/self", t.root + "a/b");
        t.link("folderlink", t.root + "target"); // before its target
        t.link("zz", t.root + "a");              // after it
        t.link("b/x", t.root + "c");             // deeper, yet walked first
        Catalogue c;
        QCOMPARE(c.scan(t.folder()),
                 QByteArray("\\top.mp3\r\n\\a\\a.mp3\r\n\\a\\b\\b.mp3\r\n\\b\\x\\c.mp3\r\n"
                            "\\folderlink\\real.mp3\r\n"));
        // The root, a, a/b, b, and c and target each once.
        QCOMPARE(c.cat.FileHelper()->foldersEntered(), qint64(6));
    }

    void onlyTheMusicFolderIsWalked()
    {
        // Links to a private file or folder elsewhere, by an absolute or a
        // relative path, are neither listed nor entered, and each is logged;
        // links that stay within are followed, to a hidden folder and by an
        // absolute path too, and so is a music folder that is itself a link.
        Tree t({"M/a.mp3", "M/.hidden/h.mp3", "private/secret.mp3", "private/docs/d.mp3"});
        fs::create_symlink(t.at("private/secret.mp3"), t.at("M/innocent.mp3"));
        fs::create_symlink("../private/secret.mp3", t.at("M/up.mp3"));
        t.link("M/docs", t.root + "private/docs");
        t.link("M/visible", t.root + "M/.hidden");
        t.link("ML", t.root + "M");
        const QString outside = "it leads outside the music folder: ";
        for (const char *folder : {"M", "ML/"}) {
            Catalogue c;
            QSignalSpy warned(&c.cat, &SongCatalogue::linksLeadOutside);
            QCOMPARE(c.scan(t.folder(folder)), QByteArray("\\a.mp3\r\n\\visible\\h.mp3\r\n"));
            QCOMPARE(c.log,
                     QStringList({"Folder not entered, " + outside + "\"docs\"",
                                  "Song not listed, " + outside + "\"innocent.mp3\"",
                                  "Song not listed, " + outside + "\"up.mp3\"", "Songs Available: 2\r\n"}));
            QCOMPARE(warned.count(), 1);
            QCOMPARE(warned[0][0].toLongLong(), 3);
            // Wide links: everything, each where it is met.
            c.log.clear();
            c.cat.setWideLinks(true);
            QCOMPARE(c.scan(t.folder(folder)),
                     QByteArray("\\a.mp3\r\n\\innocent.mp3\r\n\\up.mp3\r\n\\docs\\d.mp3\r\n"
                                "\\visible\\h.mp3\r\n"));
            QCOMPARE(c.log, QStringList({"Songs Available: 5\r\n"}));
            QCOMPARE(warned.count(), 1);
        }
        // "/m" holds "/m/a" and itself, not "/m2"; the root holds everything.
        QVERIFY(MusicFolder::liesWithin("/m/a", "/m") && MusicFolder::liesWithin("/m", "/m"));
        QVERIFY(!MusicFolder::liesWithin("/m2", "/m") && !MusicFolder::liesWithin("/", "/m"));
        QVERIFY(MusicFolder::liesWithin("/x", "/") && !MusicFolder::liesWithin("/x", ""));
    }

    void scanLetsLookupsReloadsAndExitThrough()
    {
        Tree t({"A/one.mp3", "B/b1.mp3", "B/b2.mp3", "C/three.mp3"});
        Catalogue c;
        // An empty field (or the separator alone) is never a walk of the
        // whole disk; a field that names no folder gives no songs.
        for (const QString &field : {QString(), QStringLiteral("/")})
            QVERIFY(c.scan(field).isEmpty() && c.entries == 0);
        for (const char *noFolder : {"none", "A/one.mp3"})
            QVERIFY(c.scan(t.folder(noFolder)).isEmpty());
        c.scan(t.folder("A"));
        QCOMPARE(c.log,
                 QStringList({"Songs Available: 0\r\n", "Songs Available: 0\r\n", "Songs Available: 1\r\n"}));
        QVERIFY(c.lookup(1));
        for (qint32 outside :
             {0, -1, 2, std::numeric_limits<qint32>::max(), std::numeric_limits<qint32>::min()})
            QVERIFY(!c.lookup(outside));
        QCOMPARE(c.cat.SongPath(), t.root + "A/one.mp3"); // a failed lookup sets nothing

        c.folder = t.folder("B");
        bool ran = false;
        QTimer::singleShot(0, [&] {
            ran = c.cat.scanning();
            // A client that got the old list can still fetch what it lists.
            QCOMPARE(c.cat.mFilelist(), QByteArray("\\one.mp3\r\n"));
            QVERIFY(c.lookup(1) && !c.lookup(2));
            QCOMPARE(c.cat.SongRelativePath(), QByteArray("one.mp3"));
            c.folder = t.folder("C");
            c.cat.cmdReload_Click();
            c.cat.cmdReload_Click(); // remembered once, not twice
        });
        c.cat.LoadMP3List();
        QVERIFY(ran && !c.cat.scanning());
        const QStringList logAfter = c.log;
        QCOMPARE(logAfter.mid(3), QStringList({"Songs Available: 2\r\n", "Songs Available: 1\r\n"}));
        QCOMPARE(c.cat.mFilelist(), QByteArray("\\three.mp3\r\n"));

        // An exit inside the walk changes nothing, and a reload asked for then never runs.
        c.folder = t.folder("B");
        QTimer::singleShot(0, [&] {
            c.cat.cmdReload_Click();
            c.exiting = true;
        });
        QSignalSpy started(&c.cat, &SongCatalogue::scanStarted);
        c.cat.LoadMP3List();
        QCOMPARE(started.count(), 1);
        QVERIFY(c.lookup(1) && c.cat.SongCount() == 1);
        QCOMPARE(c.cat.SongPath(), t.root + "C/three.mp3");
        QCOMPARE(c.log, logAfter);
    }
};

QTEST_MAIN(TestLibrary)
#include "tst_library.moc"
