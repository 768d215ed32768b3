// The window as a desktop program: where its settings live, the remembered base URL, the
// base URL check, skipped folders in the report, Ctrl+Q, and Escape during a run.
#include "app/main_window.h"
#include "app/run_progress_dialog.h"
#include "fixture.h"
#include "settings/settings_location.h"
#include "window_testing.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>
#include <sys/wait.h>
#include <unistd.h>

using window_testing::twelveEnabled;
using yf::Form1;

namespace {

// Read once after each feed, so a test can make a run last as long as it needs.
class TestClock : public yf::Clock {
public:
    int delayMs = 0;
    qint64 nowSecs() const override
    {
        if (delayMs > 0)
            QThread::msleep(static_cast<unsigned long>(delayMs));
        return 1700000000;
    }
};

struct BoxSeen {
    bool shown = false;
    QString title, text, details;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<bool> twelveEnabled;
    bool running = false;
};

// Notes each modal message box and answers it with OK.
class BoxWatcher : public QObject {
public:
    QList<BoxSeen> seen;
    explicit BoxWatcher(const Form1 &w)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, &w] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen << BoxSeen{true, box->windowTitle(), box->text(), box->detailedText(), box->icon(),
                            twelveEnabled(w), w.isRunning()};
            box->button(QMessageBox::Ok)->click();
        });
        m_timer.start(10);
    }

private:
    QTimer m_timer;
};

const QString kAddress = QStringLiteral("192.0.2.7");
const QString kDefaultUrl = "http://" + kAddress + "/";

// The settings file an ordinary user gets. Root may write every folder, so as root the
// choice is made in a child process that has given up its privileges.
QString chosenAsUser(const QString &programDir, const QString &configDir)
{
    if (::geteuid() != 0)
        return yf::settingsFilePath(programDir, configDir);
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const QByteArray chosen = yf::settingsFilePath(programDir, configDir).toUtf8();
        const bool sent = ::write(fds[1], chosen.constData(), size_t(chosen.size())) == chosen.size();
        ::_exit(sent ? 0 : 4);
    }
    ::close(fds[1]);
    QByteArray chosen;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        chosen.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? QString::fromUtf8(chosen) : QString();
}

} // namespace

class TestDesktopWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_root, m_settings, m_startDir;
    TestClock m_clock;

    std::unique_ptr<Form1> openWindow()
    {
        auto w = std::make_unique<Form1>(
            m_settings, [] { return kAddress; }, m_clock, [](const QString &) { return true; });
        w->show();
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()))
            return nullptr;
        return w;
    }

    // One run over in/ into out/ with `baseUrl` in Text1; returns what the window said.
    QList<BoxSeen> generate(Form1 &w, const QString &baseUrl)
    {
        if (!w.Dir1->setPath(m_root + "/in") || !w.Dir2->setPath(m_root + "/out"))
            return {};
        w.Text1->setText(baseUrl);
        BoxWatcher boxes(w);
        w.menu_actions_generate->trigger();
        if (!QTest::qWaitFor([&] { return !boxes.seen.isEmpty() && !w.isRunning(); }, 30000))
            return {};
        QTest::qWait(20);
        return boxes.seen;
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_root = m_tmp->path();
        m_settings = m_root + "/config.ini";
        m_clock.delayMs = 0;
        fixture::makeTree(m_root, {"cwd/", "out/", "in/A/a.mp3", "in/B/b.mp3"});
        m_startDir = QDir::currentPath();
        QDir::setCurrent(m_root + "/cwd");
    }

    void cleanup()
    {
        QDir::setCurrent(m_startDir);
        ::chmod(QFile::encodeName(m_root + "/program").constData(), 0755);
        m_tmp.reset();
    }

    void settingsLiveWhereTheUserMayWrite_data()
    {
        QTest::addColumn<QString>("programMode");   // the program directory's mode
        QTest::addColumn<QString>("besideMode");    // config.ini beside the program; "" for none
        QTest::addColumn<bool>("beside");           // expected: beside the program
        QTest::newRow("writable program directory") << "777" << "" << true;
        QTest::newRow("read-only program directory") << "555" << "" << false;
        QTest::newRow("read-only directory, writable config.ini") << "555" << "666" << true;
        QTest::newRow("read-only directory and config.ini") << "555" << "444" << false;
    }

    // The settings go where they can be written, and the next start reads them back there.
    void settingsLiveWhereTheUserMayWrite()
    {
        QFETCH(QString, programMode);
        QFETCH(QString, besideMode);
        QFETCH(bool, beside);
        const QString program = m_root + "/program";
        const QString config = m_root + "/home/.config/yarrowfeed";
        // The child that chooses as an ordinary user must reach the folders.
        QCOMPARE(::chmod(QFile::encodeName(m_root).constData(), 0755), 0);
        fixture::makeTree(m_root, {"program/", "home/.config/yarrowfeed/", "home/!777", "home/.config/!777",
                                   "home/.config/yarrowfeed/!777"});
        if (!besideMode.isEmpty())
            fixture::makeTree(m_root, {"program/config.ini=[RESTORE]\nOutputDir=/nowhere\n",
                                       "program/config.ini/!" + besideMode});
        fixture::makeTree(m_root, {"program/!" + programMode});

        m_settings = chosenAsUser(program, config);
        QCOMPARE(m_settings, (beside ? program : config) + "/config.ini");
        if (::geteuid() != 0 || beside || besideMode.isEmpty()) {
            {
                auto w = openWindow();
                QVERIFY(w);
                const QList<BoxSeen> said = generate(*w, kDefaultUrl);
                QCOMPARE(said.size(), 1);
                QCOMPARE(said.first().title, QStringLiteral("Complete!"));
            }
            auto again = openWindow();
            QVERIFY(again);
            QCOMPARE(again->Dir1->path(), m_root + "/in");
            QCOMPARE(again->Dir2->path(), m_root + "/out");
        }
        if (!beside && besideMode == "444")
            QVERIFY(fixture::readFile(program + "/config.ini").contains("OutputDir=/nowhere"));
    }

    void baseUrlIsRememberedUnlessDefault()
    {
        const QString other = QStringLiteral("http://media.example:8080/~pod/");
        {
            auto w = openWindow();
            QVERIFY(w);
            QCOMPARE(w->Text1->text(), kDefaultUrl);
            QCOMPARE(generate(*w, other).size(), 1);
        }
        QVERIFY(fixture::readFile(m_settings).contains(("BaseUrl=" + other).toUtf8()));
        {
            auto w = openWindow();
            QVERIFY(w);
            QCOMPARE(w->Text1->text(), other);  // restored instead of the default
            QCOMPARE(generate(*w, kDefaultUrl).size(), 1);
        }
        const QByteArray stored = fixture::readFile(m_settings);
        QVERIFY(!stored.contains("BaseUrl"));
        QVERIFY(stored.contains(("InputDir=" + m_root + "/in").toUtf8()));
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(w->Text1->text(), kDefaultUrl);
    }

    void refusedBaseUrlIsSaidBeforeAnythingRuns_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("no scheme") << "192.0.2.7/music/";
        QTest::newRow("http without a host") << "http:///music/";
        QTest::newRow("empty") << "";
    }

    void refusedBaseUrlIsSaidBeforeAnythingRuns()
    {
        QFETCH(QString, typed);
        auto w = openWindow();
        QVERIFY(w);
        const QList<BoxSeen> said = generate(*w, typed);
        QCOMPARE(said.size(), 1);
        QCOMPARE(said.first().title, QStringLiteral("Yarrowfeed"));
        QCOMPARE(said.first().icon, QMessageBox::Critical);
        QVERIFY2(said.first().text.contains("base URL"), qPrintable(said.first().text));
        QCOMPARE(said.first().twelveEnabled, QList<bool>(12, true));  // nothing greyed out
        QVERIFY(!said.first().running);
        QCOMPARE(fixture::filesIn(m_root + "/out"), QStringList());
        QVERIFY(!QFile::exists(m_settings));
        QCOMPARE(w->runState().List1.listCount(), 0);
    }

    void skippedFoldersAreListedUnderDetails()
    {
        auto w = openWindow();
        QVERIFY(w);
        yf::RunOutcome outcome;
        outcome.feedsWritten = 3;
        outcome.skipped.push_back(yf::Error{yf::ErrorKind::ListFolder, "Cannot list folder", "/music/Locked",
                                            "Permission denied", 13});
        outcome.skipped.push_back(yf::Error{yf::ErrorKind::ReadEntry, "Cannot read entry", "/music/Gone/x.mp3",
                                            "No such file or directory", 2});
        BoxWatcher boxes(*w);
        w->reportOutcome(outcome);
        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen.first().title, QStringLiteral("Complete!"));
        QCOMPARE(boxes.seen.first().text, QStringLiteral("\"3\" XML files generated."));
        QCOMPARE(boxes.seen.first().details,
                 QStringLiteral("Cannot list folder \"/music/Locked\": Permission denied\n"
                                "Cannot read entry \"/music/Gone/x.mp3\": No such file or directory"));

        outcome.skipped.clear();
        w->reportOutcome(outcome);
        QCOMPARE(boxes.seen.size(), 2);
        QCOMPARE(boxes.seen.last().details, QString());
    }

    void ctrlQEndsTheProgramLikeExit()
    {
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(w->menu_file_exit->shortcuts(),
                 (QList<QKeySequence>{QKeySequence("Ctrl+X"), QKeySequence("Ctrl+Q")}));
        w->Text1->setFocus();  // Ctrl+X would cut here; Ctrl+Q still quits
        QTimer::singleShot(0, w.get(), [&] { QTest::keyClick(w->Text1, Qt::Key_Q, Qt::ControlModifier); });
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });  // the test's own guard
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!w->isVisible());
        QVERIFY(!QFile::exists(m_settings));
    }

    void escapeCancelsWhereverTheFocusIs_data()
    {
        QTest::addColumn<bool>("waitForProgress");
        QTest::newRow("before the progress display appears") << false;
        QTest::newRow("progress display up, focus back on the window") << true;
    }

    void escapeCancelsWhereverTheFocusIs()
    {
        QFETCH(bool, waitForProgress);
        QStringList tree;
        for (int folder = 0; folder < 10; ++folder)
            for (int file = 0; file < 40; ++file)
                tree << QStringLiteral("in/Show %1/episode %2.mp3").arg(folder).arg(file);
        fixture::makeTree(m_root, tree);
        m_clock.delayMs = 400;  // read once per feed: ten feeds, four seconds
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(w->Dir1->setPath(m_root + "/in"));
        QVERIFY(w->Dir2->setPath(m_root + "/out"));
        BoxWatcher boxes(*w);
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);
        QVERIFY(w->isRunning());
        if (waitForProgress) {
            QTRY_VERIFY_WITH_TIMEOUT(w->progressDialog() && w->progressDialog()->isVisible(), 3000);
            // It takes the focus as it appears, so Escape reaches it first.
            QTRY_COMPARE(QApplication::focusWidget(), w->progressDialog()->cancelButton());
            // The window counts as active while its dialog is; make it the active one itself.
            QApplication::setActiveWindow(w.get());
            QTRY_COMPARE(QApplication::activeWindow(), w.get());
        }
        QVERIFY(w->isRunning());
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 1, 30000);
        QCOMPARE(boxes.seen.first().title, QStringLiteral("Cancelled"));
        QVERIFY(!w->isRunning());
        QVERIFY(!w->cancelRunAction()->isEnabled());  // Escape means nothing outside a run
    }
};

QTEST_MAIN(TestDesktopWindow)
#include "tst_desktop_window.moc"
