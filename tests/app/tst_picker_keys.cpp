// The directory picker from the keyboard: parent, re-read, the location field; tooltips,
// folders that cannot be listed, and names that are not UTF-8.
#include "app/directory_picker.h"
#include "fixture.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using yf::DirectoryPicker;

class TestPickerKeys : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_tree;

    std::unique_ptr<DirectoryPicker> openPicker(const QString &at)
    {
        auto picker = std::make_unique<DirectoryPicker>();
        picker->resize(300, 400);
        picker->show();
        picker->activateWindow();
        if (!QTest::qWaitForWindowActive(picker.get()) || !picker->setPath(at))
            return nullptr;
        picker->setFocus();
        return picker;
    }

    static QTreeWidgetItem *entry(const DirectoryPicker &picker, const QString &name)
    {
        const QList<QTreeWidgetItem *> found = picker.findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? nullptr : found.first();
    }

    // The text the field shows beside what was typed when it cannot be opened.
    static QString fieldProblem(const QLineEdit *field)
    {
        for (const QLabel *label : field->findChildren<QLabel *>())
            if (label->isVisible())
                return label->text();
        return {};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_tree = m_tmp.path() + "/tree";
        fixture::makeTree(m_tmp.path(), {"tree/alpha/deep/", "tree/Beta/", "tree/file.mp3", "srv/podcasts/"});
    }

    // QTemporaryDir removes by decoded names, which miss a name that is not UTF-8.
    void cleanupTestCase()
    {
        const QByteArray odd = QFile::encodeName(m_tmp.path()) + "/latin1/Caf\xe9";
        ::rmdir((odd + "/inner").constData());
        ::rmdir(odd.constData());
    }

    void keysMoveTheCurrentDirectory_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("to");
        QTest::newRow("Backspace opens the parent") << "tree/alpha/deep" << int(Qt::Key_Backspace) << 0 << "tree/alpha";
        QTest::newRow("Alt+Up opens the parent") << "tree/alpha" << int(Qt::Key_Up) << int(Qt::AltModifier) << "tree";
        QTest::newRow("Backspace at the root stays") << "/" << int(Qt::Key_Backspace) << 0 << "/";
        QTest::newRow("Up alone only moves the highlight") << "tree/alpha" << int(Qt::Key_Up) << 0 << "tree/alpha";
    }

    void keysMoveTheCurrentDirectory()
    {
        QFETCH(QString, from);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, to);
        const auto full = [this](const QString &p) { return p == "/" ? p : m_tmp.path() + '/' + p; };
        auto picker = openPicker(full(from));
        QVERIFY(picker);
        QTest::keyClick(picker.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(picker->path(), full(to));
        if (modifiers == 0 && key == Qt::Key_Up)
            QCOMPARE(picker->highlightedPath(), full("tree"));
        else
            QCOMPARE(picker->highlightedPath(), full(to));  // an open highlights the new current
    }

    void f5ShowsFoldersMadeSinceAndKeepsTheHighlight()
    {
        auto picker = openPicker(m_tree);
        QVERIFY(picker);
        QVERIFY(picker->highlight(m_tree + "/Beta"));
        QVERIFY(QDir().mkpath(m_tree + "/zeta"));
        QVERIFY(!entry(*picker, "zeta"));
        QTest::keyClick(picker.get(), Qt::Key_F5);
        QVERIFY(entry(*picker, "zeta"));
        QCOMPARE(picker->path(), m_tree);
        QCOMPARE(picker->highlightedPath(), m_tree + "/Beta");
        QVERIFY(QDir(m_tree + "/zeta").removeRecursively());

        // A current directory that went away falls back to the nearest one left.
        QVERIFY(QDir().mkpath(m_tree + "/gone/below"));
        QVERIFY(picker->setPath(m_tree + "/gone/below"));
        QVERIFY(QDir(m_tree + "/gone").removeRecursively());
        QTest::keyClick(picker.get(), Qt::Key_F5);
        QCOMPARE(picker->path(), m_tree);
    }

    void locationFieldOpens_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("startText");  // "=" for the current path
        QTest::newRow("Ctrl+L starts with the current path") << int(Qt::Key_L) << int(Qt::ControlModifier) << "=";
        QTest::newRow("typing / starts a path") << int(Qt::Key_Slash) << 0 << "/";
        QTest::newRow("typing ~ starts a home path") << int(Qt::Key_AsciiTilde) << 0 << "~";
    }

    void locationFieldOpens()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, startText);
        auto picker = openPicker(m_tree);
        QVERIFY(picker);
        QVERIFY(!picker->locationField());
        const QString text = key == Qt::Key_Slash ? "/" : key == Qt::Key_AsciiTilde ? "~" : QString();
        QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
        QApplication::sendEvent(picker.get(), &press);
        QLineEdit *field = picker->locationField();
        QVERIFY(field);
        QCOMPARE(field->text(), startText == "=" ? m_tree : startText);
        QCOMPARE(QApplication::focusWidget(), field);
        QCOMPARE(picker->path(), m_tree);  // nothing opened by type-ahead
    }

    void typedLocation_data()
    {
        QTest::addColumn<QString>("typed");     // "@" stands for the temporary directory
        QTest::addColumn<QString>("opened");    // "" when nothing may change
        QTest::addColumn<QString>("problem");
        QTest::newRow("absolute directory") << "@/srv/podcasts" << "@/srv/podcasts" << "";
        QTest::newRow("trailing slash") << "@/srv/" << "@/srv" << "";
        QTest::newRow("relative to the current") << "alpha/deep" << "@/tree/alpha/deep" << "";
        QTest::newRow("home") << "~" << QDir::homePath() << "";
        QTest::newRow("missing directory") << "@/srv/podcastz" << "" << "not a folder";
        QTest::newRow("a file") << "@/tree/file.mp3" << "" << "not a folder";
    }

    void typedLocation()
    {
        QFETCH(QString, typed);
        QFETCH(QString, opened);
        QFETCH(QString, problem);
        typed.replace('@', m_tmp.path());
        opened.replace('@', m_tmp.path());
        auto picker = openPicker(m_tree);
        QVERIFY(picker);
        QTest::keyClick(picker.get(), Qt::Key_L, Qt::ControlModifier);
        QLineEdit *field = picker->locationField();
        QVERIFY(field);
        field->clear();
        QTest::keyClicks(field, typed);
        QTest::keyClick(field, Qt::Key_Return);
        if (opened.isEmpty()) {
            QCOMPARE(picker->locationField(), field);  // stays open, saying why
            QCOMPARE(field->text(), typed);
            QCOMPARE(fieldProblem(field), problem);
            QCOMPARE(picker->path(), m_tree);
            QTest::keyClicks(field, "x");  // editing clears the complaint
            QCOMPARE(fieldProblem(field), QString());
        } else {
            QVERIFY(!picker->locationField());
            QCOMPARE(picker->path(), opened);
            QCOMPARE(picker->highlightedPath(), opened);
            QCOMPARE(QApplication::focusWidget(), picker.get());
        }
    }

    void escapeClosesTheFieldAndChangesNothing()
    {
        auto picker = openPicker(m_tree);
        QVERIFY(picker);
        QVERIFY(picker->highlight(m_tree + "/alpha"));
        QKeyEvent slash(QEvent::KeyPress, Qt::Key_Slash, Qt::NoModifier, "/");
        QApplication::sendEvent(picker.get(), &slash);
        QLineEdit *field = picker->locationField();
        QVERIFY(field);
        QTest::keyClicks(field, "srv");
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(!picker->locationField());
        QCOMPARE(picker->path(), m_tree);
        QCOMPARE(picker->highlightedPath(), m_tree + "/alpha");
        QCOMPARE(QApplication::focusWidget(), picker.get());
    }

    void movingToAnotherControlClosesTheField()
    {
        QWidget window;
        auto *picker = new DirectoryPicker(&window);
        auto *other = new QLineEdit(&window);
        picker->setGeometry(0, 0, 300, 300);
        other->setGeometry(0, 310, 300, 30);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(picker->setPath(m_tree));
        picker->setFocus();
        QTest::keyClick(picker, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(picker->locationField());
        other->setFocus(Qt::TabFocusReason);
        QVERIFY(!picker->locationField());
        QCOMPARE(picker->path(), m_tree);
    }

    void unlistableFolderIsGreyedOutAndDoesNotOpen()
    {
        if (::geteuid() == 0)
            QSKIP("root lists every directory");
        fixture::makeTree(m_tmp.path(), {"locks/closed/", "locks/closed/!000", "locks/open/"});
        auto picker = openPicker(m_tmp.path() + "/locks");
        QVERIFY(picker);
        QTreeWidgetItem *closed = entry(*picker, "closed");
        QVERIFY(closed && entry(*picker, "open"));
        QVERIFY(!(closed->flags() & Qt::ItemIsEnabled));
        QVERIFY(entry(*picker, "open")->flags() & Qt::ItemIsEnabled);
        QTest::keyClick(picker.get(), Qt::Key_L, Qt::ControlModifier);
        picker->locationField()->setText(m_tmp.path() + "/locks/closed");
        QTest::keyClick(picker->locationField(), Qt::Key_Return);
        QCOMPARE(fieldProblem(picker->locationField()), QStringLiteral("cannot be listed"));
        fixture::makeTree(m_tmp.path(), {"locks/closed/!755"});
    }

    void everyEntryTellsItsFullPath()
    {
        auto picker = openPicker(m_tree + "/alpha");
        QVERIFY(picker);
        for (QTreeWidgetItemIterator it(picker.get()); *it; ++it) {
            picker->setCurrentItem(*it);
            QCOMPARE((*it)->toolTip(0), picker->highlightedPath());
        }
        QCOMPARE(entry(*picker, "deep")->toolTip(0), m_tree + "/alpha/deep");
        QCOMPARE(entry(*picker, "/")->toolTip(0), QStringLiteral("/"));
    }

    void nameThatIsNotUtf8IsShownAndOpens()
    {
        const QByteArray parent = QFile::encodeName(m_tmp.path()) + "/latin1";
        const QByteArray odd = parent + "/Caf\xe9";  // "Café" in Latin-1
        QVERIFY(::mkdir(parent.constData(), 0755) == 0);
        QVERIFY(::mkdir(odd.constData(), 0755) == 0);
        QVERIFY(::mkdir((odd + "/inner").constData(), 0755) == 0);
        auto picker = openPicker(QFile::decodeName(parent));
        QVERIFY(picker);
        QTreeWidgetItem *item = entry(*picker, QStringLiteral("Caf\uFFFD"));
        QVERIFY2(item, "the folder is listed, with a replacement character");
        picker->setCurrentItem(item);
        QTest::keyClick(picker.get(), Qt::Key_Return);
        QCOMPARE(picker->nativePath(), odd);
        QVERIFY(entry(*picker, "inner"));  // its own listing, read by its real name
        QTest::keyClick(picker.get(), Qt::Key_Backspace);
        QCOMPARE(picker->nativePath(), parent);
    }
};

QTEST_MAIN(TestPickerKeys)
#include "tst_picker_keys.moc"
