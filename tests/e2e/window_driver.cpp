// Drives the real main window through one Generate RSS run, the way a user does: set the
// input and output directories and the base URL, press Ctrl+G, read the box that answers.
//
//   e2e_window_driver --input DIR --output DIR --base-url URL --settings FILE
//
// Prints one JSON line {"title", "text", "enabledAfter"} and exits 0 once a box was read;
// anything else (a refused directory, no box at all) exits non-zero with the reason on stderr.

#include "app/directory_picker.h"
#include "app/main_window.h"
#include "runtime/clock.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

struct CapturedBox {
    bool seen = false;
    QString title;
    QString text;
};

// The box is modal and blocks the key press that opened it, so it is read and closed from
// a timer that keeps polling until it appears.
void closeBoxWhenShown(CapturedBox &box)
{
    QTimer::singleShot(20, [&box] {
        auto *modal = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!modal) {
            closeBoxWhenShown(box);
            return;
        }
        box.seen = true;
        box.title = modal->windowTitle();
        box.text = modal->text();
        if (QAbstractButton *ok = modal->button(QMessageBox::Ok))
            ok->click();
        else
            modal->reject();
    });
}

int fail(const QString &why)
{
    std::fprintf(stderr, "e2e_window_driver: %s\n", qPrintable(why));
    return 2;
}

// The window's part called `name` (its objectName); null if the window has none.
template <class T>
T *part(const QWidget &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption input(QStringLiteral("input"), QStringLiteral("input directory"), QStringLiteral("dir"));
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("output directory"), QStringLiteral("dir"));
    const QCommandLineOption baseUrl(QStringLiteral("base-url"), QStringLiteral("base URL"), QStringLiteral("url"));
    const QCommandLineOption settings(QStringLiteral("settings"), QStringLiteral("settings file"), QStringLiteral("file"));
    parser.addOptions({input, output, baseUrl, settings});
    parser.process(app);
    for (const auto &option : {input, output, baseUrl, settings}) {
        if (!parser.isSet(option))
            return fail(QStringLiteral("--%1 is required").arg(option.names().first()));
    }

    const yf::SystemClock clock;
    yf::MainWindow window(
        parser.value(settings), [] { return QStringLiteral("127.0.0.1"); }, clock,
        [](const QString &) { return true; });
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return fail(QStringLiteral("the window never became active"));

    auto *inputPicker = part<yf::DirectoryPicker>(window, "inputPicker");
    auto *outputPicker = part<yf::DirectoryPicker>(window, "outputPicker");
    auto *baseUrlEdit = part<QLineEdit>(window, "baseUrlEdit");
    auto *actionsMenu = part<QMenu>(window, "actionsMenu");
    if (!inputPicker || !outputPicker || !baseUrlEdit || !actionsMenu)
        return fail(QStringLiteral("the window lacks a directory picker, the base URL field or the Actions menu"));

    if (!inputPicker->setPath(parser.value(input)))
        return fail(QStringLiteral("the input picker refused %1").arg(parser.value(input)));
    if (!outputPicker->setPath(parser.value(output)))
        return fail(QStringLiteral("the output picker refused %1").arg(parser.value(output)));
    baseUrlEdit->setText(parser.value(baseUrl));
    if (inputPicker->path() != parser.value(input) || outputPicker->path() != parser.value(output))
        return fail(QStringLiteral("the pickers stand at %1 and %2").arg(inputPicker->path(), outputPicker->path()));

    CapturedBox box;
    closeBoxWhenShown(box);
    QTest::keyClick(&window, Qt::Key_G, Qt::ControlModifier);
    // The run works off the window's thread; the box comes once it has finished.
    (void)QTest::qWaitFor([&box] { return box.seen; }, 120000);
    if (!box.seen)
        return fail(QStringLiteral("Ctrl+G showed no message box"));

    QJsonObject result;
    result[QStringLiteral("title")] = box.title;
    result[QStringLiteral("text")] = box.text;
    result[QStringLiteral("enabledAfter")] = actionsMenu->isEnabled() && inputPicker->isEnabled();
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return 0;
}
