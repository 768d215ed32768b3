// A run's values stored in one step: under the folder's lock, again when the file changed
// meanwhile (no save of another program lost), and whatever a person wrote up to 1 MiB.
#include "fixture.h"
#include "runtime/process_token.h"
#include "settings/ini_file.h"
#include "settings/stored_run.h"

#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray native(const QString &s) { return QFile::encodeName(s); }

const yf::StoredRun kRun{"/srv/in", "/srv/out", "http://media.example/", false};

yf::Status storeTestRun(const QString &path, const std::function<void()> &beforeReplace = {})
{
    return yf::storeRun(path, kRun, yf::defaultBaseUrl("127.0.0.1"), beforeReplace);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// How another program saves the file while a run is storing its values.
void saveAsAnotherProgram(const QString &path, const QString &how, const QByteArray &line)
{
    if (how == "in place") {
        const int fd = ::open(native(path).constData(), O_WRONLY | O_APPEND);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, line.constData(), std::size_t(line.size())), ssize_t(line.size()));
        ::close(fd);
    } else {
        const QString temporary = path + ".editor";
        writeFile(temporary, fixture::readFile(path) + line);
        QVERIFY(::rename(native(temporary).constData(), native(path).constData()) == 0);
    }
}

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
private slots:
    void storesEverythingInOneWrite_data();
    void storesEverythingInOneWrite();
    void keepsASaveMadeWhileItStores_data();
    void keepsASaveMadeWhileItStores();
    void givesUpOnAFileThatKeepsChanging();
    void waitsForTheFolderLock();
    void leavesTheLimitToWhatAPersonWrote_data();
    void leavesTheLimitToWhatAPersonWrote();
    void removesWhatAKilledStoreLeft();
};

void TestSettingsStore::storesEverythingInOneWrite_data()
{
    QTest::addColumn<QByteArray>("before");  // empty: no file
    QTest::addColumn<bool>("tags");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("new file, tags on")
        << QByteArray() << true
        << QByteArray("[RESTORE]\nInputDir=/srv/in\nOutputDir=/srv/out\nBaseUrl=http://media.example/\n"
                      "[OPTIONS]\nTags=1\n");
    QTest::newRow("tags switched off drop their line, other options stay")
        << QByteArray("[OPTIONS]\r\nTags=1\r\nOther=x\r\n") << false
        << QByteArray("[OPTIONS]\r\nOther=x\r\n[RESTORE]\r\nInputDir=/srv/in\r\nOutputDir=/srv/out\r\n"
                      "BaseUrl=http://media.example/\r\n");
}

// The four lines come in one replacement: the file is read and replaced once, as
// the file's identity before and after each step would otherwise show.
void TestSettingsStore::storesEverythingInOneWrite()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, tags);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    if (!before.isEmpty())
        writeFile(path, before);
    int replacements = 0;
    yf::StoredRun run = kRun;
    run.tags = tags;
    QVERIFY(yf::storeRun(path, run, yf::defaultBaseUrl("127.0.0.1"), [&] { ++replacements; }).ok());
    QCOMPARE(replacements, 1);
    QTEST(fixture::readFile(path), "after");
    const yf::StoredRun loaded = yf::loadStoredRun(path);
    QCOMPARE(loaded.inputDir, run.inputDir);
    QCOMPARE(loaded.outputDir, run.outputDir);
    QCOMPARE(loaded.baseUrl, run.baseUrl);
    QCOMPARE(loaded.tags, tags);
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
}

void TestSettingsStore::keepsASaveMadeWhileItStores_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("saved in place") << "in place";
    QTest::newRow("saved by a rename") << "by a rename";
}

void TestSettingsStore::keepsASaveMadeWhileItStores()
{
    QFETCH(QString, how);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    writeFile(path, "[RESTORE]\nInputDir=/old\n");
    int attempts = 0;
    QVERIFY(storeTestRun(path, [&] {
                if (++attempts == 1)
                    saveAsAnotherProgram(path, how, "[Editor]\nSaved=yes\n");
            }).ok());
    QCOMPARE(attempts, 2);  // read and edited again
    QCOMPARE(fixture::readFile(path),
             QByteArray("[RESTORE]\nInputDir=/srv/in\nOutputDir=/srv/out\nBaseUrl=http://media.example/\n"
                        "[Editor]\nSaved=yes\n"));
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
}

void TestSettingsStore::givesUpOnAFileThatKeepsChanging()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    writeFile(path, "[RESTORE]\nInputDir=/old\n");
    int attempts = 0;
    const yf::Status stored = storeTestRun(path, [&] {
        saveAsAnotherProgram(path, "in place", "; save " + QByteArray::number(++attempts) + "\n");
    });
    QVERIFY(!stored.ok());
    QCOMPARE(stored.error().path, path);
    QVERIFY(attempts > 1 && attempts < 10);
    // Every save of the other program is there, none of the run's values.
    const QByteArray text = fixture::readFile(path);
    QVERIFY(text.startsWith("[RESTORE]\nInputDir=/old\n; save 1\n"));
    QVERIFY(text.endsWith("; save " + QByteArray::number(attempts) + "\n"));
    QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
}

// Another run holds the lock: this one stores its values only once the lock is free.
void TestSettingsStore::waitsForTheFolderLock()
{
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    writeFile(path, "[RESTORE]\nInputDir=/old\n");
    const int held = ::open(native(tmp.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(held >= 0);
    QVERIFY(::flock(held, LOCK_EX) == 0);

    bool ok = false;
    std::thread storing([&] { ok = storeTestRun(path).ok(); });
    QTest::qWait(300);
    const QByteArray whileHeld = fixture::readFile(path);
    ::close(held);
    storing.join();
    QCOMPARE(whileHeld, QByteArray("[RESTORE]\nInputDir=/old\n"));
    QVERIFY(ok);
    QCOMPARE(yf::loadStoredRun(path).inputDir, QString("/srv/in"));
}

void TestSettingsStore::leavesTheLimitToWhatAPersonWrote_data()
{
    QTest::addColumn<int>("userBytes");  // a comment line of about this size
    QTest::addColumn<bool>("stored");
    QTest::newRow("just under 1 MiB of the user's text") << (1 << 20) - 20 << true;
    QTest::newRow("over 1 MiB of the user's text") << (1 << 20) + 1 << false;
}

void TestSettingsStore::leavesTheLimitToWhatAPersonWrote()
{
    QFETCH(int, userBytes);
    QFETCH(bool, stored);
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    const QByteArray theirs = "; " + QByteArray(userBytes - 3, 'x') + "\n";
    writeFile(path, theirs);
    QCOMPARE(storeTestRun(path).ok(), stored);
    QCOMPARE(fixture::readFile(path).startsWith(theirs), true);
    QCOMPARE(yf::loadStoredRun(path).outputDir, stored ? QString("/srv/out") : QString());
    if (!stored)
        return;
    QVERIFY(fixture::readFile(path).size() > (1 << 20));  // the run's own lines took it past
    // The next run reads the file back and stores its own values over the last ones.
    QVERIFY(yf::storeRun(path, {"/other/in", "/other/out", "http://127.0.0.1/"}, yf::defaultBaseUrl("127.0.0.1")).ok());
    const yf::StoredRun next = yf::loadStoredRun(path);
    QCOMPARE(next.inputDir, QString("/other/in"));
    QCOMPARE(next.outputDir, QString("/other/out"));
    QCOMPARE(next.baseUrl, QString());
}

// A store killed between writing its new text and the rename leaves a hidden file; the next
// store removes it once its maker is gone, and leaves those of a store still under way and
// every name it did not make.
void TestSettingsStore::removesWhatAKilledStoreLeft()
{
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0)
        ::_exit(0);
    const QByteArray deadToken = yf::processToken(child);  // read while it is there, as a zombie
    QVERIFY(::waitpid(child, nullptr, 0) == child);
    QVERIFY(!deadToken.isEmpty());
    const QByteArray runningToken = yf::processToken(::getppid());

    QTemporaryDir tmp;
    const QString path = tmp.path() + "/config.ini";
    writeFile(path, "[RESTORE]\nInputDir=/old\n");
    const QStringList kept{".config.ini." + QString::fromLatin1(runningToken) + "-0.tmp",
                           ".config.ini.k3v9q2x7.tmp",  // an earlier version's random name
                           ".other.ini." + QString::fromLatin1(deadToken) + "-0.tmp"};
    for (const QString &name : kept)
        writeFile(tmp.path() + '/' + name, "[RESTORE]\n");
    writeFile(tmp.path() + "/.config.ini." + QString::fromLatin1(deadToken) + "-3.tmp", "[RESTORE]\n");

    QVERIFY(storeTestRun(path).ok());
    QStringList expected = kept;
    expected << "config.ini";
    expected.sort();
    QCOMPARE(fixture::filesIn(tmp.path()), expected);
    QCOMPARE(yf::readSetting("RESTORE", "InputDir", path).value(), QString("/srv/in"));
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
