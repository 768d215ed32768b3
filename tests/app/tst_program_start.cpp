// Program start without a screen: a plain word and status 2 instead of the toolkit's abort.
#include "app/program_start.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <cstdlib>
#include <vector>

class TestProgramStart : public QObject {
    Q_OBJECT

private slots:
    void graphicalSessionIsFound_data()
    {
        QTest::addColumn<QString>("variable");  // "" for none
        QTest::addColumn<QString>("argument");  // "" for none
        QTest::addColumn<bool>("found");
        QTest::newRow("nothing set") << "" << "" << false;
        QTest::newRow("X display") << "DISPLAY=:0" << "" << true;
        QTest::newRow("Wayland display") << "WAYLAND_DISPLAY=wayland-0" << "" << true;
        QTest::newRow("platform chosen by variable") << "QT_QPA_PLATFORM=offscreen" << "" << true;
        QTest::newRow("platform chosen on the command line") << "" << "-platform" << true;
        QTest::newRow("empty DISPLAY is none") << "DISPLAY=" << "" << false;
        QTest::newRow("other arguments are not a platform") << "" << "--generate" << false;
    }

    void graphicalSessionIsFound()
    {
        QFETCH(QString, variable);
        QFETCH(QString, argument);
        QFETCH(bool, found);
        const char *names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
        QList<QByteArray> saved;
        for (const char *name : names) {
            saved << qgetenv(name);
            qunsetenv(name);
        }
        if (!variable.isEmpty()) {
            const QStringList parts = variable.split('=');
            qputenv(parts[0].toLatin1().constData(), parts[1].toLatin1());
        }
        QByteArray program("yarrowfeed"), arg = argument.toLatin1(), value("offscreen");
        std::vector<char *> argv{program.data()};
        if (!arg.isEmpty())
            argv.insert(argv.end(), {arg.data(), value.data()});
        argv.push_back(nullptr);
        const bool result = yf::hasGraphicalSession(int(argv.size() - 1), argv.data());
        for (int i = 0; i < 3; ++i) {
            if (saved[i].isNull())
                qunsetenv(names[i]);
            else
                qputenv(names[i], saved[i]);
        }
        QCOMPARE(result, found);
    }

    // A display that is named but cannot be opened: a plain word and 2, never the abort.
    void realProgramWithUnreachableDisplaySaysSoAndExitsWithTwo()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        env.insert("DISPLAY", ":87");  // no X server listens there
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(YARROWFEED_PROGRAM), {});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 2);
        const QString said = QString::fromUtf8(program.readAllStandardError());
        QVERIFY2(said.contains("cannot open the display \":87\"") && said.contains("yarrowfeed --generate"),
                 qPrintable(said));
    }

    void realProgramWithoutDisplaySaysSoAndExitsWithTwo()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(YARROWFEED_PROGRAM), {});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);  // no abort, no core dump
        QCOMPARE(program.exitCode(), 2);
        const QString said = QString::fromUtf8(program.readAllStandardError());
        QCOMPARE(said.count('\n'), 1);
        QVERIFY2(said.contains("graphical session") && said.contains("yarrowfeed --generate"), qPrintable(said));
        QCOMPARE(program.readAllStandardOutput(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestProgramStart)
#include "tst_program_start.moc"
