// The real main window runs Generate: what it writes, stores and says, and where links start.
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

class TestMainWindowRuns : public MainWindowFixture {
    Q_OBJECT

private slots:
    void init() { setUpTree(); }
    void cleanup() { tearDownTree(); }

    void generateWithCtrlG()
    {
        writeSettings(m_root + "/in", m_root + "/out");
        auto w = openWindow();
        QVERIFY(w);
        BoxWatcher boxes(*w);
        QTest::keyClick(w.get(), Qt::Key_G, Qt::ControlModifier);

        QTRY_COMPARE(boxes.seen.size(), 1);
        const window_testing::BoxSeen &seen = boxes.seen.first();
        QCOMPARE(seen.title, QStringLiteral("Complete!"));
        QCOMPARE(seen.text, QStringLiteral("\"5\" XML files generated."));
        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(seen.greyedOut, greyedDuringRun());
        QVERIFY(!seen.menuBarOpens);
        QCOMPARE(greyedOut(*w), QStringList());
        QCOMPARE(fixture::filesIn(m_root + "/out"),
                 (QStringList{"-A-.xml", "-B-.xml", "-C-.xml", "-C-D-.xml", "-C-E-.xml"}));
        const QByteArray settings = fixture::readFile(m_settings);
        QVERIFY(settings.contains(("InputDir=" + m_root + "/in").toUtf8()));
        QVERIFY(settings.contains(("OutputDir=" + m_root + "/out").toUtf8()));
    }

    // A run that fails reports what failed and gives the window back.
    void generateIntoMissingOutputDirectory()
    {
        auto w = openWindow();
        QVERIFY(w);
        QVERIFY(window_testing::choose(*w, m_root + "/in", m_root + "/out"));
        QVERIFY(QDir(m_root + "/out").removeRecursively());
        BoxWatcher boxes(*w);
        part<QAction>(*w, "generateAction")->trigger();

        QTRY_COMPARE(boxes.seen.size(), 1);
        const window_testing::BoxSeen &seen = boxes.seen.first();
        QCOMPARE(seen.title, QStringLiteral("Yarrowfeed"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QVERIFY2(seen.text.contains(m_root + "/out") && seen.text.contains("No such file or directory") &&
                     seen.text.contains("0 feed file(s)"),
                 qPrintable(seen.text));
        QCOMPARE(seen.greyedOut, greyedDuringRun());
        QCOMPARE(greyedOut(*w), QStringList());
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
        QVERIFY(window_testing::choose(*w, m_root + "/in", m_root + "/out"));
        BoxWatcher boxes(*w);
        part<QAction>(*w, "generateAction")->trigger();

        QTRY_COMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen.first().title, QStringLiteral("Complete!"));
        QCOMPARE(boxes.seen.first().text, QStringLiteral("\"5\" XML files generated."));
        QCOMPARE(boxes.seen.first().informative, "Index page: " + window_testing::kDefaultUrl + "out/index.html");
    }

    // Beside the unchanged count, the box says where the index page is: at its address when the
    // output is published below the link root, else as a file.
    void theBoxNamesTheIndexPage()
    {
        QTemporaryDir elsewhere;  // not below the input directory's parent
        QVERIFY(elsewhere.isValid());
        for (const auto &[output, expected] :
             {std::pair{m_root + "/out", "Index page: " + window_testing::kDefaultUrl + "out/index.html"},
              std::pair{elsewhere.path(), "Index page: " + elsewhere.path() + "/index.html"}}) {
            auto w = openWindow();
            QVERIFY(w);
            QVERIFY(window_testing::choose(*w, m_root + "/in", output));
            BoxWatcher boxes(*w);
            part<QAction>(*w, "generateAction")->trigger();
            QTRY_COMPARE(boxes.seen.size(), 1);
            QCOMPARE(boxes.seen.first().text, QStringLiteral("\"5\" XML files generated."));
            QCOMPARE(boxes.seen.first().informative, expected);
            QVERIFY(QFile::exists(output + "/index.html"));
        }
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
        DirectoryPicker *input = part<DirectoryPicker>(*w, "inputPicker");
        QVERIFY(window_testing::choose(*w, m_root + "/in", m_root + "/out"));
        QVERIFY(input->highlight(m_root + '/' + highlighted));
        part<QLineEdit>(*w, "baseUrlEdit")->setText("http://host/");
        BoxWatcher boxes(*w);
        part<QAction>(*w, "generateAction")->trigger();

        QTRY_COMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen.first().text, QStringLiteral("\"5\" XML files generated."));
        QCOMPARE(input->path(), m_root + "/in");
        QCOMPARE(fixture::filesIn(m_root + "/out"),
                 (QStringList{"-A-.xml", "-B-.xml", "-C-.xml", "-C-D-.xml", "-C-E-.xml"}));
        QCOMPARE(feedLinks(m_root + "/out/-B-.xml"), (QStringList{"http://host/", link}));
    }
};

QTEST_MAIN(TestMainWindowRuns)
#include "tst_main_window_runs.moc"
