// The music library: path helpers, the directory walker and the song
// catalogue, on real folder trees in temporary folders.

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "library/CFileDirHelper.h"
#include "library/Paths.h"
#include "library/SongCatalogue.h"
#include "library/SongList.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Paths = std::vector<QByteArray>;

QByteArray bytesOf(const QTemporaryDir &dir)
{
    return QFile::encodeName(dir.path()) + kFolderSeparator;
}

// Creates the file (and the folders above it) with the given content.
void touch(const QByteArray &path, const QByteArray &content = "x")
{
    fs::create_directories(fsPathFromBytes(path).parent_path());
    std::ofstream out(fsPathFromBytes(path), std::ios::binary);
    out.write(content.constData(), content.size());
    QVERIFY2(out.good(), path.constData());
}

// root-relative names, so expectations read as the tree does.
Paths relativeTo(const QByteArray &root, const Paths &paths)
{
    Paths out;
    for (const QByteArray &p : paths)
        out.push_back(p.startsWith(root) ? p.mid(root.size()) : QByteArray("OUTSIDE:") + p);
    return out;
}

Paths walk(const QByteArray &root, const QByteArray &filespec, bool recurse = true)
{
    CFileDirHelper walker;
    return relativeTo(root, walker.GetAllFiles(root, filespec, recurse).items());
}

qsizetype occurrences(const QString &text, const QString &what)
{
    return text.count(what);
}

QByteArray readFile(const QByteArray &path)
{
    std::ifstream in(fsPathFromBytes(path), std::ios::binary);
    if (!in)
        return "<cannot open>";
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return QByteArray(content.data(), static_cast<qsizetype>(content.size()));
}

struct TestServer {
    Server server;
    TestServer() { server.log().setEchoToStdout(false); }
    SongCatalogue &cat() { return server.catalogue(); }
    QString log() { return server.log().logPane().text(); }
    void scan(const QString &folder)
    {
        server.setTxtMusicFolder(folder);
        cat().LoadMP3List();
    }
};

} // namespace

class TestLibrary : public QObject {
    Q_OBJECT
private slots:
    void addBackslash_data();
    void addBackslash();
    void getPathFromFile_data();
    void getPathFromFile();
    void matchesPattern_data();
    void matchesPattern();
    void listingOrder();
    void songListText_data();
    void songListText();

    void walkOrderAcrossFoldersAndPatterns();
    void walkWithoutRecursionAndTrailingSeparator();
    void keysAreExact();
    void hiddenAndSystemEntries();
    void linkCycleAndSiblingLink();
    void missingOrUnreadableFolder();
    void directoriesRecorded();
    void addingToBlockPerMatchPerPattern();
    void stopPredicateEndsWalk();
    void pumpAfterEveryEntryOrByInterval();
    void getDirectoriesAndCreateAllFolders();

    void catalogueTextByteForByte();
    void catalogueMissingFolderLogsZero();
    void nonUtf8NameIsListedAndOpened();
    void lineBreakNamesSkippedWithOneLogLine();
    void getMP3FileBounds();
    void reloadDuringScanRunsOnceAfter();
    void lookupsDuringScanServePreviousCatalogue();
    void exitDuringScanKeepsCatalogue();
    void emptyFolderFieldKeepsCatalogue();
};

void TestLibrary::addBackslash_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("empty") << QByteArray() << QByteArray("/");
    QTest::newRow("separator") << QByteArray("/") << QByteArray("/");
    QTest::newRow("ends with one") << QByteArray("/music/") << QByteArray("/music/");
    QTest::newRow("plain") << QByteArray("/music") << QByteArray("/music/");
    QTest::newRow("backslash is a name character") << QByteArray("a\\") << QByteArray("a\\/");
    QTest::newRow("non-UTF-8") << QByteArray("/m\xff") << QByteArray("/m\xff/");
}

void TestLibrary::addBackslash()
{
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(AddBackslash(in), out);
    QCOMPARE(AddBackslash(QString::fromLatin1(in)), QString::fromLatin1(out));
}

void TestLibrary::getPathFromFile_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("file in folder") << QByteArray("/a/b.mp3") << QByteArray("/a/");
    QTest::newRow("bare name") << QByteArray("b.mp3") << QByteArray();
    QTest::newRow("folder text") << QByteArray("/a/b/") << QByteArray("/a/b/");
    QTest::newRow("root file") << QByteArray("/b.mp3") << QByteArray("/");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestLibrary::getPathFromFile()
{
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(CFileDirHelper::GetPathFromFile(in), out);
}

void TestLibrary::matchesPattern_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<bool>("match");
    QTest::newRow("extension") << QByteArray("a.mp3") << QByteArray("*.mp3") << true;
    QTest::newRow("upper extension") << QByteArray("Song.MP3") << QByteArray("*.mp3") << true;
    QTest::newRow("mixed extension") << QByteArray("x.Mp3") << QByteArray("*.mP3") << true;
    QTest::newRow("longer extension") << QByteArray("a.mp3.txt") << QByteArray("*.mp3") << false;
    QTest::newRow("extension prefix") << QByteArray("a.mp") << QByteArray("*.mp3") << false;
    QTest::newRow("other extension") << QByteArray("a.wav") << QByteArray("*.mp3") << false;
    QTest::newRow("only extension") << QByteArray(".mp3") << QByteArray("*.mp3") << true;
    QTest::newRow("double extension") << QByteArray("a.mp3.mp3") << QByteArray("*.mp3") << true;
    QTest::newRow("question") << QByteArray("a1.mp3") << QByteArray("a?.mp3") << true;
    QTest::newRow("question needs one") << QByteArray("a.mp3") << QByteArray("a?.mp3") << false;
    QTest::newRow("question is one UTF-8 character") << QByteArray("\xc3\xa9.mp3") << QByteArray("?.mp3") << true;
    QTest::newRow("stars") << QByteArray("abcabd") << QByteArray("*ab*d") << true;
    QTest::newRow("star backtracks") << QByteArray("aXbXc") << QByteArray("a*b*c") << true;
    QTest::newRow("star no match") << QByteArray("aXbXd") << QByteArray("a*b*c") << false;
    QTest::newRow("star alone") << QByteArray("anything") << QByteArray("*") << true;
    QTest::newRow("empty pattern") << QByteArray("a") << QByteArray() << false;
    QTest::newRow("non-ASCII not folded") << QByteArray("\xc3\x89.mp3") << QByteArray("\xc3\xa9.mp3") << false;
    QTest::newRow("pathological") << QByteArray(200, 'a') << QByteArray("*a*a*a*a*a*a*a*b") << false;
}

void TestLibrary::matchesPattern()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, pattern);
    QFETCH(bool, match);
    QCOMPARE(MatchesPattern(name, pattern), match);
}

void TestLibrary::listingOrder()
{
    Paths names = {"b", "B", "a.mp3", "A.mp3", "_x", "Zed", "zed", "abc", "ab", "\xc3\xa9"};
    std::sort(names.begin(), names.end(),
              [](const QByteArray &a, const QByteArray &b) { return ListingOrderLess(a, b); });
    const Paths expected = {"_x", "A.mp3", "a.mp3", "ab", "abc", "B", "b", "Zed", "zed", "\xc3\xa9"};
    QCOMPARE(names, expected);
}

void TestLibrary::songListText_data()
{
    QTest::addColumn<Paths>("paths");
    QTest::addColumn<QByteArray>("root");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("songs");
    QTest::newRow("empty") << Paths{} << QByteArray("/m/") << QByteArray() << 0;
    QTest::newRow("top and sub") << Paths{"/m/a.mp3", "/m/Rock/b.mp3", "/m/R/S/c.mp3"} << QByteArray("/m/")
                                 << QByteArray("\\a.mp3\r\n\\Rock\\b.mp3\r\n\\R\\S\\c.mp3\r\n") << 3;
    QTest::newRow("CR and LF left out") << Paths{"/m/a\r.mp3", "/m/b.mp3", "/m/s\n/c.mp3"} << QByteArray("/m/")
                                        << QByteArray("\\b.mp3\r\n") << 1;
}

void TestLibrary::songListText()
{
    QFETCH(Paths, paths);
    QFETCH(QByteArray, root);
    QFETCH(QByteArray, text);
    QFETCH(int, songs);
    const qsizetype given = static_cast<qsizetype>(paths.size());
    const SongList list = BuildSongList(paths, root);
    QCOMPARE(list.text, text);
    QCOMPARE(static_cast<int>(list.songs.size()), songs);
    QCOMPARE(list.text.count("\r\n"), songs);
    QCOMPARE(static_cast<qsizetype>(list.songs.size() + list.skipped.size()), given);
}

void TestLibrary::walkOrderAcrossFoldersAndPatterns()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    // Names chosen so that neither creation order nor byte order gives the
    // walk's order: folder files first, then subfolders in case-insensitive
    // order, depth first.
    for (const char *f : {"zz/z1.mp3", "b.mp3", "a/deep/d.mp3", "A.wav", "a/a2.mp3", "C.MP3", "a/a1.mp3",
                          "B2/b.mp3", "c.mp3.txt", "a/Deep/x.wav", "a/deep/d.wav"})
        touch(r + f);

    QCOMPARE(walk(r, "*.mp3"),
             (Paths{"b.mp3", "C.MP3", "a/a1.mp3", "a/a2.mp3", "a/deep/d.mp3", "B2/b.mp3", "zz/z1.mp3"}));
    QCOMPARE(walk(r, "*.mp3;*.wav"),
             (Paths{"b.mp3", "C.MP3", "A.wav", "a/a1.mp3", "a/a2.mp3", "a/Deep/x.wav", "a/deep/d.mp3",
                    "a/deep/d.wav", "B2/b.mp3", "zz/z1.mp3"}));
    // A file matching two patterns is listed once, at its first place.
    QCOMPARE(walk(r, "*.wav;a*;*.mp3", false), (Paths{"A.wav", "b.mp3", "C.MP3"}));
    QCOMPARE(walk(r, ";"), Paths{});
}

void TestLibrary::walkWithoutRecursionAndTrailingSeparator()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "top.mp3");
    touch(r + "sub/inner.mp3");
    QCOMPARE(walk(r, "*.mp3", false), Paths{"top.mp3"});

    CFileDirHelper withSlash, withoutSlash;
    const Paths a = withSlash.GetAllFiles(r, "*.mp3", true).items();
    const Paths b = withoutSlash.GetAllFiles(r.chopped(1), "*.mp3", true).items();
    QCOMPARE(a, b);
    QCOMPARE(relativeTo(r, a), (Paths{"top.mp3", "sub/inner.mp3"}));
}

void TestLibrary::keysAreExact()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "song.mp3");
    touch(r + "Song.mp3");
    touch(r + "SONG.MP3");
    // Three distinct files: none may be merged into another.
    QCOMPARE(walk(r, "*.mp3"), (Paths{"SONG.MP3", "Song.mp3", "song.mp3"}));

    PathList list;
    QVERIFY(list.Add("/a/x"));
    QVERIFY(list.Add("/a/X"));
    QVERIFY(!list.Add("/a/x"));
    QCOMPARE(list.Count(), 2);
    QCOMPARE(list.Item(1), QByteArray("/a/x"));
    QCOMPARE(list.Item(2), QByteArray("/a/X"));
    QVERIFY(list.Exists("/a/X"));
    QVERIFY(!list.Exists("/A/x"));
}

void TestLibrary::hiddenAndSystemEntries()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "visible.mp3");
    touch(r + ".hidden.mp3");
    touch(r + ".hid/inside.mp3");
    touch(r + "sub/.also.mp3");
    touch(r + "sub/seen.mp3");
    touch(r + "target/real.mp3");
    QCOMPARE(::mkfifo((r + "pipe.mp3").constData(), 0600), 0);
    fs::create_symlink(fsPathFromBytes(r + "nowhere.mp3"), fsPathFromBytes(r + "dangling.mp3"));
    fs::create_symlink(fsPathFromBytes(r + "visible.mp3"), fsPathFromBytes(r + "linked.mp3"));
    fs::create_directory_symlink(fsPathFromBytes(r + "target"), fsPathFromBytes(r + "folderlink"));
    fs::create_directory(fsPathFromBytes(r + "folder.mp3"));

    // Links are followed (to a file and to a folder that is no ancestor);
    // the pipe, the dangling link, a folder named like a song and every
    // dot name are not listed.
    QCOMPARE(walk(r, "*.mp3"),
             (Paths{"linked.mp3", "visible.mp3", "folderlink/real.mp3", "sub/seen.mp3", "target/real.mp3"}));
}

void TestLibrary::linkCycleAndSiblingLink()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "a/a.mp3");
    touch(r + "a/b/b.mp3");
    fs::create_directory_symlink(fsPathFromBytes(r), fsPathFromBytes(r + "a/b/up"));       // to the root
    fs::create_directory_symlink(fsPathFromBytes(r + "a/b"), fsPathFromBytes(r + "a/b/self"));
    fs::create_directory_symlink(fsPathFromBytes(r + "a/b"), fsPathFromBytes(r + "c"));    // not an ancestor

    CFileDirHelper walker;
    const PathList found = walker.GetAllFiles(r, "*.mp3", true);
    QVERIFY(!walker.stopped());
    // c is entered (it is no folder of the walk's current path), but below
    // it up and self lead to folders already open and are not entered.
    QCOMPARE(relativeTo(r, found.items()), (Paths{"a/a.mp3", "a/b/b.mp3", "c/b.mp3"}));
}

void TestLibrary::missingOrUnreadableFolder()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "file.mp3");
    touch(r + "locked/in.mp3");
    CFileDirHelper walker;
    QCOMPARE(walker.GetAllFiles(r + "missing", "*.mp3", true).Count(), 0);
    QCOMPARE(walker.GetAllFiles(r + "file.mp3", "*.mp3", true).Count(), 0);   // not a folder
    QCOMPARE(walker.GetAllFiles(QByteArray(), "*.nothing-has-this", false).Count(), 0);
    QVERIFY(!walker.stopped());

    if (::geteuid() != 0) {
        QCOMPARE(::chmod((r + "locked").constData(), 0), 0);
        QCOMPARE(walk(r, "*.mp3"), Paths{"file.mp3"});
        ::chmod((r + "locked").constData(), 0700);
    }
}

void TestLibrary::directoriesRecorded()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "M/one.mp3");
    touch(r + "M/two.mp3");
    touch(r + "M/Empty/no.txt");
    touch(r + "M/X/three.mp3");
    touch(r + "M/x2/Y/four.MP3");

    CFileDirHelper walker;
    walker.GetAllFiles(r + "M", "*.mp3", true);
    const QByteArray base = asciiLower(r);
    const Paths expected = {base + "m/", base + "m/x/", base + "m/x2/y/"};
    QCOMPARE(walker.Directories(), expected);
    QCOMPARE(walker.DirCount(), 3);
    qint32 chars = 0;
    for (const QByteArray &d : expected)
        chars += static_cast<qint32>(d.size());
    QCOMPARE(walker.DirChars(), chars);
    QCOMPARE(walker.GetPathNumber(r + "M/X/"), 2);
    QCOMPARE(walker.GetPathNumber(r + "M/Empty/"), 0);
    QCOMPARE(walker.RootPath(), QByteArray());
    QVERIFY(!walker.Files().isValid());

    // A second walk accumulates; a folder met again is not recorded twice.
    walker.GetAllFiles(r + "M/X", "*.mp3", true);
    QCOMPARE(walker.DirCount(), 3);
    walker.AddDir(QByteArray(), false);
    QCOMPARE(walker.DirCount(), 3);
    walker.AddDir(QByteArray(), true);
    QCOMPARE(walker.DirCount(), 4);

    walker.CleanUp();
    QVERIFY(walker.Directories().empty());
    walker.AddDir("/new/", false);
    QVERIFY(walker.Directories().empty());
    QCOMPARE(walker.GetPathNumber(r + "M/X/"), 0);
}

void TestLibrary::addingToBlockPerMatchPerPattern()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "a.mp3");
    touch(r + "sub/b.mp3");
    CFileDirHelper walker;
    QSignalSpy spy(&walker, &CFileDirHelper::AddingToBlock);
    const PathList found = walker.GetAllFiles(r, "*.mp3;a*", true);
    QCOMPARE(found.Count(), 2);
    Paths raised;
    for (const QList<QVariant> &args : spy)
        raised.push_back(args.at(0).toByteArray());
    // a.mp3 matches both patterns: raised for each, listed once.
    QCOMPARE(relativeTo(r, raised), (Paths{"a.mp3", "a.mp3", "sub/b.mp3"}));
}

void TestLibrary::stopPredicateEndsWalk()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    for (int i = 0; i < 5; ++i)
        touch(r + "s" + QByteArray::number(i) + "/f.mp3");
    int entries = 0;
    CFileDirHelper walker({}, [&] { return ++entries >= 3; });
    const PathList found = walker.GetAllFiles(r, "*.mp3", true);
    QVERIFY(walker.stopped());
    QVERIFY(found.Count() < 5);

    bool stopAtOnce = true;
    CFileDirHelper never({}, [&] { return stopAtOnce; });
    QCOMPARE(never.GetAllFiles(r, "*.mp3", true).Count(), 0);
    QVERIFY(never.stopped());
    stopAtOnce = false;
    QCOMPARE(never.GetAllFiles(r, "*.mp3", true).Count(), 5);
    QVERIFY(!never.stopped());
}

void TestLibrary::pumpAfterEveryEntryOrByInterval()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "a.mp3");
    touch(r + "b.mp3");
    touch(r + "c.txt");
    touch(r + "sub/d.mp3");
    int pumps = 0;
    CFileDirHelper walker([&] { ++pumps; });
    walker.GetAllFiles(r, "*.mp3", true);
    // Root: two matches, then four listed entries (a, b, c, sub); sub: one
    // match, one listed entry.
    QCOMPARE(pumps, 8);

    // With an interval far longer than the walk, only the first entry pumps.
    pumps = 0;
    walker.setPumpInterval(std::chrono::hours(1));
    walker.GetAllFiles(r, "*.mp3", true);
    QCOMPARE(pumps, 1);
}

void TestLibrary::getDirectoriesAndCreateAllFolders()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "b/x");
    touch(r + "A/x");
    touch(r + ".h/x");
    touch(r + "file");
    CFileDirHelper walker;
    QCOMPARE(walker.GetDirectories(r, 0, false).items(), (Paths{"A", "b"}));
    QCOMPARE(walker.GetDirectories(r.chopped(1), CFileDirHelper::kAttrHidden, true).items(),
             (Paths{r + ".h", r + "A", r + "b"}));
    QVERIFY_THROWS_EXCEPTION(fs::filesystem_error, walker.GetDirectories(r + "missing", 0, false));

    QVERIFY(!walker.CreateAllFolders(r + "n1/n2/n3/leaf").isValid());
    QVERIFY(fs::is_directory(fsPathFromBytes(r + "n1/n2/n3")));
    QVERIFY(!fs::exists(fsPathFromBytes(r + "n1/n2/n3/leaf")));
    QVERIFY_THROWS_EXCEPTION(fs::filesystem_error, walker.CreateAllFolders(r + "file/inside/"));
}

void TestLibrary::catalogueTextByteForByte()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "Music/Rock/b.mp3");
    touch(r + "Music/a.mp3");
    touch(r + "Music/Rock/Hard/c.MP3");
    touch(r + "Music/jazz/d.mp3");
    touch(r + "Music/notes.txt");
    const QByteArray expected = "\\a.mp3\r\n\\jazz\\d.mp3\r\n\\Rock\\b.mp3\r\n\\Rock\\Hard\\c.MP3\r\n";

    for (const QString &folder : {QFile::decodeName(r + "Music"), QFile::decodeName(r + "Music/")}) {
        TestServer t;
        t.scan(folder);
        QCOMPARE(t.cat().mFilelist(), expected);
        QCOMPARE(t.cat().SongCount(), 4);
        QCOMPARE(t.cat().rootFolder(), r + "Music/");
        QCOMPARE(t.cat().SongFiles(), (Paths{r + "Music/a.mp3", r + "Music/jazz/d.mp3", r + "Music/Rock/b.mp3",
                                             r + "Music/Rock/Hard/c.MP3"}));
        QVERIFY(t.cat().FileHelper() != nullptr);
        QCOMPARE(t.log(), QStringLiteral("Songs Available: 4\r\n\r\n"));

        t.cat().SongNum = 4;
        QVERIFY(t.cat().GetMP3File());
        QCOMPARE(t.cat().SongPath, r + "Music/Rock/Hard/c.MP3");
        QCOMPARE(t.cat().SongRelativePath, QByteArray("Rock\\Hard\\c.MP3"));
    }
}

void TestLibrary::catalogueMissingFolderLogsZero()
{
    QTemporaryDir dir;
    TestServer t;
    QSignalSpy changed(&t.cat(), &SongCatalogue::catalogueChanged);
    t.scan(dir.path() + QStringLiteral("/does-not-exist"));
    QCOMPARE(t.cat().SongCount(), 0);
    QVERIFY(t.cat().mFilelist().isEmpty());
    QCOMPARE(t.log(), QStringLiteral("Songs Available: 0\r\n\r\n"));
    QCOMPARE(changed.count(), 1);
}

void TestLibrary::nonUtf8NameIsListedAndOpened()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    // QTemporaryDir removes through decoded names, which cannot reach these.
    const auto removeRawTree = qScopeGuard([&] { fs::remove_all(fsPathFromBytes(r)); });
    const QByteArray odd = "caf\xe9/\xff\xfe song.mp3";   // Latin-1 folder, invalid UTF-8 name
    touch(r + "a.mp3", "first");
    touch(r + odd, "the odd one");
    TestServer t;
    t.scan(dir.path());
    QCOMPARE(t.cat().mFilelist(), QByteArray("\\a.mp3\r\n\\caf\xe9\\\xff\xfe song.mp3\r\n"));
    t.cat().SongNum = 2;
    QVERIFY(t.cat().GetMP3File());
    QCOMPARE(t.cat().SongPath, r + odd);
    QCOMPARE(t.cat().SongRelativePath, QByteArray("caf\xe9\\\xff\xfe song.mp3"));
    QCOMPARE(readFile(t.cat().SongPath), QByteArray("the odd one"));
}

void TestLibrary::lineBreakNamesSkippedWithOneLogLine()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "1.mp3");
    touch(r + "2\r\n.mp3");
    touch(r + "3.mp3");
    touch(r + "s\n/4.mp3");
    TestServer t;
    t.scan(dir.path());
    QCOMPARE(t.cat().mFilelist(), QByteArray("\\1.mp3\r\n\\3.mp3\r\n"));
    QCOMPARE(t.cat().SongCount(), 2);
    t.cat().SongNum = 2;
    QVERIFY(t.cat().GetMP3File());
    QCOMPARE(t.cat().SongPath, r + "3.mp3");
    QCOMPARE(t.log(), QStringLiteral("Songs not listed, line break in the name: \"2\\r\\n.mp3\", "
                                     "\"s\\n\\4.mp3\"\r\nSongs Available: 2\r\n\r\n"));
}

void TestLibrary::getMP3FileBounds()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "a.mp3");
    touch(r + "b.mp3");
    touch(r + "c.mp3");
    TestServer t;

    t.cat().SongNum = 1;
    QVERIFY(!t.cat().GetMP3File());   // nothing scanned yet
    QVERIFY(t.cat().SongPath.isEmpty());

    t.scan(dir.path());
    const struct {
        qint32 num;
        const char *found;   // null: the lookup fails
    } cases[] = {{1, "a.mp3"}, {3, "c.mp3"}, {2, "b.mp3"}, {0, nullptr}, {-1, nullptr}, {4, nullptr},
                 {std::numeric_limits<qint32>::max(), nullptr}, {std::numeric_limits<qint32>::min(), nullptr}};
    QByteArray last;
    for (const auto &c : cases) {
        t.cat().SongNum = c.num;
        const bool ok = t.cat().GetMP3File();
        QCOMPARE(ok, c.found != nullptr);
        if (ok)
            last = r + c.found;
        // A failed lookup leaves the previous path in place.
        QCOMPARE(t.cat().SongPath, last);
    }
}

void TestLibrary::reloadDuringScanRunsOnceAfter()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "A/one.mp3");
    touch(r + "A/two.mp3");
    touch(r + "B/three.mp3");
    TestServer t;
    t.cat().setPumpInterval(std::chrono::nanoseconds(0));
    t.server.setTxtMusicFolder(QFile::decodeName(r + "A"));

    bool ran = false;
    QTimer::singleShot(0, &t.server, [&] {
        ran = true;
        QVERIFY(t.cat().scanning());
        t.server.setTxtMusicFolder(QFile::decodeName(r + "B"));
        t.cat().cmdReload_Click();
        t.cat().cmdReload_Click();   // remembered once, not twice
        QCOMPARE(t.log(), QString());
    });
    QSignalSpy changed(&t.cat(), &SongCatalogue::catalogueChanged);
    t.cat().LoadMP3List();
    QVERIFY(ran);
    QVERIFY(!t.cat().scanning());
    QCOMPARE(t.log(), QStringLiteral("Songs Available: 2\r\n\r\nSongs Available: 1\r\n\r\n"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(t.cat().mFilelist(), QByteArray("\\three.mp3\r\n"));
    QCOMPARE(t.cat().rootFolder(), r + "B/");
}

void TestLibrary::lookupsDuringScanServePreviousCatalogue()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "A/one.mp3");
    touch(r + "B/b1.mp3");
    touch(r + "B/b2.mp3");
    TestServer t;
    t.cat().setPumpInterval(std::chrono::nanoseconds(0));
    t.scan(QFile::decodeName(r + "A"));
    QCOMPARE(t.cat().SongCount(), 1);

    t.server.setTxtMusicFolder(QFile::decodeName(r + "B"));
    bool ran = false;
    QTimer::singleShot(0, &t.server, [&] {
        ran = true;
        QVERIFY(t.cat().scanning());
        // A client that got the old list can still fetch what it lists.
        QCOMPARE(t.cat().mFilelist(), QByteArray("\\one.mp3\r\n"));
        QCOMPARE(t.cat().SongCount(), 1);
        t.cat().SongNum = 1;
        QVERIFY(t.cat().GetMP3File());
        QCOMPARE(t.cat().SongPath, r + "A/one.mp3");
        QCOMPARE(t.cat().SongRelativePath, QByteArray("one.mp3"));
        t.cat().SongNum = 2;
        QVERIFY(!t.cat().GetMP3File());
    });
    t.cat().LoadMP3List();
    QVERIFY(ran);
    QCOMPARE(t.cat().SongCount(), 2);
    QCOMPARE(t.cat().mFilelist(), QByteArray("\\b1.mp3\r\n\\b2.mp3\r\n"));
}

void TestLibrary::exitDuringScanKeepsCatalogue()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "A/one.mp3");
    for (int i = 0; i < 10; ++i)
        touch(r + "B/" + QByteArray::number(i) + ".mp3");
    TestServer t;
    t.cat().setPumpInterval(std::chrono::nanoseconds(0));
    t.scan(QFile::decodeName(r + "A"));
    const QString logBefore = t.log();

    t.server.setTxtMusicFolder(QFile::decodeName(r + "B"));
    QTimer::singleShot(0, &t.server, [&] {
        t.cat().cmdReload_Click();   // must not run after the exit either
        t.server.beginExit();
    });
    t.cat().LoadMP3List();
    QVERIFY(!t.cat().scanning());
    QCOMPARE(t.cat().mFilelist(), QByteArray("\\one.mp3\r\n"));
    QCOMPARE(t.cat().SongFiles(), Paths{r + "A/one.mp3"});
    QCOMPARE(t.log(), logBefore);
}

void TestLibrary::emptyFolderFieldKeepsCatalogue()
{
    QTemporaryDir dir;
    const QByteArray r = bytesOf(dir);
    touch(r + "x.mp3");
    TestServer t;
    t.scan(dir.path());
    QCOMPARE(t.cat().SongCount(), 1);
    CFileDirHelper *const helper = t.cat().FileHelper();
    const QString logBefore = t.log();
    QSignalSpy changed(&t.cat(), &SongCatalogue::catalogueChanged);

    for (const QString &field : {QString(), QStringLiteral("/")}) {
        t.scan(field);
        QCOMPARE(t.cat().SongCount(), 1);
        QCOMPARE(t.cat().mFilelist(), QByteArray("\\x.mp3\r\n"));
        QCOMPARE(t.cat().FileHelper(), helper);
        t.cat().SongNum = 1;
        QVERIFY(t.cat().GetMP3File());
        QCOMPARE(t.cat().SongPath, r + "x.mp3");
    }
    QCOMPARE(t.log(), logBefore);
    QCOMPARE(changed.count(), 0);

    // Before any scan, an empty field leaves everything empty and logs nothing.
    TestServer fresh;
    fresh.scan(QString());
    QCOMPARE(fresh.cat().SongCount(), 0);
    QVERIFY(fresh.cat().FileHelper() == nullptr);
    QVERIFY(fresh.log().isEmpty());
}

QTEST_MAIN(TestLibrary)
#include "tst_library.moc"
