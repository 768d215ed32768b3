// The settings file's contents: reading, writing one line in place, keeping what others
// wrote, and leaving alone what is not an INI text.
#include "fixture.h"
#include "settings/ini_file.h"
#include "settings/stored_run.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

// Which file is at `path`: a rewrite puts a new one there.
ino_t inodeOf(const QString &path)
{
    struct stat st;
    return ::stat(native(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void readsEmptyWhenMissing_data();
    void readsEmptyWhenMissing();
    void createsFileInWriteOrder();
    void replacesValuesInPlace();
    void matchesNamesWithoutCase();
    void removesOnlyItsLines();
    void roundTripsAnyValue_data();
    void roundTripsAnyValue();
    void leavesReadOnlyFileAlone();
    void refusesUnstorableValuesWithoutTouchingFile_data();
    void refusesUnstorableValuesWithoutTouchingFile();
    void leavesFilesThatAreNotIniTextAlone_data();
    void leavesFilesThatAreNotIniTextAlone();
    void runKeepsEveryOtherByte();
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
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), QString());
}

void TestSettings::createsFileInWriteOrder()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/srv/Audio", path).ok());
    QVERIFY(yf::writeSetting("RESTORE", "OutputDir", "/srv/feeds", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\nInputDir=/srv/Audio\nOutputDir=/srv/feeds\n"));
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), QString("/srv/Audio"));
    QCOMPARE(fixture::setting("RESTORE", "OutputDir", path), QString("/srv/feeds"));
}

void TestSettings::replacesValuesInPlace()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/a", path).ok());
    QVERIFY(yf::writeSetting("RESTORE", "OutputDir", "/b", path).ok());
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/c", path).ok());
    QVERIFY(yf::writeSetting("RESTORE", "OutputDir", "/d", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\nInputDir=/c\nOutputDir=/d\n"));
    // The directory holds nothing else: no temporary file is left behind.
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
    // Storing what is stored already leaves the file itself alone.
    const ino_t before = inodeOf(path);
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/c", path).ok());
    QCOMPARE(inodeOf(path), before);
}

void TestSettings::matchesNamesWithoutCase()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[restore]\ninputdir=/hand/edited\n"});
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), QString("/hand/edited"));
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/new", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[restore]\ninputdir=/new\n"));
    QCOMPARE(fixture::setting("Restore", "INPUTDIR", path), QString("/new"));
}

void TestSettings::removesOnlyItsLines()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\r\nBaseUrl=http://x/\r\nInputDir = /in\r\n"});
    QVERIFY(yf::removeSetting("RESTORE", "BaseUrl", path).ok());
    QCOMPARE(fixture::readFile(path), QByteArray("[RESTORE]\r\nInputDir = /in\r\n"));

    const ino_t before = inodeOf(path);
    QVERIFY(yf::removeSetting("RESTORE", "BaseUrl", path).ok());
    QCOMPARE(inodeOf(path), before);

    const QString missing = tmp.path() + "/none/config.ini";
    QVERIFY(yf::removeSetting("RESTORE", "BaseUrl", missing).ok());
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
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", value, path).ok());
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), value);
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/next", path).ok());
    QCOMPARE(fixture::setting("RESTORE", "InputDir", path), QString("/next"));
}

void TestSettings::leavesReadOnlyFileAlone()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\nInputDir=/kept\n"});
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
    // Even a process that could write it (root) leaves it as the owner froze it.
    QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/other", path).ok());
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
    const yf::Status status = yf::writeSetting("RESTORE", "InputDir", value, path);
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
        << QByteArray("[RESTORE]\nInputDir=/old\n") + QByteArray(2 << 20, ';');
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

    // Read as nothing stored, with the reason for whoever wants it.
    const yf::Result<QString> read = yf::readSetting("RESTORE", "InputDir", path);
    QVERIFY(!read.ok());
    QCOMPARE(read.error().path, path);
    QVERIFY(!read.error().reason.isEmpty());
    QCOMPARE(yf::loadStoredRun(path).inputDir, QString());
    const yf::Status written = yf::writeSetting("RESTORE", "InputDir", "/new", path);
    QVERIFY(!written.ok());
    QCOMPARE(written.error().kind, yf::ErrorKind::WriteSettings);
    QVERIFY(!yf::removeSetting("RESTORE", "InputDir", path).ok());
    QCOMPARE(fixture::readFile(path), contents);
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
}

namespace {

// Stores what a run from "<tmp>/in" into "<tmp>/out" under `baseUrl` stores, the default
// base URL being "http://127.0.0.1/".
bool storeRunOf(const QTemporaryDir &tmp, const QString &settingsPath, const QString &baseUrl)
{
    return yf::storeRun(settingsPath, {tmp.path() + "/in", tmp.path() + "/out", baseUrl},
                        yf::defaultBaseUrl("127.0.0.1"))
        .ok();
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

    QVERIFY(storeRunOf(tmp, path, "http://media.example/"));
    const QString in = tmp.path() + "/in";
    const QString out = tmp.path() + "/out";
    QCOMPARE(fixture::readFile(path),
             "\xEF\xBB\xBF# hand-made\r\n[restore]\r\nOutputDir = " + native(out) + "\r\nOutputDir=/dup\r\n"
             "BaseUrl = http://media.example/\r\nnot a key\r\nInputDir=" + native(in) + "\r\n" + tail);

    // Back to the default base URL: its line goes, nothing else changes.
    QVERIFY(storeRunOf(tmp, path, "http://127.0.0.1/"));
    QCOMPARE(fixture::readFile(path),
             "\xEF\xBB\xBF# hand-made\r\n[restore]\r\nOutputDir = " + native(out) + "\r\nOutputDir=/dup\r\n"
             "not a key\r\nInputDir=" + native(in) + "\r\n" + tail);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
