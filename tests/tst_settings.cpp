// The settings file: reading, writing one line in place, keeping what others wrote, and never
// opening or replacing what is not a regular file.
#include "fixture.h"
#include "generate/generate.h"
#include "settings/ini_file.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

using yf::ReadIniValue;
using yf::RemoveIniValue;
using yf::WriteIniValue;

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// What lstat says about a path: enough to tell that nothing replaced or changed it.
struct Identity {
    bool exists = false;
    mode_t mode = 0;
    ino_t inode = 0;
    dev_t rdev = 0;
    off_t size = 0;
    bool operator==(const Identity &) const = default;
};

Identity identityOf(const QString &path)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return {};
    return {true, st.st_mode, st.st_ino, st.st_rdev, S_ISDIR(st.st_mode) ? 0 : st.st_size};
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::stat(native(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// What a link holds, or "" for anything that is not a link.
QString linkText(const QString &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(native(path).constData(), buffer, sizeof buffer);
    return n < 0 ? QString() : QFile::decodeName(QByteArray(buffer, n));
}

// Ends the process should a call block: a settings path must never hang the program.
struct BlockGuard {
    explicit BlockGuard(unsigned seconds) { ::alarm(seconds); }
    ~BlockGuard() { ::alarm(0); }
};

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void readsEmptyWhenMissing_data();
    void readsEmptyWhenMissing();
    void createsFileInWriteOrder();
    void replacesValuesInPlace();
    void matchesNamesWithoutCase();
    void keepsEveryOtherByte();
    void removesOnlyItsLines();
    void roundTripsAnyValue_data();
    void roundTripsAnyValue();
    void leavesReadOnlyFileAlone();
    void refusesUnstorableValuesWithoutTouchingFile_data();
    void refusesUnstorableValuesWithoutTouchingFile();
    void leavesFilesThatAreNotIniTextAlone_data();
    void leavesFilesThatAreNotIniTextAlone();
    void neverOpensOrReplacesSpecialFiles_data();
    void neverOpensOrReplacesSpecialFiles();
    void writesThroughLinksKeepingThem_data();
    void writesThroughLinksKeepingThem();
    void keepsModeAndCreatesPrivateFolders();
    void reportsUnwritableLocation_data();
    void reportsUnwritableLocation();
    void runKeepsEveryOtherByte();
    void runGoesOnPastASettingsPathThatIsNoFile();
};

void TestSettings::readsEmptyWhenMissing_data()
{
    QTest::addColumn<QByteArray>("contents");  // empty: no file at all
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("no section") << QByteArray("[OTHER]\nInputDir=/x\n");
    QTest::newRow("no key") << QByteArray("[RESTORE]\nOutputDir=/y\n");
}

void TestSettings::readsEmptyWhenMissing()
{
    QFETCH(QByteArray, contents);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    if (!contents.isEmpty())
        fixture::makeTree(tmp.path(), {"config.ini=" + QString::fromUtf8(contents)});
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString());
}

void TestSettings::createsFileInWriteOrder()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/srv/Audio", path).ok());
    QVERIFY(WriteIniValue("RESTORE", "OutputDir", "/srv/feeds", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\nInputDir=/srv/Audio\nOutputDir=/srv/feeds\n"));
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/srv/Audio"));
    QCOMPARE(ReadIniValue("RESTORE", "OutputDir", path), QString("/srv/feeds"));
}

void TestSettings::replacesValuesInPlace()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/a", path).ok());
    QVERIFY(WriteIniValue("RESTORE", "OutputDir", "/b", path).ok());
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/c", path).ok());
    QVERIFY(WriteIniValue("RESTORE", "OutputDir", "/d", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\nInputDir=/c\nOutputDir=/d\n"));
    // The directory holds nothing else: no temporary file is left behind.
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
    // Storing what is stored already leaves the file itself alone.
    const Identity before = identityOf(path);
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/c", path).ok());
    QCOMPARE(identityOf(path), before);
}

void TestSettings::matchesNamesWithoutCase()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[restore]\ninputdir=/hand/edited\n"});
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/hand/edited"));
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/new", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[restore]\ninputdir=/new\n"));
    QCOMPARE(ReadIniValue("Restore", "INPUTDIR", path), QString("/new"));
}

void TestSettings::keepsEveryOtherByte()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    const QByteArray before("\xEF\xBB\xBF; written by hand\r\n[Window]\r\nWidth = 330\r\nWidth=400\r\n"
                            "no equals sign here\r\n\r\n[RESTORE]\r\nTheme = dark\r\nInputDir = /old\r\n"
                            "\r\n[Window]\r\nHeight=20\r\n; trailing comment\r\n");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(before);
    file.close();

    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/new", path).ok());
    QVERIFY(WriteIniValue("RESTORE", "OutputDir", "/out", path).ok());
    QCOMPARE(fixture::readFile(path),
             QByteArray("\xEF\xBB\xBF; written by hand\r\n[Window]\r\nWidth = 330\r\nWidth=400\r\n"
                        "no equals sign here\r\n\r\n[RESTORE]\r\nTheme = dark\r\nInputDir = /new\r\n"
                        "OutputDir=/out\r\n\r\n[Window]\r\nHeight=20\r\n; trailing comment\r\n"));
    QCOMPARE(ReadIniValue("Window", "Width", path), QString("330"));
    QCOMPARE(ReadIniValue("RESTORE", "Theme", path), QString("dark"));
    QCOMPARE(ReadIniValue("Window", "Height", path), QString());  // only the first [Window] counts
}

void TestSettings::removesOnlyItsLines()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\r\nBaseUrl=http://x/\r\nInputDir = /in\r\n"});
    QVERIFY(RemoveIniValue("RESTORE", "BaseUrl", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\r\nInputDir = /in\r\n"));

    const Identity before = identityOf(path);
    QVERIFY(RemoveIniValue("RESTORE", "BaseUrl", path).ok());
    QCOMPARE(identityOf(path), before);

    const QString missing = tmp.path() + "/none/config.ini";
    QVERIFY(RemoveIniValue("RESTORE", "BaseUrl", missing).ok());
    QVERIFY(!QFileInfo::exists(tmp.path() + "/none"));
}

void TestSettings::roundTripsAnyValue_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("300 characters") << "/" + QString(299, 'x');
    QTest::newRow("5000 characters") << "/" + QString(4999, 'y');
    QTest::newRow("non-ASCII") << QString("/srv/Hörbücher/日本語 🎵");
    QTest::newRow("blanks at both ends") << QString("  /srv/with blanks  ");
    QTest::newRow("equals, semicolon, hash, brackets") << QString("/a=b;c#d[e]");
    QTest::newRow("in double quotes") << QString("\"/quoted\"");
    QTest::newRow("a lone double quote") << QString("\"");
    QTest::newRow("empty") << QString();
}

void TestSettings::roundTripsAnyValue()
{
    QFETCH(QString, value);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(WriteIniValue("RESTORE", "InputDir", value, path).ok());
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), value);
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/next", path).ok());
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/next"));
}

void TestSettings::leavesReadOnlyFileAlone()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\nInputDir=/kept\n"});
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
    // Even a process that could write it (root) leaves it as the owner froze it.
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/other", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\nInputDir=/kept\n"));
}

void TestSettings::refusesUnstorableValuesWithoutTouchingFile_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("line feed") << QString("/two\nlines");
    QTest::newRow("carriage return") << QString("/two\rlines");
    QTest::newRow("NUL") << QString("/nul") + QChar(u'\0') + "/x";
}

void TestSettings::refusesUnstorableValuesWithoutTouchingFile()
{
    QFETCH(QString, value);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\nInputDir=/kept\n"});
    const yf::Status status = WriteIniValue("RESTORE", "InputDir", value, path);
    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::WriteSettings);
    QCOMPARE(status.error().path, path);
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\nInputDir=/kept\n"));
}

void TestSettings::leavesFilesThatAreNotIniTextAlone_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("a NUL byte after the key")
        << QByteArray("[RESTORE]\nInputDir=/old\n\0[Other]\nX=1\n", 36);
    QRandomGenerator random(20261207);
    QByteArray noise(4096, Qt::Uninitialized);
    for (char &c : noise)
        c = char(random.bounded(256));
    QTest::newRow("4 KiB of random bytes") << noise;
    QTest::newRow("Latin-1 text") << QByteArray("[RESTORE]\nInputDir=/H\xF6rb\xFC" "cher\n");
    QTest::newRow("larger than any settings file")
        << QByteArray("[RESTORE]\nInputDir=/old\n") + QByteArray(1 << 20, ';');
}

void TestSettings::leavesFilesThatAreNotIniTextAlone()
{
    QFETCH(QByteArray, contents);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
    file.close();

    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString());
    const yf::Status written = WriteIniValue("RESTORE", "InputDir", "/new", path);
    QVERIFY(!written.ok());
    QCOMPARE(written.error().kind, yf::ErrorKind::WriteSettings);
    QVERIFY(!RemoveIniValue("RESTORE", "InputDir", path).ok());
    QCOMPARE(fixture::readFile(path), contents);
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
}

void TestSettings::neverOpensOrReplacesSpecialFiles_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"FIFO", "link to a FIFO", "device node", "link to a device node", "directory",
                             "socket", "link to a directory"})
        QTest::newRow(kind) << QString(kind);
}

void TestSettings::neverOpensOrReplacesSpecialFiles()
{
    QFETCH(QString, kind);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    const bool viaLink = kind.startsWith("link to");
    const QString thing = viaLink ? tmp.path() + "/thing" : path;
    const QByteArray t = native(thing);
    if (kind.endsWith("FIFO")) {
        QVERIFY(::mkfifo(t.constData(), 0666) == 0);
    } else if (kind.endsWith("device node")) {
        // The null device's numbers, made here: no real device is at stake should the test fail.
        if (::mknod(t.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("mknod is not allowed here");
    } else if (kind.endsWith("directory")) {
        QVERIFY(::mkdir(t.constData(), 0777) == 0);
    } else {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QVERIFY(std::size_t(t.size()) < sizeof address.sun_path);
        std::memcpy(address.sun_path, t.constData(), std::size_t(t.size()));
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        ::close(fd);
    }
    if (viaLink)
        QVERIFY(::symlink("thing", native(path).constData()) == 0);
    const Identity pathBefore = identityOf(path);
    const Identity thingBefore = identityOf(thing);

    const BlockGuard guard(30);
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString());
    const yf::Status written = WriteIniValue("RESTORE", "InputDir", "/new", path);
    QVERIFY(!written.ok());
    QCOMPARE(written.error().kind, yf::ErrorKind::WriteSettings);
    QCOMPARE(written.error().path, path);
    QVERIFY(!RemoveIniValue("RESTORE", "InputDir", path).ok());

    QCOMPARE(identityOf(path), pathBefore);
    QCOMPARE(identityOf(thing), thingBefore);
    QStringList expected{"config.ini"};
    if (viaLink)
        expected << "thing";
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                        QDir::Name),
             expected);
    if (kind.endsWith("directory"))
        QVERIFY(QDir(thing).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

void TestSettings::writesThroughLinksKeepingThem_data()
{
    QTest::addColumn<QString>("linkTarget");  // as stored in the link; "real/config.ini" exists when "made"
    QTest::addColumn<bool>("made");
    QTest::newRow("relative link to a regular file") << "real/config.ini" << true;
    QTest::newRow("absolute link to a regular file") << "@/real/config.ini" << true;
    QTest::newRow("link to a link to a regular file") << "hop" << true;
    QTest::newRow("dangling link") << "real/config.ini" << false;
}

void TestSettings::writesThroughLinksKeepingThem()
{
    QFETCH(QString, linkTarget);
    QFETCH(bool, made);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    const QString real = tmp.path() + "/real/config.ini";
    QVERIFY(QDir().mkpath(tmp.path() + "/real"));
    if (made)
        fixture::makeTree(tmp.path(), {"real/config.ini=[RESTORE]\r\nInputDir=/old\r\n"});
    if (linkTarget == "hop")
        fixture::makeTree(tmp.path(), {"hop->real/config.ini"});
    linkTarget.replace("@", tmp.path());
    fixture::makeTree(tmp.path(), {"config.ini->" + linkTarget});

    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/new", path).ok());
    QCOMPARE(linkText(path), linkTarget);
    if (linkTarget == "hop")
        QCOMPARE(linkText(tmp.path() + "/hop"), QString("real/config.ini"));
    QCOMPARE(fixture::readFile(real),
             made ? QByteArray("[RESTORE]\r\nInputDir=/new\r\n") : QByteArray("[RESTORE]\nInputDir=/new\n"));
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/new"));
    QCOMPARE(fixture::filesIn(tmp.path() + "/real"), QStringList{"config.ini"});
}

void TestSettings::keepsModeAndCreatesPrivateFolders()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\nInputDir=/old\n"});
    QVERIFY(::chmod(native(path).constData(), 0604) == 0);
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/new", path).ok());
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/new"));
    QCOMPARE(modeOf(path), mode_t(0604));

    // The user's configuration folder does not exist before the first run.
    const QString fresh = tmp.path() + "/home/.config/yarrowfeed/config.ini";
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/in", fresh).ok());
    QCOMPARE(fixture::readFile(fresh), QByteArray("[RESTORE]\nInputDir=/in\n"));
    for (const char *folder : {"/home", "/home/.config", "/home/.config/yarrowfeed"})
        QCOMPARE(modeOf(tmp.path() + folder), mode_t(0700));
}

void TestSettings::reportsUnwritableLocation_data()
{
    QTest::addColumn<QString>("entry");    // made in the temporary directory
    QTest::addColumn<QString>("relative"); // the settings path below it
    QTest::newRow("a file where a folder should be") << "plain" << "plain/config.ini";
    QTest::newRow("dangling link into a missing folder") << "config.ini->missing/config.ini" << "config.ini";
    QTest::newRow("link loop") << "config.ini->loop.ini" << "config.ini";
}

void TestSettings::reportsUnwritableLocation()
{
    QFETCH(QString, entry);
    QFETCH(QString, relative);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {entry});
    if (entry.contains("loop"))
        fixture::makeTree(tmp.path(), {"loop.ini->config.ini"});
    const QString path = tmp.path() + '/' + relative;
    const yf::Status status = WriteIniValue("RESTORE", "InputDir", "/x", path);
    QVERIFY(!status.ok());
    QCOMPARE(status.error().path, path);
    QVERIFY(!status.error().reason.isEmpty());
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString());
    QVERIFY(!QFileInfo::exists(tmp.path() + "/missing"));
}

namespace {

class FixedClock : public yf::Clock {
public:
    qint64 nowSecs() const override { return 1767517507; }
};

yf::RunOutcome runWithSettings(const QTemporaryDir &tmp, const QString &settingsPath, const QString &baseUrl)
{
    fixture::makeTree(tmp.path(), {"in/A/a.mp3", "out/"});
    yf::RunInputs inputs;
    inputs.inputDir = tmp.path() + "/in";
    inputs.highlightedEntry = inputs.inputDir;
    inputs.outputDir = tmp.path() + "/out";
    inputs.baseUrl = baseUrl;
    inputs.defaultBaseUrl = "http://127.0.0.1/";
    inputs.settingsPath = settingsPath;
    yf::RunState state;
    const FixedClock clock;
    return yf::generateFeeds(inputs, state, clock);
}

} // namespace

void TestSettings::runKeepsEveryOtherByte()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    const QByteArray head("\xEF\xBB\xBF# hand-made\r\n[restore]\r\nOutputDir = /old/out\r\nOutputDir=/dup\r\n"
                          "BaseUrl = http://old/\r\nnot a key\r\n");
    const QByteArray tail("\r\n[RESTORE]\r\nInputDir=/second/section\r\n; the end");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(head + tail);
    file.close();

    QVERIFY(runWithSettings(tmp, path, "http://media.example/").finished());
    const QString in = tmp.path() + "/in";
    const QString out = tmp.path() + "/out";
    QCOMPARE(fixture::readFile(path),
             "\xEF\xBB\xBF# hand-made\r\n[restore]\r\nOutputDir = " + native(out) + "\r\nOutputDir=/dup\r\n"
             "BaseUrl = http://media.example/\r\nnot a key\r\nInputDir=" + native(in) + "\r\n" + tail);

    // Back to the default base URL: its line goes, nothing else changes.
    QVERIFY(runWithSettings(tmp, path, "http://127.0.0.1/").finished());
    QCOMPARE(fixture::readFile(path),
             "\xEF\xBB\xBF# hand-made\r\n[restore]\r\nOutputDir = " + native(out) + "\r\nOutputDir=/dup\r\n"
             "not a key\r\nInputDir=" + native(in) + "\r\n" + tail);
}

void TestSettings::runGoesOnPastASettingsPathThatIsNoFile()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(::mkfifo(native(path).constData(), 0666) == 0);
    const Identity before = identityOf(path);
    const BlockGuard guard(30);
    const yf::RunOutcome outcome = runWithSettings(tmp, path, "http://127.0.0.1/");
    QVERIFY(outcome.finished());
    QCOMPARE(outcome.feedsWritten, 1);
    QVERIFY(outcome.settingsError.has_value());
    QCOMPARE(outcome.settingsError->path, path);
    QCOMPARE(identityOf(path), before);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
