// The music library on real folder trees: the walk's order and filters, the
// song-list text clients receive byte for byte, and the catalogue while a
// scan lets events through (lookups, reloads and exit inside the walk).

#include "library/CFileDirHelper.h"
#include "library/Paths.h"
#include "library/SongCatalogue.h"

#include <QtTest>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Paths = std::vector<QByteArray>;

namespace {

Paths toPaths(const PathList &list)
{
    Paths out;
    for (qint32 k = 1; k <= list.Count(); ++k)
        out.push_back(list.Item(k).toByteArray());
    return out;
}

// A temporary folder tree; paths go in and come out relative to its root.
struct Tree {
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path()) + kFolderSeparator;
    explicit Tree(std::initializer_list<const char *> files)
    {
        for (const char *f : files)
            touch(f);
    }
    fs::path at(const QByteArray &relative) const { return fsPathFromBytes(root + relative); }
    void touch(const QByteArray &relative, const std::string &content = "x") const
    {
        fs::create_directories(at(relative).parent_path());
        std::ofstream(at(relative), std::ios::binary) << content;
    }
    QString folder(const char *relative = "") const { return QFile::decodeName(root + relative); }
    void link(const QByteArray &relative, const QByteArray &target) const
    {
        fs::create_directories(at(relative).parent_path());
        fs::create_directory_symlink(fsPathFromBytes(target), at(relative));
    }
    // Every walk here is cut off after kEntryBound entries, far more than
    // any tree of these tests holds, so a walk that runs away (a link
    // followed for ever, a folder walked once per path) ends at once and
    // shows up as a failed comparison instead of a hang.
    static constexpr int kEntryBound = 2000;
    Paths walk(const QByteArray &filespec, bool recurse = true, qint64 *foldersEntered = nullptr) const
    {
        int entries = 0;
        CFileDirHelper walker({}, [&] { return ++entries > kEntryBound; });
        const PathList found = walker.GetAllFiles(root, filespec, recurse);
        Paths out;
        for (const QByteArray &p : toPaths(found))
            out.push_back(p.startsWith(root) ? p.mid(root.size()) : "OUTSIDE:" + p);
        if (walker.stopped())
            out.push_back("CUT OFF after " + QByteArray::number(kEntryBound) + " entries");
        if (foldersEntered)
            *foldersEntered = walker.foldersEntered();
        return out;
    }
};

// A catalogue on its own, its log collected, that lets events through
// after every entry.
struct Catalogue {
    QStringList log;
    bool exiting = false;
    QString folder;
    SongCatalogue cat{ScanServices{[this](const QString &entry) { log << entry; }, [this] { return exiting; },
                                   [] { QCoreApplication::processEvents(); }, [this] { return folder; }}};
    Catalogue() { cat.setPumpInterval(std::chrono::nanoseconds(0)); }
    void scan(const QString &field)
    {
        folder = field;
        cat.LoadMP3List();
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
    void pathHelpersAndPatterns()
    {
        const struct {
            QByteArray in, withSeparator, folderOf;
        } paths[] = {{"", "/", ""},
                     {"/music", "/music/", "/"},
                     {"/m/", "/m/", "/m/"},
                     {"b.mp3", "b.mp3/", ""},
                     {"/m\xff/a\\", "/m\xff/a\\/", "/m\xff/"}};
        for (const auto &c : paths) {
            QCOMPARE(AddBackslash(c.in), c.withSeparator);
            QCOMPARE(CFileDirHelper::GetPathFromFile(c.in), c.folderOf);
        }
        // "?" stands for one whole UTF-8 character; only ASCII letters are folded.
        const struct {
            const char *name, *pattern;
            bool match;
        } patterns[] = {{"Song.MP3", "*.mp3", true},
                        {"a.mp3.txt", "*.mp3", false},
                        {"a.mp3", "a?.mp3", false},
                        {"\xc3\xa9.mp3", "?.mp3", true},
                        {"\xc3\x89.mp3", "\xc3\xa9.mp3", false},
                        {"aXbXc", "a*b*c", true},
                        {"aXbXd", "a*b*c", false},
                        {"a", "", false}};
        for (const auto &c : patterns)
            QVERIFY2(MatchesPattern(c.name, c.pattern) == c.match, c.name);
        // Backtracking stars on a long name must not take exponential time.
        QVERIFY(!MatchesPattern(QByteArray(200, 'a'), "*a*a*a*a*a*a*a*b"));
    }

    void walkOrderAcrossFoldersAndPatterns()
    {
        // Neither creation order nor byte order gives the walk's order: a
        // folder's own files pattern by pattern, then its subfolders in
        // case-insensitive order, depth first.
        Tree t({"zz/z1.mp3", "b.mp3", "a/deep/d.mp3", "A.wav", "a/a2.mp3", "C.MP3", "a/a1.mp3", "B2/b.mp3",
                "c.mp3.txt", "a/Deep/x.wav", "a/deep/d.wav"});
        QCOMPARE(t.walk("*.mp3"),
                 (Paths{"b.mp3", "C.MP3", "a/a1.mp3", "a/a2.mp3", "a/deep/d.mp3", "B2/b.mp3", "zz/z1.mp3"}));
        QCOMPARE(t.walk("*.mp3;*.wav"),
                 (Paths{"b.mp3", "C.MP3", "A.wav", "a/a1.mp3", "a/a2.mp3", "a/Deep/x.wav", "a/deep/d.mp3",
                        "a/deep/d.wav", "B2/b.mp3", "zz/z1.mp3"}));
        // A file matching two patterns is listed once, at its first place.
        QCOMPARE(t.walk("*.wav;a*;*.mp3", false), (Paths{"A.wav", "b.mp3", "C.MP3"}));
        QCOMPARE(t.walk(";"), Paths{});
    }

    void walkSkipsHiddenAndSpecialEntriesButNeverMergesNames()
    {
        Tree t({"visible.mp3", ".hidden.mp3", ".hid/in.mp3", "sub/.also.mp3", "sub/seen.mp3",
                "target/real.mp3", "song.mp3", "Song.mp3", "a/a.mp3", "a/b/b.mp3"});
        QCOMPARE(::mkfifo(t.at("pipe.mp3").c_str(), 0600), 0);
        fs::create_symlink(t.at("nowhere.mp3"), t.at("dangling.mp3"));
        fs::create_symlink(t.at("visible.mp3"), t.at("linked.mp3"));
        fs::create_directory(t.at("folder.mp3"));
        // song.mp3 and Song.mp3 are two files on this file system; a link to
        // a file is a song of its own name.
        QCOMPARE(t.walk("*.mp3"),
                 (Paths{"linked.mp3", "Song.mp3", "song.mp3", "visible.mp3", "a/a.mp3", "a/b/b.mp3",
                        "sub/seen.mp3", "target/real.mp3"}));
    }

    void linkedFoldersAreWalkedOnce()
    {
        // 25 levels, each reached from the one above by two links: a walk
        // per path would be 2^25 folders; once per folder it is 26.
        const int levels = 25;
        Tree fan({"0.mp3"});
        fan.link("a", fan.root + ".levels/1");
        fan.link("b", fan.root + ".levels/1");
        for (int k = 1; k <= levels; ++k) {
            const QByteArray level = ".levels/" + QByteArray::number(k) + "/";
            fan.touch(level + QByteArray::number(k) + ".mp3");
            if (k < levels) {
                fan.link(level + "a", "../" + QByteArray::number(k + 1));
                fan.link(level + "b", "../" + QByteArray::number(k + 1));
            }
        }
        qint64 entered = 0;
        const Paths songs = fan.walk("*.mp3", true, &entered);
        QCOMPARE(qint64(songs.size()), qint64(levels + 1));
        QCOMPARE(entered, qint64(levels + 1));
        // Each level under the first of its two links.
        QCOMPARE(songs.back(), QByteArray("a/").repeated(levels) + QByteArray::number(levels) + ".mp3");

        // Links back to an ancestor and to the folder itself are not followed.
        Tree cycle({"top.mp3", "a/a.mp3", "a/b/b.mp3"});
        cycle.link("a/b/up", cycle.root);
        cycle.link("a/b/self", cycle.root + "a/b");
        QCOMPARE(cycle.walk("*.mp3", true, &entered), (Paths{"top.mp3", "a/a.mp3", "a/b/b.mp3"}));
        QCOMPARE(entered, qint64(3));

        // A folder reachable under two paths is listed under the one the
        // walk meets first, wherever the link stands.
        Tree twice({"a/in-a.mp3", "c/in-c.mp3", "target/real.mp3"});
        twice.link("folderlink", twice.root + "target"); // before its target
        twice.link("zz", twice.root + "a");              // after it
        twice.link("b/x", twice.root + "c");             // deeper, yet walked first
        QCOMPARE(twice.walk("*.mp3"), (Paths{"a/in-a.mp3", "b/x/in-c.mp3", "folderlink/real.mp3"}));
    }

    void directoriesRecordedAndMembersOutsideTheScan()
    {
        Tree t({"M/one.mp3", "M/two.mp3", "M/Empty/no.txt", "M/X/three.mp3", "M/x2/Y/four.MP3", "M/.h/x"});
        int pumps = 0;
        CFileDirHelper walker([&] { ++pumps; });
        walker.setPumpInterval(std::chrono::hours(1));
        QSignalSpy raised(&walker, &CFileDirHelper::AddingToBlock);
        QCOMPARE(walker.GetAllFiles(t.root + "M", "*.mp3;o*", true).Count(), 4);
        QCOMPARE(raised.count(), 5); // once per match per pattern: one.mp3 twice
        QCOMPARE(pumps, 1);          // the first entry of a walk always pumps
        const QByteArray base = asciiLower(t.root);
        QCOMPARE(walker.Directories(), (Paths{base + "m/", base + "m/x/", base + "m/x2/y/"}));
        QCOMPARE(walker.DirChars(), qint32(3 * base.size() + 13));
        QCOMPARE(walker.GetPathNumber(t.root + "M/X/"), 2);
        walker.GetAllFiles(t.root + "M/X", "*.mp3", true); // a folder met again is not recorded twice
        QCOMPARE(walker.DirCount(), 3);
        QCOMPARE(toPaths(walker.GetDirectories(t.root + "M", CFileDirHelper::kAttrHidden, false)),
                 (Paths{".h", "Empty", "X", "x2"}));
    }

    void songListTextByteForByte()
    {
        Tree t({"Music/Rock/b.mp3", "Music/a.mp3", "Music/Rock/Hard/c.MP3", "Music/jazz/d.mp3",
                "Music/notes.txt"});
        t.link("M", t.root + "Music");
        const QString cwd = QDir::currentPath();
        const auto back = qScopeGuard([&] { QDir::setCurrent(cwd); });
        QVERIFY(QDir::setCurrent(t.folder()));
        // Relative fields too, down to a one-letter folder, whose lines are
        // longer than the paths they are cut from.
        for (const QString &field :
             {t.folder("Music"), t.folder("Music/"), QStringLiteral("M"), QStringLiteral("M/")}) {
            Catalogue c;
            c.scan(field);
            QCOMPARE(c.cat.mFilelist(),
                     QByteArray("\\a.mp3\r\n\\jazz\\d.mp3\r\n\\Rock\\b.mp3\r\n\\Rock\\Hard\\c.MP3\r\n"));
            QCOMPARE(c.log, QStringList{"Songs Available: 4\r\n"});
            QVERIFY(c.lookup(4));
            QCOMPARE(c.cat.SongPath(), AddBackslash(QFile::encodeName(field)) + "Rock/Hard/c.MP3");
            QCOMPARE(c.cat.SongRelativePath(), QByteArray("Rock\\Hard\\c.MP3"));
            QVERIFY(c.lookup(1));
            QCOMPARE(c.cat.SongPath(), AddBackslash(QFile::encodeName(field)) + "a.mp3");
        }
    }

    void oddNamesListedOpenedOrSkipped()
    {
        Tree t({"1.mp3", "2\r\n.mp3", "3.mp3", "s\n/4.mp3", "5\\.mp3", "b\\s/6.mp3"});
        // QTemporaryDir removes through decoded names, which cannot reach these.
        const auto removeRawTree = qScopeGuard([&] { fs::remove_all(t.at("")); });
        t.touch("caf\xe9/\xff\xfe song.mp3", "the odd one"); // Latin-1 folder, invalid UTF-8 name
        Catalogue c;
        c.scan(t.folder());
        // A line break would split its line and shift every later number; a
        // backslash would read as a folder on the wire, in a file's name or
        // in a folder's.
        QCOMPARE(c.cat.mFilelist(), QByteArray("\\1.mp3\r\n\\3.mp3\r\n\\caf\xe9\\\xff\xfe song.mp3\r\n"));
        QCOMPARE(c.log,
                 QStringList({"Songs not listed, line break in the name: \"2\\r\\n.mp3\", \"s\\n\\4.mp3\"",
                              "Songs not listed, backslash in the name: \"5\\.mp3\", \"b\\s\\6.mp3\"",
                              "Songs Available: 3\r\n"}));
        QVERIFY(c.lookup(3));
        QCOMPARE(c.cat.SongRelativePath(), QByteArray("caf\xe9\\\xff\xfe song.mp3"));
        std::ifstream in(fsPathFromBytes(c.cat.SongPath()), std::ios::binary);
        QCOMPARE(std::string(std::istreambuf_iterator<char>(in), {}), std::string("the odd one"));

        // The music folder's own name never goes on the wire: its songs are listed.
        Catalogue inside;
        inside.scan(t.folder("b\\s"));
        QCOMPARE(inside.cat.mFilelist(), QByteArray("\\6.mp3\r\n"));
        QCOMPARE(inside.log, QStringList{"Songs Available: 1\r\n"});
    }

    void lookupBoundsAndFoldersThatGiveNoSongs()
    {
        Tree t({"a.mp3", "b.mp3", "c.mp3", "locked/in.mp3"});
        Catalogue c;
        QVERIFY(!c.lookup(1)); // nothing scanned yet
        c.scan(t.folder("does-not-exist"));
        c.scan(t.folder("a.mp3")); // not a folder
        QCOMPARE(c.log, QStringList({"Songs Available: 0\r\n", "Songs Available: 0\r\n"}));
        if (::geteuid() != 0) { // permissions do not stop root
            QCOMPARE(::chmod(t.at("locked").c_str(), 0), 0);
            QCOMPARE(t.walk("*.mp3"), (Paths{"a.mp3", "b.mp3", "c.mp3"}));
            ::chmod(t.at("locked").c_str(), 0700);
        }
        fs::remove_all(t.at("locked"));
        c.scan(t.folder());
        const QStringList logBefore = c.log;
        // An empty field (or the separator alone) is never a walk of the whole disk.
        for (const QString &field : {QString(), QStringLiteral("/")})
            c.scan(field);
        QCOMPARE(c.log, logBefore);
        QVERIFY(c.lookup(3));
        for (qint32 outside :
             {0, -1, 4, std::numeric_limits<qint32>::max(), std::numeric_limits<qint32>::min()}) {
            QVERIFY(!c.lookup(outside));
            QCOMPARE(c.cat.SongPath(), t.root + "c.mp3"); // a failed lookup sets nothing
        }
        QVERIFY(c.lookup(1));
        QCOMPARE(c.cat.SongPath(), t.root + "a.mp3");
    }

    void scanLetsLookupsReloadsAndExitThrough()
    {
        Tree t({"A/one.mp3", "B/b1.mp3", "B/b2.mp3", "C/three.mp3"});
        Catalogue c;
        c.scan(t.folder("A"));
        c.folder = t.folder("B");
        bool ran = false;
        QTimer::singleShot(0, [&] {
            ran = c.cat.scanning();
            // A client that got the old list can still fetch what it lists.
            QCOMPARE(c.cat.mFilelist(), QByteArray("\\one.mp3\r\n"));
            QVERIFY(c.lookup(1));
            QCOMPARE(c.cat.SongRelativePath(), QByteArray("one.mp3"));
            QVERIFY(!c.lookup(2));
            c.folder = t.folder("C");
            c.cat.cmdReload_Click();
            c.cat.cmdReload_Click(); // remembered once, not twice
        });
        c.cat.LoadMP3List();
        QVERIFY(ran && !c.cat.scanning());
        const QStringList logAfter = c.log;
        QCOMPARE(logAfter,
                 QStringList({"Songs Available: 1\r\n", "Songs Available: 2\r\n", "Songs Available: 1\r\n"}));
        QCOMPARE(c.cat.mFilelist(), QByteArray("\\three.mp3\r\n"));

        // An exit inside the walk changes nothing, and a reload asked for then never runs.
        c.folder = t.folder("B");
        QTimer::singleShot(0, [&] {
            c.cat.cmdReload_Click();
            c.exiting = true;
        });
        c.cat.LoadMP3List();
        QCOMPARE(c.cat.SongCount(), 1);
        QVERIFY(c.lookup(1));
        QCOMPARE(c.cat.SongPath(), t.root + "C/three.mp3");
        QCOMPARE(c.cat.rootFolder(), t.root + "C/");
        QCOMPARE(c.log, logAfter);
    }
};

QTEST_MAIN(TestLibrary)
#include "tst_library.moc"
