// Long runs from the window: progress, responsiveness, Cancel, closing mid-run, small runs.
#include "app/main_window.h"
#include "app/run_progress_dialog.h"
#include "fixture.h"
#include "window_testing.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

using window_testing::twelveEnabled;
using yf::Form1;

namespace {

// The run reads its clock once per feed: at 120 ms a read, ten feeds make a run of about a second.
class SlowClock : public yf::Clock {
public:
    int delayMs = 0;
    qint64 nowSecs() const override
    {
        if (delayMs > 0)
            QThread::msleep(static_cast<unsigned long>(delayMs));
        return 1700000000;
    }
};

// Notes every message box that comes up and answers it with OK.
class BoxWatcher : public QObject {
public:
    QStringList boxes;  // "title|text"
    BoxWatcher()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes << box->windowTitle() + '|' + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start(10);
    }

private:
    QTimer m_timer;
};

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
    SlowClock m_clock;

    std::unique_ptr<Form1> openWindow()
    {
        auto w = std::make_unique<Form1>(
            m_tmp->path() + "/config.ini", [] { return QStringLiteral("127.0.0.1"); }, m_clock,
            [](const QString &) { return true; });
        w->show();
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()) || !w->Dir1->setPath(m_in) || !w->Dir2->setPath(m_out))
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

    static bool writingAtLeastOne(const Form1 &w)
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
        QStringList tree{"out/"};
        for (int folder = 0; folder < 10; ++folder)
            for (int file = 0; file < 40; ++file)
                tree << QStringLiteral("in/Show %1/episode %2.mp3").arg(folder).arg(file);
        fixture::makeTree(m_tmp->path(), tree);
        m_clock.delayMs = 120;
    }

    void longRunShowsProgressAndStaysResponsive()
    {
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes;
        LatencyProbe probe(w.get());
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);
        QVERIFY(w->isRunning());
        QCOMPARE(twelveEnabled(*w), QList<bool>(12, false));

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

        QTRY_COMPARE(boxes.boxes, QStringList{"Complete!|\"10\" XML files generated."});
        QCOMPARE(twelveEnabled(*w), QList<bool>(12, true));
        QVERIFY(!w->progressDialog());
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
        BoxWatcher boxes;
        w->menu_actions_generate->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(writingAtLeastOne(*w), 5000);
        if (escape)
            QTest::keyClick(w->progressDialog(), Qt::Key_Escape);
        else
            w->progressDialog()->cancelButton()->click();

        QTRY_COMPARE_WITH_TIMEOUT(boxes.boxes.size(), 1, 5000);
        const int written = completeFeeds();
        QVERIFY(written >= 1 && written < 10);
        QCOMPARE(boxes.boxes.first(),
                 QStringLiteral("Cancelled|\"%1\" XML files generated before the run was cancelled.").arg(written));
        QCOMPARE(twelveEnabled(*w), QList<bool>(12, true));
        QVERIFY(fixture::readFile(m_tmp->path() + "/config.ini").contains("InputDir="));
    }

    void closingMidRunEndsCleanly()
    {
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes;
        w->menu_actions_generate->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(writingAtLeastOne(*w), 5000);
        QVERIFY(w->close());
        QVERIFY(!w->isVisible());
        const int written = completeFeeds();
        QVERIFY(written >= 1 && written < 10);
        QTest::qWait(200);
        QCOMPARE(boxes.boxes, QStringList());
        QVERIFY(!w->isRunning());
        QCOMPARE(completeFeeds(), written);  // nothing went on writing after the close
    }

    void secondRunCannotStartDuringRun()
    {
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes;
        w->menu_actions_generate->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(writingAtLeastOne(*w), 5000);
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);
        w->menu_actions_generate_Click();
        QTRY_VERIFY_WITH_TIMEOUT(!w->isRunning(), 10000);
        QTest::qWait(200);
        QCOMPARE(boxes.boxes, QStringList{"Complete!|\"10\" XML files generated."});
    }

    void smallRunShowsNoProgress()
    {
        m_clock.delayMs = 0;
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes;
        bool progressSeen = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] { progressSeen = progressSeen || w->progressDialog(); });
        watch.start(5);
        w->menu_actions_generate->trigger();
        QTRY_COMPARE(boxes.boxes, QStringList{"Complete!|\"10\" XML files generated."});
        QVERIFY(!progressSeen);
        QCOMPARE(completeFeeds(), 10);
    }
};

QTEST_MAIN(TestBackgroundRun)
#include "tst_background_run.moc"
