// What the window tests share: opening the real window, finding its parts by name, a clock
// that can make a run last, and a watcher that answers the message boxes a run brings up.
#pragma once

#include "app/directory_picker.h"
#include "app/main_window.h"
#include "runtime/clock.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QList>
#include <QMenu>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

namespace window_testing {

// The address every test window takes for the machine's own.
inline const QString kAddress = QStringLiteral("192.0.2.7");
inline const QString kDefaultUrl = QStringLiteral("http://192.0.2.7/");

// The window's part called `name` (its objectName). A missing one fails the test; going on
// would only crash on the null pointer, so the run stops there with the name in the log.
template <class T>
T *part(const QWidget &window, const char *name)
{
    T *found = window.findChild<T *>(QLatin1String(name));
    [&] { QVERIFY2(found, qPrintable(QStringLiteral("the window has no part \"%1\"").arg(name))); }();
    if (!found)
        qFatal("the window has no part \"%s\"", name);
    return found;
}

// Every named widget of the window a user sees, the menus included.
inline const QStringList kVisibleParts = {
    "inputDrivePicker", "outputDrivePicker", "inputPicker", "outputPicker", "baseUrlEdit",
    "inputGroup",       "outputGroup",       "baseUrlGroup", "inputHint",   "outputHint",
    "baseUrlHint",      "baseUrlExample",    "fileMenu",     "actionsMenu"};

// While a run is under way every visible part is greyed out but the two instructions, which
// only tell the user what to pick.
inline QStringList greyedDuringRun()
{
    QStringList parts = kVisibleParts;
    parts.removeAll(QStringLiteral("inputHint"));
    parts.removeAll(QStringLiteral("outputHint"));
    return parts;
}

// The visible parts that are greyed out right now, in the order of kVisibleParts; a part the
// window lacks shows as "missing <name>", so that no comparison can pass without it.
inline QStringList greyedOut(const QWidget &window)
{
    QStringList names;
    for (const QString &name : kVisibleParts) {
        const QWidget *widget = window.findChild<QWidget *>(name);
        if (!widget)
            names << "missing " + name;
        else if (!widget->isEnabled())
            names << name;
    }
    return names;
}

// Whether either entry of the menu bar can be opened.
inline bool menuBarOpens(const QWidget &window)
{
    return part<QMenu>(window, "fileMenu")->menuAction()->isEnabled() ||
        part<QMenu>(window, "actionsMenu")->menuAction()->isEnabled();
}

// Always the same moment; `delayMs` makes each read, once per feed, take that long, so a
// test can make a run last as long as it needs.
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

// The real window, shown and active, taking `kAddress` for the machine's address.
// `openFolder` stands for the file browser; by default it starts every time.
// A box that comes up as the window opens (a stored directory that is gone) is closed and
// told in `startupBoxes` as "title [warning]: text" ("[information]", "[critical]").
inline std::unique_ptr<yf::MainWindow> openWindow(const QString &settingsPath, const yf::Clock &clock,
                                                  yf::FolderLauncher openFolder = [](const QString &) {
                                                      return true;
                                                  },
                                                  QStringList *startupBoxes = nullptr)
{
    auto w = std::make_unique<yf::MainWindow>(
        settingsPath, [] { return kAddress; }, clock, std::move(openFolder));
    QStringList said;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&said] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        const char *icon = box->icon() == QMessageBox::Warning ? "warning"
            : box->icon() == QMessageBox::Critical             ? "critical"
                                                               : "information";
        said << QStringLiteral("%1 [%2]: %3").arg(box->windowTitle(), QLatin1String(icon), box->text());
        box->button(QMessageBox::Ok)->click();
    });
    closer.start(10);
    w->show();
    w->activateWindow();
    QTest::qWait(50);  // the window is up and any box about the start has come and gone
    w->activateWindow();  // after a box no window is active
    if (!QTest::qWaitForWindowActive(w.get()))
        return nullptr;
    if (startupBoxes)
        *startupBoxes = said;
    return w;
}

// Points both directory pickers of `w`; false if either refuses.
inline bool choose(const yf::MainWindow &w, const QString &input, const QString &output)
{
    return part<yf::DirectoryPicker>(w, "inputPicker")->setPath(input) &&
        part<yf::DirectoryPicker>(w, "outputPicker")->setPath(output);
}

// Ten folders of forty episodes each: long enough a run for a slow clock to stretch.
inline QStringList tenShows(const QString &below)
{
    QStringList tree;
    for (int folder = 0; folder < 10; ++folder)
        for (int file = 0; file < 40; ++file)
            tree << QStringLiteral("%1/Show %2/episode %3.mp3").arg(below).arg(folder).arg(file);
    return tree;
}

// What a message box showed, and how the window looked while it was up.
struct BoxSeen {
    QString title, text, informative, details;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList greyedOut;
    bool menuBarOpens = true;
    bool running = false;

    QString titleAndText() const { return title + '|' + text; }
};

// Notes every modal message box that comes up, with the window's state at that moment, and
// answers it with OK.
class BoxWatcher : public QObject {
public:
    QList<BoxSeen> seen;
    QMessageBox::StandardButton answer = QMessageBox::Ok;

    explicit BoxWatcher(const yf::MainWindow &w)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, &w] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen << BoxSeen{box->windowTitle(), box->text(),   box->informativeText(), box->detailedText(),
                            box->icon(),        greyedOut(w), menuBarOpens(w),        w.isRunning()};
            // A question gets `answer`; a box that only tells is closed with its OK button.
            QAbstractButton *button = box->button(answer);
            (button ? button : box->button(QMessageBox::Ok))->click();
        });
        m_timer.start(10);
    }

    QStringList titlesAndTexts() const
    {
        QStringList said;
        for (const BoxSeen &box : seen)
            said << box.titleAndText();
        return said;
    }

private:
    QTimer m_timer;
};

// Chooses Generate RSS on `w` and waits until the run is over and has said so; the boxes
// it brought up, or none if nothing came within `timeoutMs`.
inline QList<BoxSeen> generateAndWait(yf::MainWindow &w, int timeoutMs = 30000)
{
    BoxWatcher boxes(w);
    part<QAction>(w, "generateAction")->trigger();
    if (!QTest::qWaitFor([&] { return !boxes.seen.isEmpty() && !w.isRunning(); }, timeoutMs))
        return {};
    QTest::qWait(20);
    return boxes.seen;
}

} // namespace window_testing
