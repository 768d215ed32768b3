// Whose settings file is written: only the runner's own, reached directly or through links;
// another user's file, a root-owned one reached by an ordinary user and a dangling link stay
// exactly as they were, and a written file keeps its owner, group and mode.
#include "fixture.h"
#include "settings/ini_file.h"
#include "settings/stored_run.h"

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

constexpr uid_t kNobodysUid = 54321;  // no account has it: a file of "another user"
constexpr gid_t kShadowLikeGid = 42;

// Everything a write could change about a file.
struct FileFacts {
    bool exists = false;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    ino_t inode = 0;
    qint64 mtimeNs = 0;
    QByteArray bytes;
    bool operator==(const FileFacts &) const = default;
};

FileFacts factsOf(const QString &path)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return {};
    return {true, st.st_uid, st.st_gid, st.st_mode, st.st_ino,
            qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, fixture::readFile(path)};
}

QString linkText(const QString &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(native(path).constData(), buffer, sizeof buffer);
    return n < 0 ? QString() : QFile::decodeName(QByteArray(buffer, n));
}

yf::Status storeTestRun(const QString &path)
{
    return yf::storeRun(path, {"/srv/in", "/srv/out", "http://media.example/", true}, yf::defaultBaseUrl("127.0.0.1"));
}

const QByteArray kTheirText("[RESTORE]\nInputDir=/theirs\n[Mine]\nKeep=1\n");

} // namespace

class TestSettingsOwner : public QObject {
    Q_OBJECT
private slots:
    void leavesAnotherUsersFileAsItIs_data();
    void leavesAnotherUsersFileAsItIs();
    void keepsOwnerGroupAndModeOfItsOwnFile();
    void ordinaryUserLeavesRootsFileAlone();
    void ordinaryUserWritesItsOwnFileInAFolderItMayNotWrite();
    void neverCreatesThroughADanglingLink_data();
    void neverCreatesThroughADanglingLink();
    void makesNewFilesOnlyInItsOwnOrASharedFolder_data();
    void makesNewFilesOnlyInItsOwnOrASharedFolder();
};

void TestSettingsOwner::leavesAnotherUsersFileAsItIs_data()
{
    QTest::addColumn<gid_t>("gid");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("viaLink");
    QTest::newRow("another user's private file through a link") << gid_t(kNobodysUid) << 0600 << true;
    QTest::newRow("a 0640 file of another user and a system group through a link") << kShadowLikeGid << 0640 << true;
    QTest::newRow("another user's file anyone may write, named directly") << gid_t(0) << 0666 << false;
}

// Root runs with HOME or XDG_CONFIG_HOME in a user's folder (su without "-", sudo -E): the
// settings path then leads to what that user put there.
void TestSettingsOwner::leavesAnotherUsersFileAsItIs()
{
    if (::geteuid() != 0)
        QSKIP("needs root to give a file to another user");
    QFETCH(gid_t, gid);
    QFETCH(int, mode);
    QFETCH(bool, viaLink);
    QTemporaryDir tmp;
    const QString theirs = tmp.path() + "/theirs/shadow";
    const QString path = viaLink ? tmp.path() + "/config.ini" : theirs;
    fixture::makeTree(tmp.path(), {"theirs/shadow=" + QString::fromUtf8(kTheirText)});
    QVERIFY(::chown(native(theirs).constData(), kNobodysUid, gid) == 0);
    QVERIFY(::chmod(native(theirs).constData(), mode_t(mode)) == 0);
    if (viaLink)
        fixture::makeTree(tmp.path(), {"config.ini->theirs/shadow"});
    const FileFacts before = factsOf(theirs);

    const yf::Status stored = storeTestRun(path);
    QVERIFY(!stored.ok());
    QCOMPARE(stored.error().kind, yf::ErrorKind::WriteSettings);
    QCOMPARE(stored.error().path, path);
    QVERIFY2(stored.error().reason.contains("uid 54321"), qPrintable(stored.error().reason));
    QVERIFY(!yf::writeSetting("RESTORE", "InputDir", "/x", path).ok());
    QVERIFY(!yf::removeSetting("RESTORE", "InputDir", path).ok());

    // Read as storing nothing, saying why.
    std::optional<yf::Error> problem;
    const yf::StoredRun loaded = yf::loadStoredRun(path, &problem);
    QCOMPARE(loaded.inputDir, QString());
    QVERIFY(problem && problem->reason.contains("uid 54321"));

    QCOMPARE(factsOf(theirs), before);
    if (viaLink)
        QCOMPARE(linkText(path), QString("theirs/shadow"));
    QCOMPARE(fixture::filesIn(tmp.path() + "/theirs"), QStringList{"shadow"});
}

void TestSettingsOwner::keepsOwnerGroupAndModeOfItsOwnFile()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"real.ini=" + QString::fromUtf8(kTheirText), "config.ini->real.ini"});
    const QString real = tmp.path() + "/real.ini";
    // Root may give its file any group; an ordinary user keeps the group it has.
    if (::geteuid() == 0)
        QVERIFY(::chown(native(real).constData(), 0, kShadowLikeGid) == 0);
    QVERIFY(::chmod(native(real).constData(), 0640) == 0);
    const FileFacts before = factsOf(real);

    QVERIFY(storeTestRun(path).ok());
    const FileFacts after = factsOf(real);
    QCOMPARE(after.uid, before.uid);
    QCOMPARE(after.gid, before.gid);
    QCOMPARE(after.mode, before.mode);
    QVERIFY(after.inode != before.inode);  // replaced whole, not written over
    QCOMPARE(after.bytes, QByteArray("[RESTORE]\nInputDir=/srv/in\nOutputDir=/srv/out\nBaseUrl=http://media.example/\n"
                                     "[Mine]\nKeep=1\n[OPTIONS]\nTags=1\n"));
    QCOMPARE(linkText(path), QString("real.ini"));
    QCOMPARE(fixture::filesIn(tmp.path()), (QStringList{"config.ini", "real.ini"}));
}

// As an ordinary user, a link to a root-owned file that anyone may write (in a folder anyone
// may write) must not move that file to the user.
void TestSettingsOwner::ordinaryUserLeavesRootsFileAlone()
{
    if (::geteuid() != 0)
        QSKIP("needs root to own the file and to become an ordinary user");
    QTemporaryDir tmp;
    QVERIFY(::chmod(native(tmp.path()).constData(), 0755) == 0);
    fixture::makeTree(tmp.path(), {"open/", "open/root.ini=" + QString::fromUtf8(kTheirText), "home/",
                                   "home/config.ini->../open/root.ini"});
    const QString real = tmp.path() + "/open/root.ini";
    QVERIFY(::chmod(native(tmp.path() + "/open").constData(), 0777) == 0);
    QVERIFY(::chmod(native(real).constData(), 0666) == 0);
    const QString path = tmp.path() + "/home/config.ini";
    const FileFacts before = factsOf(real);

    const QStringList seen = fixture::asUnprivileged([&] {
        const yf::Status stored = storeTestRun(path);
        const yf::Result<QString> read = yf::readSetting("RESTORE", "InputDir", path);
        return QStringList{stored.ok() ? "stored" : stored.error().reason, read.ok() ? "read" : read.error().reason};
    });
    QCOMPARE(seen.size(), 2);
    for (const QString &reason : seen)
        QVERIFY2(reason.contains("belongs to \"root\" (uid 0)"), qPrintable(reason));
    QCOMPARE(factsOf(real), before);
    QCOMPARE(fixture::filesIn(tmp.path() + "/open"), QStringList{"root.ini"});
}

// Beside an installed program: the user's own writable file in a folder the user may not
// write takes no temporary file beside it, so it is written over in place.
void TestSettingsOwner::ordinaryUserWritesItsOwnFileInAFolderItMayNotWrite()
{
    if (::geteuid() != 0)
        QSKIP("needs root to make a folder an ordinary user may not write");
    QTemporaryDir tmp;
    QVERIFY(::chmod(native(tmp.path()).constData(), 0755) == 0);
    fixture::makeTree(tmp.path(), {"config.ini=" + QString::fromUtf8(kTheirText)});
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(::chown(native(path).constData(), 65534, 65534) == 0);
    QVERIFY(::chmod(native(path).constData(), 0640) == 0);
    const FileFacts before = factsOf(path);

    const QStringList seen = fixture::asUnprivileged([&] {
        const yf::Status stored = storeTestRun(path);
        return QStringList{stored.ok() ? "stored" : stored.error().message()};
    });
    QCOMPARE(seen, QStringList{"stored"});
    const FileFacts after = factsOf(path);
    QCOMPARE(after.inode, before.inode);
    QCOMPARE(after.uid, before.uid);
    QCOMPARE(after.gid, before.gid);
    QCOMPARE(after.mode, before.mode);
    QCOMPARE(yf::loadStoredRun(path).inputDir, QString());  // not root's to read
    QVERIFY(after.bytes.startsWith("[RESTORE]\nInputDir=/srv/in\nOutputDir=/srv/out\n"));
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
}

void TestSettingsOwner::neverCreatesThroughADanglingLink_data()
{
    QTest::addColumn<QString>("linkTarget");
    QTest::newRow("relative, into an existing folder") << "etc/cron.d/job";
    QTest::newRow("absolute, into an existing folder") << "@/etc/cron.d/job";
    QTest::newRow("through a second link") << "hop";
}

void TestSettingsOwner::neverCreatesThroughADanglingLink()
{
    QFETCH(QString, linkTarget);
    QTemporaryDir tmp;
    fixture::makeTree(tmp.path(), {"etc/cron.d/", "hop->etc/cron.d/job"});
    linkTarget.replace("@", tmp.path());
    fixture::makeTree(tmp.path(), {"config.ini->" + linkTarget});
    const QString path = tmp.path() + "/config.ini";

    const yf::Status stored = storeTestRun(path);
    QVERIFY(!stored.ok());
    QCOMPARE(stored.error().path, path);
    QVERIFY(!stored.error().reason.isEmpty());
    QCOMPARE(linkText(path), linkTarget);
    QVERIFY(QDir(tmp.path() + "/etc/cron.d").isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    QCOMPARE(yf::loadStoredRun(path).inputDir, QString());
}

void TestSettingsOwner::makesNewFilesOnlyInItsOwnOrASharedFolder_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<bool>("made");
    QTest::newRow("another user's folder") << 0777 << false;
    QTest::newRow("another user's shared folder with the sticky bit") << 01777 << true;
}

// Root with another user's HOME: a root-owned ~/.config would lock that user out of it.
void TestSettingsOwner::makesNewFilesOnlyInItsOwnOrASharedFolder()
{
    if (::geteuid() != 0)
        QSKIP("needs root to give a folder to another user");
    QFETCH(int, folderMode);
    QFETCH(bool, made);
    QTemporaryDir tmp;
    const QString home = tmp.path() + "/home";
    QVERIFY(QDir().mkpath(home));
    QVERIFY(::chown(native(home).constData(), kNobodysUid, kNobodysUid) == 0);
    QVERIFY(::chmod(native(home).constData(), mode_t(folderMode)) == 0);
    const QString path = home + "/.config/yarrowfeed/config.ini";

    const yf::Status stored = storeTestRun(path);
    QCOMPARE(stored.ok(), made);
    QCOMPARE(QFileInfo::exists(home + "/.config"), made);
    if (!made)
        QVERIFY2(stored.error().reason.contains("uid 54321"), qPrintable(stored.error().reason));
    else
        QCOMPARE(yf::loadStoredRun(path).outputDir, QString("/srv/out"));
}

QTEST_GUILESS_MAIN(TestSettingsOwner)
#include "tst_settings_owner.moc"
