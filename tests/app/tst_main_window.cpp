// Drives the real main window: texts, menus, focus, layout, start-up and every command.
#include "app/directory_picker.h"
#include "app/drive_picker.h"
#include "app/main_window.h"
#include "fixture.h"
#include "window_testing.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using window_testing::twelveEnabled;
using yf::Form1;

namespace {

class FixedClock : public yf::Clock {
public:
    qint64 nowSecs() const override { return 1700000000; }
};

const QString kAddress = QStringLiteral("192.0.2.7");

// What a message box showed, and how the window looked while it was up.
struct BoxSeen {
    bool shown = false;
    QString title, text, informative;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<bool> twelveEnabled;
    bool label3Enabled = false, label4Enabled = false;
    bool menuBarEntriesEnabled = true;
};

// Answers the next modal message box: notes what it shows and presses its OK button.
class BoxAnswerer : public QObject {
public:
    BoxAnswerer(const Form1 &w, BoxSeen &seen)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, &w, &seen] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            m_timer.stop();
            seen = BoxSeen{true, box->windowTitle(), box->text(), box->informativeText(), box->icon(),
                           twelveEnabled(w), w.Label3->isEnabled(), w.Label4->isEnabled(),
                           w.menu_file->menuAction()->isEnabled() || w.menu_action->menuAction()->isEnabled()};
            box->button(QMessageBox::Ok)->click();
        });
        m_timer.start(10);
    }

private:
    QTimer m_timer;
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_root, m_settings, m_startDir;
    FixedClock m_clock;
    QStringList m_opened;        // folders handed to the file browser
    bool m_browserStarts = true;

    std::unique_ptr<Form1> openWindow()
    {
        auto w = std::make_unique<Form1>(
            m_settings, [] { return kAddress; }, m_clock,
            [this](const QString &folder) {
                m_opened << folder;
                return m_browserStarts;
            });
        w->show();
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()))
            return nullptr;
        return w;
    }

    void writeSettings(const QString &input, const QString &output)
    {
        fixture::makeTree(m_root, {"config.ini=[RESTORE]\nInputDir=" + input + "\nOutputDir=" + output + "\n"});
    }

    static QStringList feedLinks(const QString &feedFile)
    {
        QStringList links;
        for (const QByteArray &line : fixture::readFile(feedFile).split('\n')) {
            if (line.startsWith("<link>"))
                links << QString::fromUtf8(line.trimmed().mid(6).chopped(7));
        }
        return links;
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_root = m_tmp->path();
        m_settings = m_root + "/config.ini";
        m_opened.clear();
        m_browserStarts = true;
        fixture::makeTree(m_root, {"cwd/", "out/", "in/A/", "in/B/x.mp3", "in/C/D/", "in/C/E/y.mp3"});
        m_startDir = QDir::currentPath();
        QDir::setCurrent(m_root + "/cwd");
    }

    void cleanup()
    {
        QDir::setCurrent(m_startDir);
        m_tmp.reset();
    }

    void showsItsTexts()
    {
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(w->windowTitle(), QStringLiteral("Yarrowfeed v.1.0.2"));
        QCOMPARE(w->Frame1->title(), QStringLiteral("Step 1 - Input Directory"));
        QCOMPARE(w->Frame2->title(), QStringLiteral("Step 2 - Output Directory"));
        QCOMPARE(w->Frame3->title(), QStringLiteral("Step 3 - Optional (For advanced users only)"));
        QCOMPARE(w->Label1->text(), QStringLiteral("Change this only if you are hosting on a different machine "
                                                   "or requires a different URL output."));
        QCOMPARE(w->Label2->text(), QStringLiteral(" e.g.    http://xxx.xxx.xxx.xxx:1234/~user01/"));
        QCOMPARE(w->Label3->text(), QStringLiteral("Select the directory you wish to process."));
        QCOMPARE(w->Label4->text(), QStringLiteral("Select the output directory for the generated file(s)."));
        for (const QGroupBox *frame : {w->Frame1, w->Frame2, w->Frame3})
            QVERIFY(frame->font().bold());
        for (const QWidget *inside : {static_cast<QWidget *>(w->Label1), static_cast<QWidget *>(w->Text1),
                                      static_cast<QWidget *>(w->Dir1), static_cast<QWidget *>(w->Label3)})
            QVERIFY(!inside->font().bold());
        const QList<QSize> iconSizes = w->windowIcon().availableSizes();
        QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
    }

    void menusCaptionsAndShortcuts()
    {
        auto w = openWindow();
        QVERIFY(w);
        const QList<QAction *> bar = w->menuBar()->actions();
        QCOMPARE(bar.size(), 2);
        QCOMPARE(bar[0], w->menu_file->menuAction());
        QCOMPARE(bar[1], w->menu_action->menuAction());
        QCOMPARE(w->menu_file->title(), QStringLiteral("File"));
        QCOMPARE(w->menu_action->title(), QStringLiteral("Actions"));
        QCOMPARE(w->menu_file->actions(), QList<QAction *>{w->menu_file_exit});
        QCOMPARE(w->menu_action->actions(),
                 (QList<QAction *>{w->menu_actions_generate, w->space1, w->menu_action_outdir}));
        QVERIFY(w->space1->isSeparator());
        QCOMPARE(w->menu_file_exit->text(), QStringLiteral("E&xit"));
        QCOMPARE(w->menu_actions_generate->text(), QStringLiteral("Generate RSS"));
        QCOMPARE(w->menu_action_outdir->text(), QStringLiteral("View Output Directory"));
        QCOMPARE(w->menu_file_exit->shortcut(), QKeySequence(QStringLiteral("Ctrl+X")));
        QCOMPARE(w->menu_actions_generate->shortcut(), QKeySequence(QStringLiteral("Ctrl+G")));
        QCOMPARE(w->menu_action_outdir->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    }

    void focusStartsOnDrive1AndFollowsTheSteps()
    {
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(QApplication::focusWidget(), w->Drive1);
        for (QWidget *next : {static_cast<QWidget *>(w->Dir1), static_cast<QWidget *>(w->Drive2),
                              static_cast<QWidget *>(w->Dir2), static_cast<QWidget *>(w->Text1),
                              static_cast<QWidget *>(w->Drive1)}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
    }

    void layoutIsTheTableScaledSoEveryTextFits()
    {
        auto w = openWindow();
        QVERIFY(w);
        const double s = w->layoutScale();
        const auto px = [s](int twips) { return qRound(twips * s / 15); };
        QCOMPARE(w->centralWidget()->size(), QSize(px(4950), px(5655)));
        QCOMPARE(w->Frame2->geometry(), QRect(px(2520), px(120), px(2295), px(3615)));
        QCOMPARE(w->Dir1->geometry(), QRect(px(120), px(1320), px(2055), px(2115)));
        QCOMPARE(w->Text1->geometry(), QRect(px(120), px(1200), px(4455), px(285)));
        QCOMPARE(w->minimumSize(), w->maximumSize());  // fixed size

        for (const QLabel *label : {w->Label1, w->Label2, w->Label3, w->Label4}) {
            const int flags = label->wordWrap() ? Qt::TextWordWrap : 0;
            const QRect need = label->fontMetrics().boundingRect(label->contentsRect(), flags, label->text());
            QVERIFY2(label->contentsRect().contains(need), qPrintable(label->text()));
        }
        for (const QGroupBox *frame : {w->Frame1, w->Frame2, w->Frame3})
            QVERIFY(frame->fontMetrics().horizontalAdvance(frame->title()) < frame->width());
        QVERIFY(w->Drive1->height() >= w->Drive1->minimumSizeHint().height());
        QVERIFY(w->Text1->height() >= w->Text1->minimumSizeHint().height());
    }

    void startUpRestoresDirectories_data()
    {
        QTest::addColumn<QString>("stored");  // "" for no settings file; "|" separates input and output
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::newRow("no settings file") << "" << "cwd" << "cwd";
        QTest::newRow("both stored") << "in|out" << "in" << "out";
        QTest::newRow("stored input no longer exists") << "gone|out" << "cwd" << "out";
        QTest::newRow("stored output is a file") << "in|in/B/x.mp3" << "in" << "cwd";
    }

    void startUpRestoresDirectories()
    {
        QFETCH(QString, stored);
        QFETCH(QString, input);
        QFETCH(QString, output);
        if (!stored.isEmpty()) {
            const QStringList parts = stored.split('|');
            writeSettings(m_root + '/' + parts[0], m_root + '/' + parts[1]);
        }
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(w->Dir1->path(), m_root + '/' + input);
        QCOMPARE(w->Dir2->path(), m_root + '/' + output);
        QVERIFY(QDir::currentPath().startsWith(w->Drive1->drive()));  // the drives do not follow
        QCOMPARE(w->Drive1->drive(), w->Drive2->drive());
        QCOMPARE(w->Text1->text(), "http://" + kAddress + "/");
        QCOMPARE(twelveEnabled(*w), QList<bool>(12, true));
    }

    void generateWithCtrlG()
    {
        writeSettings(m_root + "/in", m_root + "/out");
        auto w = openWindow();
        QVERIFY(w);
        BoxSeen seen;
        BoxAnswerer answerer(*w, seen);
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);

        QTRY_VERIFY(seen.shown);
        QCOMPARE(seen.title, QStringLiteral("Complete!"));
        QCOMPARE(seen.text, QStringLiteral("\"5\" XML files generated."));
        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(seen.twelveEnabled, QList<bool>(12, false));
        QVERIFY(seen.label3Enabled && seen.label4Enabled);
        QVERIFY(!seen.menuBarEntriesEnabled);
        QCOMPARE(twelveEnabled(*w), QList<bool>(12, true));
        QCOMPARE(fixture::filesIn(m_root + "/out"),
                 (QStringList{"-A-.xml", "-B-.xml", "-C-.xml", "-C-D-.xml", "-C-E-.xml"}));
        QCOMPARE(w->runState().List1.listCount(), 6);
        const QByteArray settings = fixture::readFile(m_settings);
        QVERIFY(settings.contains(("InputDir=" + m_root + "/in").toUtf8()));
        QVERIFY(settings.contains(("OutputDir=" + m_root + "/out").toUtf8()));
    }

    // A run that fails reports what failed and gives the window back.
    void generateIntoMissingOutputDirectory()
    {
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(w->Dir1->setPath(m_root + "/in"));
        QVERIFY(w->Dir2->setPath(m_root + "/out"));
        QVERIFY(QDir(m_root + "/out").removeRecursively());
        BoxSeen seen;
        BoxAnswerer answerer(*w, seen);
        w->menu_actions_generate->trigger();

        QTRY_VERIFY(seen.shown);
        QCOMPARE(seen.title, QStringLiteral("Yarrowfeed"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QVERIFY2(seen.text.contains(m_root + "/out") && seen.text.contains("No such file or directory") &&
                     seen.text.contains("0 feed file(s)"),
                 qPrintable(seen.text));
        QCOMPARE(seen.twelveEnabled, QList<bool>(12, false));
        QCOMPARE(twelveEnabled(*w), QList<bool>(12, true));
        QVERIFY(w->isVisible());
        QVERIFY(fixture::readFile(m_settings).contains("InputDir="));  // stored before the first feed
    }

    // The feeds are written, so the run completes as usual; the settings that could not be
    // stored are not worth a message.
    void unstorableSettingsStaySilent()
    {
        m_settings = m_root + "/no such folder/config.ini";
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(w->Dir1->setPath(m_root + "/in"));
        QVERIFY(w->Dir2->setPath(m_root + "/out"));
        BoxSeen seen;
        BoxAnswerer answerer(*w, seen);
        w->menu_actions_generate->trigger();

        QTRY_VERIFY(seen.shown);
        QCOMPARE(seen.title, QStringLiteral("Complete!"));
        QCOMPARE(seen.text, QStringLiteral("\"5\" XML files generated."));
        QCOMPARE(seen.informative, QString());
    }

    void highlightedSubfolderMovesTheLinkRoot_data()
    {
        QTest::addColumn<QString>("highlighted");
        QTest::addColumn<QString>("link");
        QTest::newRow("input directory itself") << "in" << "http://host/in/B/x.mp3";
        QTest::newRow("sub-folder highlighted, not opened") << "in/C" << "http://host/B/x.mp3";
    }

    void highlightedSubfolderMovesTheLinkRoot()
    {
        QFETCH(QString, highlighted);
        QFETCH(QString, link);
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(w->Dir1->setPath(m_root + "/in"));
        QVERIFY(w->Dir2->setPath(m_root + "/out"));
        QVERIFY(w->Dir1->highlight(m_root + '/' + highlighted));
        w->Text1->setText("http://host/");
        BoxSeen seen;
        BoxAnswerer answerer(*w, seen);
        w->menu_actions_generate->trigger();

        QTRY_VERIFY(seen.shown);
        QCOMPARE(seen.text, QStringLiteral("\"5\" XML files generated."));
        QCOMPARE(w->Dir1->path(), m_root + "/in");
        QCOMPARE(fixture::filesIn(m_root + "/out"),
                 (QStringList{"-A-.xml", "-B-.xml", "-C-.xml", "-C-D-.xml", "-C-E-.xml"}));
        QCOMPARE(feedLinks(m_root + "/out/-B-.xml"), (QStringList{"http://host/", link}));
    }

    void driveChangeMovesItsDirectoryPicker_data()
    {
        QTest::addColumn<bool>("output");  // Drive2/Dir2 instead of Drive1/Dir1
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("expected");  // where the directory picker then stands
        QTest::newRow("input, volume ready") << false << "in/C" << "in/C";
        QTest::newRow("input, volume not ready") << false << "gone" << "cwd";
        QTest::newRow("output, volume ready") << true << "out" << "out";
        QTest::newRow("output, volume not ready") << true << "gone" << "cwd";
    }

    void driveChangeMovesItsDirectoryPicker()
    {
        QFETCH(bool, output);
        QFETCH(QString, volume);
        QFETCH(QString, expected);
        auto w = openWindow();
        QVERIFY(w);
        yf::DrivePicker *drive = output ? w->Drive2 : w->Drive1;
        yf::DirectoryPicker *moved = output ? w->Dir2 : w->Dir1;
        yf::DirectoryPicker *other = output ? w->Dir1 : w->Dir2;
        drive->setVolumes({{"/", ""}, {m_root + '/' + volume, "Test"}}, "/");
        BoxSeen seen;
        BoxAnswerer answerer(*w, seen);
        drive->setCurrentIndex(1);
        QTest::qWait(50);

        QVERIFY(!seen.shown);  // a volume that is not ready is passed over silently
        QCOMPARE(drive->currentIndex(), 1);
        QCOMPARE(moved->path(), m_root + '/' + expected);
        QCOMPARE(other->path(), m_root + "/cwd");
    }

    void viewOutputDirectory_data()
    {
        QTest::addColumn<bool>("browserStarts");
        QTest::newRow("browser starts") << true;
        QTest::newRow("browser cannot start") << false;
    }

    void viewOutputDirectory()
    {
        QFETCH(bool, browserStarts);
        m_browserStarts = browserStarts;
        fixture::makeTree(m_root, {"my output/"});
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(w->Dir2->setPath(m_root + "/my output"));
        BoxSeen seen;
        BoxAnswerer answerer(*w, seen);
        QTest::keyClick(w.get(), Qt::Key_O, Qt::ControlModifier);
        QTest::qWait(50);

        QCOMPARE(m_opened, QStringList{m_root + "/my output"});
        QCOMPARE(seen.shown, !browserStarts);
        if (!browserStarts) {
            QCOMPARE(seen.title, QStringLiteral("Yarrowfeed"));
            QCOMPARE(seen.icon, QMessageBox::Warning);
            QVERIFY(seen.text.contains(m_root + "/my output"));
        }
        QVERIFY(w->isVisible());
    }

    void ctrlXInTheBaseUrlCuts()
    {
        auto w = openWindow();
        QVERIFY(w);
        w->Text1->setFocus();
        w->Text1->selectAll();
        QTest::keyClick(w->Text1, Qt::Key_X, Qt::ControlModifier);
        QTest::qWait(20);
        QVERIFY(w->isVisible());
        QCOMPARE(w->Text1->text(), QString());
        QCOMPARE(QApplication::clipboard()->text(), "http://" + kAddress + "/");
    }

    void exitEndsWithStatusZeroAndStoresNothing()
    {
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(w->Dir1->setPath(m_root + "/in"));
        w->Dir1->setFocus();
        QTimer::singleShot(0, w.get(), [&] { QTest::keyClick(w->Dir1, Qt::Key_X, Qt::ControlModifier); });
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });  // the test's own guard
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!w->isVisible());
        QVERIFY(!QFile::exists(m_settings));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
