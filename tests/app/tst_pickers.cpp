// The directory and drive pickers, and the desktop services the window uses.
#include "app/desktop.h"
#include "app/directory_picker.h"
#include "app/drive_picker.h"
#include "fixture.h"
#include "runtime/local_address.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <unistd.h>

using yf::DirectoryPicker;
using yf::DrivePicker;
using yf::Volume;

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class TestPickers : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_root;

    // The names below `item`, in the order shown.
    static QStringList childNames(const QTreeWidgetItem *item)
    {
        QStringList names;
        for (int i = 0; i < item->childCount(); ++i)
            names << item->child(i)->text(0);
        return names;
    }

    // What a person's double-click delivers: QTest::mouseDClick alone sends no press first.
    static void doubleClick(QWidget *widget, QPoint at)
    {
        QTest::mouseClick(widget, Qt::LeftButton, {}, at);
        QTest::mouseDClick(widget, Qt::LeftButton, {}, at);
        QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_root = m_tmp.path();
        fixture::makeTree(m_root, {"tree/gamma/", "tree/alpha/deep/", "tree/Beta/", "tree/.hidden/",
                                   "tree/file.mp3", "tree/link->alpha", "my dir/"});
    }

    void setPath_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("current");  // "" for "unchanged"
        QTest::newRow("existing directory") << "tree/alpha" << true << "tree/alpha";
        QTest::newRow("trailing slash is dropped") << "tree/alpha/" << true << "tree/alpha";
        QTest::newRow("dot segments are resolved") << "tree/alpha/../Beta" << true << "tree/Beta";
        QTest::newRow("blanks in the name") << "my dir" << true << "my dir";
        QTest::newRow("root") << "/" << true << "/";
        QTest::newRow("empty text changes nothing") << "" << true << "";
        QTest::newRow("missing directory is refused") << "tree/gone" << false << "";
        QTest::newRow("a file is refused") << "tree/file.mp3" << false << "";
        QTest::newRow("unreadable directory is refused") << "!locked" << false << "";
    }

    void setPath()
    {
        QFETCH(QString, given);
        QFETCH(bool, accepted);
        QFETCH(QString, current);
        const auto absolute = [&](const QString &p) { return p.startsWith('/') ? p : m_root + '/' + p; };
        if (given.startsWith('!')) {
            if (::geteuid() == 0)
                QSKIP("root lists every directory");
            given = given.mid(1);
            fixture::makeTree(m_root, {given + '/', given + "/!000"});
        }
        DirectoryPicker picker;
        QVERIFY(picker.setPath(m_root + "/tree"));
        const QString before = picker.path();
        QCOMPARE(picker.setPath(given.isEmpty() ? given : absolute(given)), accepted);
        const QString expected = current.isEmpty() ? before : absolute(current);
        QCOMPARE(picker.path(), expected);
        QCOMPARE(picker.highlightedPath(), expected);
    }

    void showsChainThenVisibleSubdirectories()
    {
        DirectoryPicker picker;
        QVERIFY(picker.setPath(m_root + "/tree"));
        QCOMPARE(picker.topLevelItemCount(), 1);
        QTreeWidgetItem *item = picker.topLevelItem(0);
        QCOMPARE(item->text(0), QStringLiteral("/"));
        for (const QString &name : (m_root + "/tree").split('/', Qt::SkipEmptyParts)) {
            QCOMPARE(item->childCount(), 1);  // the chain holds only the way down
            item = item->child(0);
            QCOMPARE(item->text(0), name);
        }
        // Case is ignored in the order; hidden folders, files and nothing else are left out.
        QCOMPARE(childNames(item), (QStringList{"alpha", "Beta", "gamma", "link"}));
        QCOMPARE(picker.currentItem(), item);
    }

    void clickHighlightsAndOpeningMakesCurrent()
    {
        DirectoryPicker picker;
        picker.resize(300, 400);
        picker.show();
        QVERIFY(QTest::qWaitForWindowExposed(&picker));
        const QString tree = m_root + "/tree";
        QVERIFY(picker.setPath(tree));

        QVERIFY(!picker.highlight(tree + "/alpha/deep"));  // not shown yet
        QVERIFY(picker.highlight(tree + "/Beta"));
        QCOMPARE(picker.path(), tree);
        QCOMPARE(picker.highlightedPath(), tree + "/Beta");

        const auto clickPoint = [&](const QString &name) {
            const QList<QTreeWidgetItem *> found = picker.findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
            return found.isEmpty() ? QPoint(-1, -1) : picker.visualItemRect(found.first()).center();
        };
        QTest::mouseClick(picker.viewport(), Qt::LeftButton, {}, clickPoint("alpha"));
        QCOMPARE(picker.highlightedPath(), tree + "/alpha");
        QCOMPARE(picker.path(), tree);

        QTest::keyClick(&picker, Qt::Key_Return);
        QCOMPARE(picker.path(), tree + "/alpha");
        QCOMPARE(picker.highlightedPath(), tree + "/alpha");

        doubleClick(picker.viewport(), clickPoint("deep"));
        QCOMPARE(picker.path(), tree + "/alpha/deep");

        // An ancestor in the chain opens too, and a link keeps the path it was reached by.
        doubleClick(picker.viewport(), clickPoint("tree"));
        QCOMPARE(picker.path(), tree);
        QVERIFY(picker.highlight(tree + "/link"));
        QTest::keyClick(&picker, Qt::Key_Enter);
        QCOMPARE(picker.path(), tree + "/link");
    }

    void drivePickerSelectsTheVolumeHoldingAPath_data()
    {
        QTest::addColumn<QString>("inside");
        QTest::addColumn<int>("selected");
        QTest::newRow("deepest mount wins") << "/media/usb/music/a" << 2;
        QTest::newRow("the mount point itself") << "/media" << 1;
        QTest::newRow("similar prefix is not inside") << "/media/usbstick" << 1;
        QTest::newRow("elsewhere is the root") << "/home/user" << 0;
    }

    void drivePickerSelectsTheVolumeHoldingAPath()
    {
        QFETCH(QString, inside);
        QFETCH(int, selected);
        DrivePicker picker;
        int notices = 0;
        connect(&picker, &QComboBox::currentIndexChanged, this, [&] { ++notices; });
        picker.setVolumes({{"/", ""}, {"/media", ""}, {"/media/usb", "Music"}}, inside);
        QCOMPARE(picker.currentIndex(), selected);
        QCOMPARE(picker.itemText(2), QStringLiteral("/media/usb  [Music]"));
        QCOMPARE(notices, 0);  // filling the list is not a change by the user
    }

    void machineVolumesLeaveOutSystemFileSystems()
    {
        const QList<Volume> volumes = DrivePicker::mountedVolumes();
        QVERIFY(!volumes.isEmpty());
        QCOMPARE(volumes.first().rootPath, QStringLiteral("/"));
        for (const Volume &volume : volumes) {
            for (const char *system : {"/proc", "/sys", "/dev", "/run"})
                QVERIFY2(!volume.rootPath.startsWith(QLatin1String(system)), qPrintable(volume.rootPath));
        }
        const DrivePicker picker;  // starts on the volume of the current directory
        QVERIFY(QDir::currentPath().startsWith(picker.drive()));
    }

    void localAddressIsDottedIPv4()
    {
        const QString address = yf::localAddress();
        // Four decimal numbers up to 255, written the shortest way: the text round-trips.
        const QStringList numbers = address.split('.');
        QCOMPARE(numbers.size(), 4);
        QStringList again;
        for (const QString &number : numbers) {
            bool isNumber = false;
            const uint value = number.toUInt(&isNumber);
            QVERIFY2(isNumber && value <= 255, qPrintable(address));
            again << QString::number(value);
        }
        QCOMPARE(again.join('.'), address);
    }

    void fileBrowserGetsTheWholePath()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        const QString folder = m_root + "/my dir";
        QVERIFY(yf::openInFileBrowser(folder));
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls.first().toLocalFile(), folder);
    }
};

QTEST_MAIN(TestPickers)
#include "tst_pickers.moc"
