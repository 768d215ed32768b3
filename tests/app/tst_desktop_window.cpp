// The window as a desktop program: where its settings live, the remembered base URL, the
// base URL check, skipped folders and removed feeds in the report, Ctrl+Q, and Escape during a run.
#include "app/main_window.h"
#include "app/run_progress_dialog.h"
#include "fixture.h"
#include "settings/settings_location.h"
#include "window_testing.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <vector>
#include <unistd.h>

using window_testing::BoxSeen;
using window_testing::BoxWatcher;
using window_testing::greyedOut;
using window_testing::kDefaultUrl;
using window_testing::part;
using yf::DirectoryPicker;
using yf::MainWindow;

namespace {

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
    window_testing::SlowClock m_clock;

    std::unique_ptr<MainWindow> openWindow() { return window_testing::openWindow(m_settings, m_clock); }

    // One run over in/ into out/ with `baseUrl` typed in; returns what the window said.
    QList<BoxSeen> generate(MainWindow &w, const QString &baseUrl)
    {
        if (!window_testing::choose(w, m_root + "/in", m_root + "/out"))
            return {};
        part<QLineEdit>(w, "baseUrlEdit")->setText(baseUrl);
        return window_testing::generateAndWait(w);
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
            QCOMPARE(part<DirectoryPicker>(*again, "inputPicker")->path(), m_root + "/in");
            QCOMPARE(part<DirectoryPicker>(*again, "outputPicker")->path(), m_root + "/out");
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
            QCOMPARE(part<QLineEdit>(*w, "baseUrlEdit")->text(), kDefaultUrl);
            QCOMPARE(generate(*w, other).size(), 1);
        }
        QVERIFY(fixture::readFile(m_settings).contains(("BaseUrl=" + other).toUtf8()));
        {
            auto w = openWindow();
            QVERIFY(w);
            QCOMPARE(part<QLineEdit>(*w, "baseUrlEdit")->text(), other);  // restored instead of the default
            QCOMPARE(generate(*w, kDefaultUrl).size(), 1);
        }
        const QByteArray stored = fixture::readFile(m_settings);
        QVERIFY(!stored.contains("BaseUrl"));
        QVERIFY(stored.contains(("InputDir=" + m_root + "/in").toUtf8()));
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(part<QLineEdit>(*w, "baseUrlEdit")->text(), kDefaultUrl);
    }

    void refusedBaseUrlIsSaidBeforeAnythingRuns_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no scheme") << "192.0.2.7/music/" << "full address";
        QTest::newRow("http without a host") << "http:///music/" << "full address";
        QTest::newRow("empty") << "" << "full address";
        QTest::newRow("javascript") << "javascript:alert(1)" << "must start with \"http://\" or \"https://\"";
        QTest::newRow("query") << "http://192.0.2.7/music?a=1" << "must not have a query";
        QTest::newRow("fragment") << "http://192.0.2.7/music/#frag" << "must not have a fragment";
        QTest::newRow("newline at the end") << "http://192.0.2.7/music/\n" << "contains a control character";
        QTest::newRow("carriage return inside") << "http://192.0.2.7/mu\rsic/" << "contains a control character";
        QTest::newRow("tab at the start") << "\thttp://192.0.2.7/music/" << "contains a control character";
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
        QFETCH(QString, reason);
        QVERIFY2(said.first().text.contains(reason), qPrintable(said.first().text));
        QCOMPARE(said.first().greyedOut, QStringList());  // nothing greyed out
        QVERIFY(!said.first().running);
        QCOMPARE(fixture::filesIn(m_root + "/out"), QStringList());
        QVERIFY(!QFile::exists(m_settings));
    }

    // Folders the run could not read are named under the box's details, one a line; a run
    // that left nothing out has none.
    void skippedFoldersAreListedUnderDetails()
    {
        // An input directory 4,001 bytes long with two chains of folders below it that go past
        // the 4,095 bytes a path may hold: 47 levels of each fit, the 48th cannot be listed.
        QString input = m_root + "/long";
        while (input.size() < 4001 - 201)
            input += '/' + QString(200, 'p');
        input += '/' + QString(4001 - input.size() - 1, 'q');
        QVERIFY(QDir().mkpath(input));
        const auto removeChains = qScopeGuard([&] {
            for (const char *link : {"d", "e"})
                fixture::removeChain(QFile::encodeName(input), link);
        });
        for (const char *link : {"d", "e"})
            QVERIFY(fixture::makeChain(QFile::encodeName(input), link, 50));
        fixture::makeTree(input, {"short/x.mp3"});

        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(window_testing::choose(*w, input, m_root + "/out"));
        QList<BoxSeen> said = window_testing::generateAndWait(*w);
        QCOMPARE(said.size(), 1);
        QCOMPARE(said.first().title, QStringLiteral("Complete!"));
        QCOMPARE(said.first().text, QStringLiteral("\"95\" XML files generated."));
        // By path, whatever order the scan met the two chains in.
        QCOMPARE(said.first().details.split('\n'), (QStringList{
                            "Cannot list folder \"" + input + '/' + QString("d/").repeated(48) + "\": File name too long",
                            "Cannot list folder \"" + input + '/' + QString("e/").repeated(48) + "\": File name too long"}));

        // Into an output directory of its own: into out/ it would remove the feeds above.
        QVERIFY(QDir().mkpath(m_root + "/out2"));
        QVERIFY(window_testing::choose(*w, m_root + "/in", m_root + "/out2"));
        said = window_testing::generateAndWait(*w);
        QCOMPARE(said.size(), 1);
        QCOMPARE(said.first().text, QStringLiteral("\"2\" XML files generated."));
        // Where to subscribe: out2 lies below the link root, so the page has an address.
        QCOMPARE(said.first().informative, "Index page: " + window_testing::kDefaultUrl + "out2/index.html");
        QCOMPARE(said.first().details, QString());
    }

    // The box says how many folders were left out and how many old feeds went, beside the
    // count of feeds written; its details list them by path, in an area a path fits in.
    void theBoxCountsWhatWasLeftOutAndRemoved()
    {
        fixture::makeTree(m_root, {"in/Old/x.mp3", "in/Zeta/", "in/Alpha/", "in/Mid/"});
        const QStringList frozen{"Zeta", "Alpha", "Mid"};
        for (const QString &name : frozen)
            QVERIFY(::chmod(QFile::encodeName(m_root + "/in/" + name).constData(), 0555) == 0);
        const auto restore = qScopeGuard([&] {
            for (const QString &name : frozen)
                ::chmod(QFile::encodeName(m_root + "/in/" + name).constData(), 0755);
        });
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(window_testing::choose(*w, m_root + "/in", m_root + "/out"));
        QList<BoxSeen> said = window_testing::generateAndWait(*w);
        QCOMPARE(said.size(), 1);
        QCOMPARE(said.first().text, QStringLiteral("\"3\" XML files generated."));
        QCOMPARE(said.first().informative,
                 "Index page: " + window_testing::kDefaultUrl + "out/index.html\n3 folders were skipped. See the details.");

        QVERIFY(QDir(m_root + "/in/Old").removeRecursively());
        // The box as the user sees it, its details shown with "Show Details...".
        BoxSeen seen;
        QSize shown, wanted;
        QTimer peek;
        connect(&peek, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            auto *details = box ? box->findChild<QTextEdit *>() : nullptr;
            if (!details)
                return;
            for (QAbstractButton *button : box->buttons())
                if (box->buttonRole(button) == QMessageBox::ActionRole)
                    button->click();
            QTest::qWait(20);
            const QFontMetrics metrics(details->font());
            shown = details->viewport()->size();
            wanted = QSize(metrics.horizontalAdvance(QString(60, 'x')), metrics.lineSpacing() * 12);
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.informative = box->informativeText();
            seen.details = box->detailedText();
            box->button(QMessageBox::Ok)->click();
        });
        peek.start(10);
        part<QAction>(*w, "generateAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!seen.title.isEmpty() && !w->isRunning(), 30000);
        QCOMPARE(seen.title, QStringLiteral("Complete!"));
        QCOMPARE(seen.text, QStringLiteral("\"2\" XML files generated."));  // the feeds written
        QCOMPARE(seen.informative, "Index page: " + window_testing::kDefaultUrl
                                       + "out/index.html\n3 folders were skipped. 1 old feed was removed. See the details.");
        const QString protectedText = QStringLiteral("\": skipped: write-protected (the owner cannot write it)");
        QCOMPARE(seen.details.split('\n'),
                 (QStringList{"Folder \"" + m_root + "/in/Alpha/" + protectedText,
                              "Folder \"" + m_root + "/in/Mid/" + protectedText,
                              "Folder \"" + m_root + "/in/Zeta/" + protectedText,
                              "Removed old feed \"" + m_root + "/out/-Old-.xml\""}));
        QVERIFY(!QFile::exists(m_root + "/out/-Old-.xml"));
        QVERIFY2(shown.width() >= wanted.width() && shown.height() >= wanted.height(),
                 qPrintable(QStringLiteral("%1x%2 shown, %3x%4 wanted")
                                .arg(shown.width()).arg(shown.height()).arg(wanted.width()).arg(wanted.height())));
    }

    void ctrlXInTheBaseUrlCuts()
    {
        auto w = openWindow();
        QVERIFY(w);
        QLineEdit *baseUrl = part<QLineEdit>(*w, "baseUrlEdit");
        baseUrl->setFocus();
        baseUrl->selectAll();
        QTest::keyClick(baseUrl, Qt::Key_X, Qt::ControlModifier);
        QTest::qWait(20);
        QVERIFY(w->isVisible());
        QCOMPARE(baseUrl->text(), QString());
        QCOMPARE(QApplication::clipboard()->text(), kDefaultUrl);
    }

    void ctrlQEndsTheProgramLikeExit()
    {
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(part<QAction>(*w, "exitAction")->shortcuts(),
                 (QList<QKeySequence>{QKeySequence("Ctrl+X"), QKeySequence("Ctrl+Q")}));
        QLineEdit *baseUrl = part<QLineEdit>(*w, "baseUrlEdit");
        baseUrl->setFocus();  // Ctrl+X would cut here; Ctrl+Q still quits
        QTimer::singleShot(0, w.get(), [&] { QTest::keyClick(baseUrl, Qt::Key_Q, Qt::ControlModifier); });
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
        fixture::makeTree(m_root, window_testing::tenShows("in"));
        m_clock.delayMs = 400;  // read once per feed: ten feeds, four seconds
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(window_testing::choose(*w, m_root + "/in", m_root + "/out"));
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
        QVERIFY(!part<QAction>(*w, "cancelRunAction")->isEnabled());  // Escape means nothing outside a run
    }
};

QTEST_MAIN(TestDesktopWindow)
#include "tst_desktop_window.moc"
