// The command line's tags switch in-process: which options it takes, and the run and the
// stored value it makes of them with what the settings file holds.
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "fixture.h"
#include "settings/ini_file.h"

#include <QStandardPaths>
#include <QTemporaryDir>

using namespace yf;
using namespace yf::cli;

namespace {

QStringList args(const QString &line) { return QStringList{QStringLiteral("yarrowfeed")} + line.split(' ', Qt::SkipEmptyParts); }

} // namespace

class TestCliTagsSwitch : public QObject {
    Q_OBJECT

    QTemporaryDir m_cache;  // the user's cache folder, so no test reaches the real one

private slots:
    void initTestCase()
    {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache.path()));
        QCoreApplication::setApplicationName(QStringLiteral("yarrowfeed"));
    }

    void bothSwitchesAreAUsageMistake_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("--tags then --no-tags") << "--generate --tags --no-tags";
        QTest::newRow("--no-tags then --tags, with --watch") << "--watch --no-tags --input /a --tags";
    }
    void bothSwitchesAreAUsageMistake()
    {
        QFETCH(QString, line);
        const Result<Options> parsed = parseOptions(args(line));
        QVERIFY(!parsed.ok());
        QCOMPARE(parsed.error().kind, ErrorKind::BadInput);
        const QString sentence = parsed.error().operation;
        QVERIFY2(sentence.contains("--tags") && sentence.contains("--no-tags"), qPrintable(sentence));
        QCOMPARE(usageReport(sentence).exitStatus, int(ExitUsage));
    }

    // A switch given wins over the stored one; without one the stored choice holds, and a
    // settings file that never held it means off. The run stores what it ran with.
    void switchFromOptionsOrStore_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("stored");  // the "Tags" value in section OPTIONS; "-" for none
        QTest::addColumn<bool>("readTags");
        QTest::newRow("neither, nothing stored: off") << "" << "-" << false;
        QTest::newRow("neither, stored on") << "" << "1" << true;
        QTest::newRow("neither, stored as another word: off") << "" << "true" << false;
        QTest::newRow("--tags, nothing stored") << "--tags" << "-" << true;
        QTest::newRow("--tags, stored on") << "--tags" << "1" << true;
        QTest::newRow("--no-tags, stored on") << "--no-tags" << "1" << false;
        QTest::newRow("--no-tags, nothing stored") << "--no-tags" << "-" << false;
    }
    void switchFromOptionsOrStore()
    {
        QFETCH(QString, option);
        QFETCH(QString, stored);
        QFETCH(bool, readTags);
        QTemporaryDir tmp;
        const QString ini = tmp.filePath("config.ini");
        fixture::makeTree(tmp.path(), {"in/Show/ep.mp3", "out/"});
        QVERIFY(writeSetting("RESTORE", "InputDir", tmp.filePath("in"), ini).ok());
        QVERIFY(writeSetting("RESTORE", "OutputDir", tmp.filePath("out"), ini).ok());
        if (stored != "-")
            QVERIFY(writeSetting("OPTIONS", "Tags", stored, ini).ok());
        const Result<Options> options = parseOptions(args("--generate " + option));
        QVERIFY(options.ok());
        QCOMPARE(options.value().tags.has_value(), !option.isEmpty());
        const Result<CommandLineRun> run = resolveRun(options.value(), ini, QStringLiteral("10.1.2.3"));
        QVERIFY(run.ok());
        QCOMPARE(run.value().request.readTags, readTags);
        QCOMPARE(run.value().request.tagCacheFile, m_cache.path() + "/yarrowfeed/tags.sqlite");

        // What the run leaves in the settings file, through the same path a real run takes.
        CommandLineObserver observer(-1, false);
        const Report report = runAndReport(run.value(), observer, true);
        QCOMPARE(report.exitStatus, int(ExitOk));
        QVERIFY(QFile::exists(tmp.filePath("out/-Show-.xml")));
        QCOMPARE(fixture::setting("OPTIONS", "Tags", ini), readTags ? QStringLiteral("1") : QString());
        if (!readTags)
            QVERIFY(!fixture::readFile(ini).toLower().contains("tags="));
    }
};

QTEST_GUILESS_MAIN(TestCliTagsSwitch)
#include "tst_cli_tags_switch.moc"
