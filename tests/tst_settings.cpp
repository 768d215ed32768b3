// The settings file: reading, writing in place, keeping what others wrote, and refusing safely.
#include "fixture.h"
#include "settings/ini_file.h"

#include <QTemporaryDir>

using yf::ReadIniValue;
using yf::WriteIniValue;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void readsEmptyWhenMissing_data();
    void readsEmptyWhenMissing();
    void createsFileInWriteOrder();
    void replacesValuesInPlace();
    void matchesNamesWithoutCase();
    void keepsOtherSectionsKeysAndComments();
    void roundTripsAnyValue_data();
    void roundTripsAnyValue();
    void leavesReadOnlyFileAlone();
    void refusesLineBreaksWithoutTouchingFile();
    void reportsUnwritableLocation();
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
}

void TestSettings::matchesNamesWithoutCase()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[restore]\ninputdir=/hand/edited\n"});
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/hand/edited"));
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/new", path).ok());
    const QByteArray text = fixture::readFile(path);
    QCOMPARE(text.count("nputdir=") + text.count("nputDir="), 1);
    QCOMPARE(ReadIniValue("Restore", "INPUTDIR", path), QString("/new"));
}

void TestSettings::keepsOtherSectionsKeysAndComments()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=; kept comment\n[Window]\nWidth=330\n\n[RESTORE]\nTheme=dark\nInputDir=/old\n"});
    QVERIFY(WriteIniValue("RESTORE", "InputDir", "/new", path).ok());
    QVERIFY(WriteIniValue("RESTORE", "OutputDir", "/out", path).ok());
    const QByteArray text = fixture::readFile(path);
    QVERIFY2(text.contains("; kept comment"), text.constData());
    QCOMPARE(ReadIniValue("Window", "Width", path), QString("330"));
    QCOMPARE(ReadIniValue("RESTORE", "Theme", path), QString("dark"));
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/new"));
    QCOMPARE(ReadIniValue("RESTORE", "OutputDir", path), QString("/out"));
    QVERIFY(text.indexOf("Theme=dark") < text.indexOf("InputDir=/new"));
}

void TestSettings::roundTripsAnyValue_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("300 characters") << "/" + QString(299, 'x');
    QTest::newRow("5000 characters") << "/" + QString(4999, 'y');
    QTest::newRow("non-ASCII") << QString("/srv/Hörbücher/日本語 🎵");
    QTest::newRow("blanks at both ends") << QString("  /srv/with blanks  ");
    QTest::newRow("equals, semicolon, hash, brackets") << QString("/a=b;c#d[e]");
    QTest::newRow("empty") << QString();
}

void TestSettings::roundTripsAnyValue()
{
    QFETCH(QString, value);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    QVERIFY(WriteIniValue("RESTORE", "InputDir", value, path).ok());
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), value);
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

void TestSettings::refusesLineBreaksWithoutTouchingFile()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    fixture::makeTree(tmp.path(), {"config.ini=[RESTORE]\nInputDir=/kept\n"});
    const yf::Status status = WriteIniValue("RESTORE", "InputDir", "/two\nlines", path);
    QVERIFY(!status.ok());
    QCOMPARE(status.error().kind, yf::ErrorKind::WriteSettings);
    QCOMPARE(status.error().path, path);
    QCOMPARE(ReadIniValue("RESTORE", "InputDir", path), QString("/kept"));
}

void TestSettings::reportsUnwritableLocation()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/missing/config.ini";
    const yf::Status status = WriteIniValue("RESTORE", "InputDir", "/x", path);
    QVERIFY(!status.ok());
    QCOMPARE(status.error().path, path);
    QVERIFY(!status.error().reason.isEmpty());
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
