// The settings path: only a regular file, or a link to one, is ever read or written; the
// rest (FIFO, device, socket, directory) is neither opened in a way that blocks nor replaced.
#include "fixture.h"
#include "settings/ini_file.h"
#include "settings/settings_location.h"

#include <QTemporaryDir>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>


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

class TestSettingsPath : public QObject {
    Q_OBJECT
private slots:
    void neverOpensOrReplacesSpecialFiles_data();
    void neverOpensOrReplacesSpecialFiles();
    void writesThroughLinksKeepingThem_data();
    void writesThroughLinksKeepingThem();
    void keepsModeAndCreatesPrivateFolders();
    void reportsUnwritableLocation_data();
    void reportsUnwritableLocation();
    void installedProgramKeepsSettingsInTheConfigFolder();
    void ignoresARelativeConfigHome_data();
    void ignoresARelativeConfigHome();
};

void TestSettingsPath::neverOpensOrReplacesSpecialFiles_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"FIFO", "link to a FIFO", "device node", "link to a device node", "directory",
                             "socket", "link to a directory"})
        QTest::newRow(kind) << QString(kind);
}

void TestSettingsPath::neverOpensOrReplacesSpecialFiles()
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
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), QString());
    const yf::Status written = yf::writeSetting("RESTORE", "InputDir", "/new", path);
    QVERIFY(!written.ok());
    QCOMPARE(written.error().kind, yf::ErrorKind::WriteSettings);
    QCOMPARE(written.error().path, path);
    QVERIFY(!yf::removeSetting("RESTORE", "InputDir", path).ok());

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

void TestSettingsPath::writesThroughLinksKeepingThem_data()
{
    QTest::addColumn<QString>("linkTarget");  // as stored in the link; "real/config.ini" exists when "made"
    QTest::addColumn<bool>("made");
    QTest::newRow("relative link to a regular file") << "real/config.ini" << true;
    QTest::newRow("absolute link to a regular file") << "@/real/config.ini" << true;
    QTest::newRow("link to a link to a regular file") << "hop" << true;
    QTest::newRow("dangling link, left dangling") << "real/config.ini" << false;
}

void TestSettingsPath::writesThroughLinksKeepingThem()
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

    // A link that leads to no file is not followed to make one: the file it names could be
    // anything (a cron table, as root), so the write fails and nothing appears there.
    const yf::Status written = yf::writeSetting("RESTORE", "InputDir", "/new", path);
    QCOMPARE(written.ok(), made);
    QCOMPARE(linkText(path), linkTarget);
    if (linkTarget == "hop")
        QCOMPARE(linkText(tmp.path() + "/hop"), QString("real/config.ini"));
    QCOMPARE(fixture::readFile(real), made ? QByteArray("[RESTORE]\r\nInputDir=/new\r\n") : QByteArray());
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), made ? QString("/new") : QString());
    QCOMPARE(fixture::filesIn(tmp.path() + "/real"), made ? QStringList{"config.ini"} : QStringList{});
}

void TestSettingsPath::keepsModeAndCreatesPrivateFolders()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\nInputDir=/old\n"});
    QVERIFY(::chmod(native(path).constData(), 0604) == 0);
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/new", path).ok());
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), QString("/new"));
    QCOMPARE(modeOf(path), mode_t(0604));

    // The user's configuration folder does not exist before the first run.
    const QString fresh = tmp.path() + "/home/.config/yarrowfeed/config.ini";
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/in", fresh).ok());
    QCOMPARE(fixture::readFile(fresh), QByteArray("[RESTORE]\nInputDir=/in\n"));
    for (const char *folder : {"/home", "/home/.config", "/home/.config/yarrowfeed"})
        QCOMPARE(modeOf(tmp.path() + folder), mode_t(0700));
}

void TestSettingsPath::reportsUnwritableLocation_data()
{
    QTest::addColumn<QString>("entry");    // made in the temporary directory
    QTest::addColumn<QString>("relative"); // the settings path below it
    QTest::newRow("a file where a folder should be") << "plain" << "plain/config.ini";
    QTest::newRow("dangling link into a missing folder") << "config.ini->missing/config.ini" << "config.ini";
    QTest::newRow("link loop") << "config.ini->loop.ini" << "config.ini";
}

void TestSettingsPath::reportsUnwritableLocation()
{
    QFETCH(QString, entry);
    QFETCH(QString, relative);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {entry});
    if (entry.contains("loop"))
        fixture::makeTree(tmp.path(), {"loop.ini->config.ini"});
    const QString path = tmp.path() + '/' + relative;
    const yf::Status status = yf::writeSetting("RESTORE", "InputDir", "/x", path);
    QVERIFY(!status.ok());
    QCOMPARE(status.error().path, path);
    QVERIFY(!status.error().reason.isEmpty());
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), QString());
    QVERIFY(!QFileInfo::exists(tmp.path() + "/missing"));
}

// Root may write /usr/bin, but a config.ini there would outlive the package.
void TestSettingsPath::installedProgramKeepsSettingsInTheConfigFolder()
{
    if (QFile::exists("/usr/bin/config.ini"))
        QSKIP("this machine has a /usr/bin/config.ini");
    QCOMPARE(yf::settingsFilePath("/usr/bin", "/home/u/.config/yarrowfeed"),
             QString("/home/u/.config/yarrowfeed/config.ini"));
    QTemporaryDir unpacked;
    QCOMPARE(yf::settingsFilePath(unpacked.path(), "/home/u/.config/yarrowfeed"), unpacked.path() + "/config.ini");
}

void TestSettingsPath::ignoresARelativeConfigHome_data()
{
    QTest::addColumn<QByteArray>("xdgConfigHome");  // "-": not set at all
    QTest::addColumn<QString>("expected");          // below the home folder "@"
    QTest::newRow("not set") << QByteArray("-") << "@/.config/yarrowfeed";
    QTest::newRow("empty") << QByteArray("") << "@/.config/yarrowfeed";
    QTest::newRow("relative") << QByteArray("cfg") << "@/.config/yarrowfeed";
    QTest::newRow("relative, as a shell leaves an unexpanded ~") << QByteArray("~/cfg") << "@/.config/yarrowfeed";
    QTest::newRow("absolute") << QByteArray("@/xdg/") << "@/xdg/yarrowfeed";
}

void TestSettingsPath::ignoresARelativeConfigHome()
{
    QFETCH(QByteArray, xdgConfigHome);
    QFETCH(QString, expected);
    QTemporaryDir home;
    const QByteArray savedHome = qgetenv("HOME");
    const std::optional<QByteArray> savedXdg =
        qEnvironmentVariableIsSet("XDG_CONFIG_HOME") ? std::optional(qgetenv("XDG_CONFIG_HOME")) : std::nullopt;
    const QString savedName = QCoreApplication::applicationName();
    qputenv("HOME", native(home.path()));
    if (xdgConfigHome == "-")
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", xdgConfigHome.replace("@", native(home.path())));
    QCoreApplication::setApplicationName("yarrowfeed");
    const QString folder = yf::userSettingsFolder();
    qputenv("HOME", savedHome);
    if (savedXdg)
        qputenv("XDG_CONFIG_HOME", *savedXdg);
    else
        qunsetenv("XDG_CONFIG_HOME");
    QCoreApplication::setApplicationName(savedName);
    QCOMPARE(folder, expected.replace("@", home.path()));
}

QTEST_GUILESS_MAIN(TestSettingsPath)
#include "tst_settings_path.moc"
