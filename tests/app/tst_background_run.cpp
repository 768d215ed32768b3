// Runs from the window: what they grey out, progress, responsiveness, Cancel, closing mid-run,
// small runs.
#include "app/main_window.h"
#include "app/run_progress_dialog.h"
#include "fixture.h"
#include "window_testing.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

using window_testing::BoxWatcher;
using window_testing::greyedDuringRun;
using window_testing::greyedOut;
using window_testing::part;
using yf::MainWindow;

namespace {

// Measures how long an event posted to the window waits before the window handles it.
class LatencyProbe : public QObject {
public:
    explicit LatencyProbe(QWidget *target) : m_target(target) { target->installEventFilter(this); }
    qint64 worstMs = 0;
    int answered = 0;

    void probe()
    {
        m_sent.start();
        m_pending = true;
        QCoreApplication::postEvent(m_target, new QEvent(kProbe));
    }
    bool pending() const { return m_pending; }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != kProbe)
            return false;
        worstMs = std::max(worstMs, m_sent.elapsed());
        ++answered;
        m_pending = false;
        return true;
    }

private:
    static constexpr QEvent::Type kProbe = QEvent::Type(QEvent::User + 17);
    QWidget *m_target;
    QElapsedTimer m_sent;
    bool m_pending = false;
};

} // namespace

class TestBackgroundRun : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_in, m_out;
    // The run reads its clock once per feed: at 120 ms a read, ten feeds make a run of about a second.
    window_testing::SlowClock m_clock;

    std::unique_ptr<MainWindow> openWindow()
    {
        auto w = window_testing::openWindow(m_tmp->path() + "/config.ini", m_clock);
        if (!w || !window_testing::choose(*w, m_in, m_out))
            return nullptr;
        return w;
    }

    // Feeds in the output directory; each must be whole, and nothing else may lie there.
    int completeFeeds()
    {
        int count = 0;
        for (const QString &name : fixture::filesIn(m_out)) {
            if (!name.endsWith(".xml") || name.startsWith('.'))
                return -1;
            if (!fixture::readFile(m_out + '/' + name).endsWith("</channel></rss>\r\n"))
                return -1;
            ++count;
        }
        return count;
    }

    static bool writingAtLeastOne(const MainWindow &w)
    {
        const yf::RunProgressDialog *d = w.progressDialog();
        return d && d->isVisible() && d->label()->text().startsWith(QStringLiteral("Writing feeds… "))
            && !d->label()->text().startsWith(QStringLiteral("Writing feeds… 0 of"));
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        m_in = m_tmp->path() + "/in";
        m_out = m_tmp->path() + "/out";
        fixture::makeTree(m_tmp->path(), QStringList{"out/"} + window_testing::tenShows("in"));
        m_clock.delayMs = 120;
    }

    void longRunShowsProgressAndStaysResponsive()
    {
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes(*w);
        LatencyProbe probe(w.get());
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);
        QVERIFY(w->isRunning());
        QCOMPARE(greyedOut(*w), greyedDuringRun());

        QTRY_VERIFY_WITH_TIMEOUT(w->progressDialog() && w->progressDialog()->isVisible(), 3000);
        // The window itself stays unblocked, so its close button still works.
        QVERIFY(!w->progressDialog()->isModal());
        QVERIFY(!QApplication::activeModalWidget());
        while (w->isRunning()) {
            probe.probe();
            QTRY_VERIFY_WITH_TIMEOUT(!probe.pending(), 1000);
            QTest::qWait(20);
        }
        QVERIFY2(probe.answered >= 10, qPrintable(QString::number(probe.answered)));
        QVERIFY2(probe.worstMs < 100, qPrintable(QString::number(probe.worstMs)));

        QTRY_COMPARE(boxes.titlesAndTexts(), QStringList{"Complete!|\"10\" XML files generated."});
        QCOMPARE(greyedOut(*w), QStringList());
        QVERIFY(!w->progressDialog());
    }

    // Keyed by what a user sees: while the run is under way, and while its answer is up,
    // nothing that could change the run's inputs can be touched and the menus do not open;
    // the instructions stay readable; afterwards everything is back.
    void aRunGreysOutWhatWouldChangeIt_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("greyed");
        QTest::newRow("input drive cannot be changed") << "inputDrivePicker" << true;
        QTest::newRow("output drive cannot be changed") << "outputDrivePicker" << true;
        QTest::newRow("input directory cannot be changed") << "inputPicker" << true;
        QTest::newRow("output directory cannot be changed") << "outputPicker" << true;
        QTest::newRow("base URL cannot be edited") << "baseUrlEdit" << true;
        QTest::newRow("input step looks inactive") << "inputGroup" << true;
        QTest::newRow("output step looks inactive") << "outputGroup" << true;
        QTest::newRow("base URL step looks inactive") << "baseUrlGroup" << true;
        QTest::newRow("base URL note looks inactive") << "baseUrlHint" << true;
        QTest::newRow("base URL example looks inactive") << "baseUrlExample" << true;
        QTest::newRow("File menu does not open") << "fileMenu" << true;
        QTest::newRow("Actions menu does not open") << "actionsMenu" << true;
        QTest::newRow("input instruction stays readable") << "inputHint" << false;
        QTest::newRow("output instruction stays readable") << "outputHint" << false;
    }

    void aRunGreysOutWhatWouldChangeIt()
    {
        QFETCH(QString, name);
        QFETCH(bool, greyed);
        m_clock.delayMs = 0;
        auto w = openWindow();
        QVERIFY(w);
        const QWidget *widget = part<QWidget>(*w, qPrintable(name));
        // What the menu bar shows for a menu; the widget itself for everything else.
        const auto usable = [&] {
            const auto *menu = qobject_cast<const QMenu *>(widget);
            return menu ? menu->isEnabled() && menu->menuAction()->isEnabled() : widget->isEnabled();
        };
        QVERIFY(usable());
        BoxWatcher boxes(*w);
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);
        QVERIFY(w->isRunning());
        QCOMPARE(usable(), !greyed);

        QTRY_COMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen.first().title, QStringLiteral("Complete!"));
        QCOMPARE(boxes.seen.first().greyedOut.contains(name), greyed);  // while the answer is up
        QVERIFY(usable());
    }

    void cancelKeepsWholeFeeds_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("Escape key") << true;
    }

    void cancelKeepsWholeFeeds()
    {
        QFETCH(bool, escape);
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes(*w);
        part<QAction>(*w, "generateAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(writingAtLeastOne(*w), 5000);
        if (escape)
            QTest::keyClick(w->progressDialog(), Qt::Key_Escape);
        else
            w->progressDialog()->cancelButton()->click();

        QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 1, 5000);
        const int written = completeFeeds();
        QVERIFY(written >= 1 && written < 10);
        QCOMPARE(boxes.seen.first().titleAndText(),
                 QStringLiteral("Cancelled|\"%1\" XML files generated before the run was cancelled.").arg(written));
        QCOMPARE(greyedOut(*w), QStringList());
        QVERIFY(fixture::readFile(m_tmp->path() + "/config.ini").contains("InputDir="));
    }

    // Closing mid-run asks first: Yes stops the run at its next folder and quits, every feed
    // written whole; No leaves the window and the run going.
    void closingMidRunAsksFirst_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::newRow("Yes: stop and quit") << true;
        QTest::newRow("No: go on") << false;
    }
    void closingMidRunAsksFirst()
    {
        QFETCH(bool, stop);
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes(*w);
        boxes.answer = stop ? QMessageBox::Yes : QMessageBox::No;
        part<QAction>(*w, "generateAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(writingAtLeastOne(*w), 5000);
        QCOMPARE(w->close(), stop);
        QVERIFY(!boxes.seen.isEmpty());
        QCOMPARE(boxes.seen.first().titleAndText(), QStringLiteral("Yarrowfeed|A run is in progress. Stop it and quit?"));
        if (!stop) {
            QVERIFY(w->isVisible());
            QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 2, 20000);
            QCOMPARE(boxes.seen.last().title, QStringLiteral("Complete!"));
            QCOMPARE(completeFeeds(), 10);
            return;
        }
        QVERIFY(!w->isVisible());
        const int written = completeFeeds();
        QVERIFY(written >= 1 && written < 10);
        QTest::qWait(200);
        QCOMPARE(boxes.seen.size(), 1);  // nothing said after the question
        QVERIFY(!w->isRunning());
        QCOMPARE(completeFeeds(), written);  // nothing went on writing after the close
    }

    void secondRunCannotStartDuringRun()
    {
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes(*w);
        part<QAction>(*w, "generateAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(writingAtLeastOne(*w), 5000);
        // Neither the key nor the command itself (the menus are greyed out, not the command)
        // starts another run.
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);
        part<QAction>(*w, "generateAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!w->isRunning(), 10000);
        QTest::qWait(200);
        QCOMPARE(boxes.titlesAndTexts(), QStringList{"Complete!|\"10\" XML files generated."});
    }

    void smallRunShowsNoProgress()
    {
        m_clock.delayMs = 0;
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes(*w);
        bool progressSeen = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] { progressSeen = progressSeen || w->progressDialog(); });
        watch.start(5);
        part<QAction>(*w, "generateAction")->trigger();
        QTRY_COMPARE(boxes.titlesAndTexts(), QStringList{"Complete!|\"10\" XML files generated."});
        QVERIFY(!progressSeen);
        QCOMPARE(completeFeeds(), 10);
    }
};

QTEST_MAIN(TestBackgroundRun)
#include "tst_background_run.moc"
