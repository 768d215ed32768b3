// Drives the real main window: texts, menus, focus, layout, start-up and every command.
#include "app/directory_picker.h"
#include "app/drive_picker.h"
#include "app/main_window.h"
#include "fixture.h"
#include "main_window_fixture.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
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

using window_testing::BoxWatcher;
using window_testing::greyedDuringRun;
using window_testing::greyedOut;
using window_testing::kAddress;
using window_testing::part;
using yf::DirectoryPicker;
using yf::DrivePicker;
using yf::MainWindow;

class TestMainWindow : public MainWindowFixture {
    Q_OBJECT

private slots:
    void init() { setUpTree(); }
    void cleanup() { tearDownTree(); }

    void showsItsTexts()
    {
        auto w = openWindow();
        QVERIFY(w);
        const auto group = [&](const char *name) { return part<QGroupBox>(*w, name); };
        const auto label = [&](const char *name) { return part<QLabel>(*w, name); };
        QCOMPARE(w->windowTitle(), QStringLiteral("Yarrowfeed v.1.0.2"));
        QCOMPARE(group("inputGroup")->title(), QStringLiteral("Step 1 - Input Directory"));
        QCOMPARE(group("outputGroup")->title(), QStringLiteral("Step 2 - Output Directory"));
        QCOMPARE(group("baseUrlGroup")->title(), QStringLiteral("Step 3 - Optional (For advanced users only)"));
        QCOMPARE(label("baseUrlHint")->text(), QStringLiteral("Change this only if you are hosting on a different "
                                                              "machine or requires a different URL output."));
        QCOMPARE(label("baseUrlExample")->text(), QStringLiteral(" e.g.    http://xxx.xxx.xxx.xxx:1234/~user01/"));
        QCOMPARE(label("inputHint")->text(), QStringLiteral("Select the directory you wish to process."));
        QCOMPARE(label("outputHint")->text(),
                 QStringLiteral("Select the output directory for the generated file(s)."));
        for (const char *name : {"inputGroup", "outputGroup", "baseUrlGroup"})
            QVERIFY2(group(name)->font().bold(), name);
        for (const char *name : {"baseUrlHint", "baseUrlEdit", "inputPicker", "inputHint"})
            QVERIFY2(!part<QWidget>(*w, name)->font().bold(), name);
        const QList<QSize> iconSizes = w->windowIcon().availableSizes();
        QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
    }

    void menusCaptionsAndShortcuts()
    {
        auto w = openWindow();
        QVERIFY(w);
        auto *fileMenu = part<QMenu>(*w, "fileMenu");
        auto *actionsMenu = part<QMenu>(*w, "actionsMenu");
        auto *exit = part<QAction>(*w, "exitAction");
        auto *generate = part<QAction>(*w, "generateAction");
        auto *viewOutput = part<QAction>(*w, "viewOutputAction");
        const QList<QAction *> bar = w->menuBar()->actions();
        QCOMPARE(bar.size(), 2);
        QCOMPARE(bar[0], fileMenu->menuAction());
        QCOMPARE(bar[1], actionsMenu->menuAction());
        QCOMPARE(fileMenu->title(), QStringLiteral("File"));
        QCOMPARE(actionsMenu->title(), QStringLiteral("Actions"));
        QCOMPARE(fileMenu->actions(), QList<QAction *>{exit});
        const QList<QAction *> actions = actionsMenu->actions();
        QCOMPARE(actions.size(), 5);  // then a separator and the tags switch
        QCOMPARE(actions[0], generate);
        QVERIFY(actions[1]->isSeparator());
        QCOMPARE(actions[2], viewOutput);
        QCOMPARE(exit->text(), QStringLiteral("E&xit"));
        QCOMPARE(generate->text(), QStringLiteral("Generate RSS"));
        QCOMPARE(viewOutput->text(), QStringLiteral("View Output Directory"));
        QCOMPARE(exit->shortcut(), QKeySequence(QStringLiteral("Ctrl+X")));
        QCOMPARE(generate->shortcut(), QKeySequence(QStringLiteral("Ctrl+G")));
        QCOMPARE(viewOutput->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    }

    void focusStartsOnTheInputDriveAndFollowsTheSteps()
    {
        auto w = openWindow();
        QVERIFY(w);
        QCOMPARE(QApplication::focusWidget(), part<QWidget>(*w, "inputDrivePicker"));
        for (const char *next : {"inputPicker", "outputDrivePicker", "outputPicker", "baseUrlEdit", "inputDrivePicker"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), part<QWidget>(*w, next));
        }
    }

    void layoutIsTheTableScaledSoEveryTextFits()
    {
        auto w = openWindow();
        QVERIFY(w);
        const double s = w->layoutScale();
        const auto px = [s](int twips) { return qRound(twips * s / 15); };
        QCOMPARE(w->centralWidget()->size(), QSize(px(4950), px(5655)));
        QCOMPARE(part<QWidget>(*w, "outputGroup")->geometry(), QRect(px(2520), px(120), px(2295), px(3615)));
        QCOMPARE(part<QWidget>(*w, "inputPicker")->geometry(), QRect(px(120), px(1320), px(2055), px(2115)));
        QCOMPARE(part<QWidget>(*w, "baseUrlEdit")->geometry(), QRect(px(120), px(1200), px(4455), px(285)));
        QCOMPARE(w->minimumSize(), w->maximumSize());  // fixed size

        for (const char *name : {"baseUrlHint", "baseUrlExample", "inputHint", "outputHint"}) {
            const QLabel *label = part<QLabel>(*w, name);
            const int flags = label->wordWrap() ? Qt::TextWordWrap : 0;
            const QRect need = label->fontMetrics().boundingRect(label->contentsRect(), flags, label->text());
            QVERIFY2(label->contentsRect().contains(need), qPrintable(label->text()));
        }
        for (const char *name : {"inputGroup", "outputGroup", "baseUrlGroup"}) {
            const QGroupBox *group = part<QGroupBox>(*w, name);
            QVERIFY(group->fontMetrics().horizontalAdvance(group->title()) < group->width());
        }
        const QWidget *drive = part<QWidget>(*w, "inputDrivePicker");
        const QWidget *baseUrl = part<QWidget>(*w, "baseUrlEdit");
        QVERIFY(drive->height() >= drive->minimumSizeHint().height());
        QVERIFY(baseUrl->height() >= baseUrl->minimumSizeHint().height());
    }

    void startUpRestoresDirectories_data()
    {
        QTest::addColumn<QString>("stored");  // "" for no settings file; "|" separates input and output
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("boxes");  // what the user is told once the window is up
        QTest::newRow("no settings file") << "" << "cwd" << "cwd" << QStringList{};
        QTest::newRow("both stored") << "in|out" << "in" << "out" << QStringList{};
        // Never another folder in silence: the nearest one above is shown, and said.
        QTest::newRow("stored input no longer exists")
            << "gone/deeper|out" << "" << "out"
            << QStringList{"Yarrowfeed [warning]: The stored input directory \"<root>/gone/deeper\" no longer exists; "
                           "the picker shows \"<root>\" instead."};
        QTest::newRow("stored output is a file")
            << "in|in/B/x.mp3" << "in" << "in/B"
            << QStringList{"Yarrowfeed [warning]: The stored output directory \"<root>/in/B/x.mp3\" cannot be opened; "
                           "the picker shows \"<root>/in/B\" instead."};
        QTest::newRow("both gone: one box")
            << "in/gone|out/gone" << "in" << "out"
            << QStringList{"Yarrowfeed [warning]: The stored input directory \"<root>/in/gone\" no longer exists; "
                           "the picker shows \"<root>/in\" instead.\nThe stored output directory \"<root>/out/gone\" "
                           "no longer exists; the picker shows \"<root>/out\" instead."};
    }

    void startUpRestoresDirectories()
    {
        QFETCH(QString, stored);
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QStringList, boxes);
        if (!stored.isEmpty()) {
            const QStringList parts = stored.split('|');
            writeSettings(m_root + '/' + parts[0], m_root + '/' + parts[1]);
        }
        const QByteArray settingsBefore = fixture::readFile(m_settings);
        QStringList told;
        auto w = openWindow(&told);
        QVERIFY(w);
        QCOMPARE(told, boxes.replaceInStrings("<root>", m_root));
        QCOMPARE(fixture::readFile(m_settings), settingsBefore);  // kept until a run stores others
        const DrivePicker *inputDrive = part<DrivePicker>(*w, "inputDrivePicker");
        const auto below = [this](const QString &relative) { return relative.isEmpty() ? m_root : m_root + '/' + relative; };
        QCOMPARE(part<DirectoryPicker>(*w, "inputPicker")->path(), below(input));
        QCOMPARE(part<DirectoryPicker>(*w, "outputPicker")->path(), below(output));
        QVERIFY(QDir::currentPath().startsWith(inputDrive->drive()));  // the drives do not follow
        QCOMPARE(inputDrive->drive(), part<DrivePicker>(*w, "outputDrivePicker")->drive());
        QCOMPARE(part<QLineEdit>(*w, "baseUrlEdit")->text(), "http://" + kAddress + "/");
        QCOMPARE(greyedOut(*w), QStringList());
    }

    void driveChangeMovesItsDirectoryPicker_data()
    {
        QTest::addColumn<bool>("output");  // the output drive and directory instead of the input ones
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
        DrivePicker *drive = part<DrivePicker>(*w, output ? "outputDrivePicker" : "inputDrivePicker");
        const DirectoryPicker *moved = part<DirectoryPicker>(*w, output ? "outputPicker" : "inputPicker");
        const DirectoryPicker *other = part<DirectoryPicker>(*w, output ? "inputPicker" : "outputPicker");
        drive->setVolumes({{"/", ""}, {m_root + '/' + volume, "Test"}}, "/");
        BoxWatcher boxes(*w);
        drive->setCurrentIndex(1);
        QTest::qWait(50);

        QVERIFY(boxes.seen.isEmpty());  // a volume that is not ready is passed over silently
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
        QVERIFY(part<DirectoryPicker>(*w, "outputPicker")->setPath(m_root + "/my output"));
        BoxWatcher boxes(*w);
        QTest::keyClick(w.get(), Qt::Key_O, Qt::ControlModifier);
        QTest::qWait(50);

        QCOMPARE(m_opened, QStringList{m_root + "/my output"});
        QCOMPARE(boxes.seen.size(), browserStarts ? 0 : 1);
        if (!browserStarts) {
            QCOMPARE(boxes.seen.first().title, QStringLiteral("Yarrowfeed"));
            QCOMPARE(boxes.seen.first().icon, QMessageBox::Warning);
            QVERIFY(boxes.seen.first().text.contains(m_root + "/my output"));
        }
        QVERIFY(w->isVisible());
    }

    void exitEndsWithStatusZeroAndStoresNothing()
    {
        auto w = openWindow();
        QVERIFY(w);
        DirectoryPicker *input = part<DirectoryPicker>(*w, "inputPicker");
        QVERIFY(input->setPath(m_root + "/in"));
        input->setFocus();
        QTimer::singleShot(0, w.get(), [&] { QTest::keyClick(input, Qt::Key_X, Qt::ControlModifier); });
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });  // the test's own guard
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!w->isVisible());
        QVERIFY(!QFile::exists(m_settings));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
