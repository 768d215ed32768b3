#include "app/main_window.h"

#include "app/background_run.h"
#include "app/directory_picker.h"
#include "app/drive_picker.h"
#include "app/run_progress_dialog.h"
#include "feed/base_url.h"
#include "generate/run_messages.h"
#include "settings/stored_run.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStringList>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>

namespace yf {

namespace {

const QString kProgramTitle = QStringLiteral("Yarrowfeed");
// Runs shorter than this finish without a progress display flashing up.
constexpr qint64 kProgressDelayMs = 500;
constexpr int kProgressIntervalMs = 100;
// The least the details of a run's box show at once: a path, and a list.
constexpr int kDetailsColumns = 60;
constexpr int kDetailsLines = 12;

// A volume without a medium, or one the user may not list, leaves the directory picker
// where it was; the drive picker keeps showing the new choice.
void followDrive(const DrivePicker &drive, DirectoryPicker &directory)
{
    directory.setPath(drive.drive());
}

// Opens `stored` in `picker`, else the nearest folder above it that opens. Returns what the
// user must be told: empty when the stored directory itself opened, or none was stored.
QString restoreDirectory(DirectoryPicker &picker, const QString &stored, const char *which)
{
    if (stored.isEmpty() || picker.setPath(stored))
        return {};
    QString above = QDir::cleanPath(QDir::current().absoluteFilePath(stored));
    while (above != QDir::rootPath()) {
        above = QFileInfo(above).path();
        if (picker.setPath(above))
            break;
    }
    const bool exists = QFileInfo::exists(stored);
    return QStringLiteral("The stored %1 directory \"%2\" %3; the picker shows \"%4\" instead.")
        .arg(QLatin1String(which), stored,
             exists ? QStringLiteral("cannot be opened") : QStringLiteral("no longer exists"), picker.path());
}

// What the box's details list: the folders left out, then the old feeds removed, each group
// by path so that a folder is found where it would be looked for, then what kept old feeds.
QString runDetails(const RunOutcome &outcome)
{
    std::vector<const Error *> skipped;
    for (const Error &folder : outcome.skipped)
        skipped.push_back(&folder);
    std::sort(skipped.begin(), skipped.end(), [](const Error *a, const Error *b) { return a->path < b->path; });
    QStringList removed;
    for (const QString &path : outcome.removedFeeds)
        removed << removedFeedLine(path);
    removed.sort();
    QStringList lines;
    for (const Error *folder : skipped)
        lines << folder->message();
    lines << removed;
    for (const Error &problem : outcome.cleanupProblems)
        lines << QStringLiteral("Warning: ") + problem.message();
    for (const Error &problem : outcome.indexProblems)
        lines << QStringLiteral("Warning: ") + problem.message();
    return lines.join(QLatin1Char('\n'));
}

// The index page and the counts beside the box's main text, which stays the feeds written:
// empty when the run wrote no index page, left nothing out and removed nothing.
QString runCounts(const RunOutcome &outcome)
{
    QStringList sentences;
    if (const auto count = static_cast<qsizetype>(outcome.skipped.size()); count > 0)
        sentences << (count == 1 ? QStringLiteral("1 folder was skipped.")
                                 : QStringLiteral("%1 folders were skipped.").arg(count));
    if (const auto count = static_cast<qsizetype>(outcome.removedFeeds.size()); count > 0)
        sentences << (count == 1 ? QStringLiteral("1 old feed was removed.")
                                 : QStringLiteral("%1 old feeds were removed.").arg(count));
    if (!outcome.cleanupProblems.empty())
        sentences << QStringLiteral("Some old feeds may remain.");
    if (!outcome.indexProblems.empty())
        sentences << QStringLiteral("The index page or OPML file was not written.");
    if (!sentences.isEmpty())
        sentences << QStringLiteral("See the details.");
    QString counts = sentences.join(QLatin1Char(' '));
    // Where to subscribe from: the page's address when a web server's is known, else its file.
    const QString &index = outcome.indexAddress.isEmpty() ? outcome.indexPage : outcome.indexAddress;
    if (index.isEmpty())
        return counts;
    return QStringLiteral("Index page: %1").arg(index) + (counts.isEmpty() ? QString() : QLatin1Char('\n') + counts);
}

// Makes the box's details area wide enough for a path and tall enough for a list.
void sizeDetails(QMessageBox &box)
{
    auto *details = box.findChild<QTextEdit *>();
    if (!details)
        return;
    const QFontMetrics metrics(details->font());
    const int frame = 2 * details->frameWidth() + 2 * static_cast<int>(details->document()->documentMargin());
    details->setMinimumSize(metrics.horizontalAdvance(QString(kDetailsColumns, QLatin1Char('x'))) + frame
                                + details->verticalScrollBar()->sizeHint().width(),
                            metrics.lineSpacing() * kDetailsLines + frame);
}

} // namespace

MainWindow::MainWindow(QString settingsPath, LocalAddressSource localAddress, const Clock &clock,
             FolderLauncher openFolder, QWidget *parent)
    : QMainWindow(parent)
    , m_settingsPath(std::move(settingsPath))
    , m_localAddress(std::move(localAddress))
    , m_clock(clock)
    , m_openFolder(std::move(openFolder))
    , m_tagCacheFile(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/tags.sqlite"))
    , m_background(new BackgroundRun(this))
{
    createControls();
    placeControls();
    createActions();
    createMenus();
    setFocusOrder();
    connectEvents();
    setWindowTitle(QStringLiteral("%1 v.%2.%3.%4")
                       .arg(kProgramTitle)
                       .arg(YARROWFEED_VERSION_MAJOR)
                       .arg(YARROWFEED_VERSION_MINOR)
                       .arg(YARROWFEED_VERSION_PATCH));
    restoreSettings();
}

MainWindow::~MainWindow() = default;

void MainWindow::restoreSettings()
{
    // A settings file that cannot be read, or a stored directory that is gone or unreadable,
    // must not keep the program from starting. A picker then shows the nearest folder above
    // the stored one, and the user is told, so that no run quietly uses another folder; the
    // stored value stays until a run stores the directories it used.
    const StoredRun stored = loadStoredRun(m_settingsPath);
    QStringList missing;
    for (const QString &line : {restoreDirectory(*m_inputPicker, stored.inputDir, "input"),
                                restoreDirectory(*m_outputPicker, stored.outputDir, "output")}) {
        if (!line.isEmpty())
            missing << line;
    }
    m_startupWarning = missing.join(QLatin1Char('\n'));
    // A base URL the user typed for another server stays; only the default follows the
    // machine's address from start to start.
    m_baseUrlEdit->setText(stored.baseUrl.isEmpty() ? defaultBaseUrl() : stored.baseUrl);
    m_tagsAction->setChecked(stored.tags);
}

QString MainWindow::defaultBaseUrl() const
{
    return yf::defaultBaseUrl(m_localAddress());
}

void MainWindow::setRunning(bool running)
{
    QWidget *const objects[] = {m_inputDrivePicker, m_outputDrivePicker, m_inputPicker, m_outputPicker,
                                m_baseUrlEdit,      m_inputGroup,        m_outputGroup, m_baseUrlGroup,
                                m_fileMenu,         m_actionsMenu,       m_baseUrlHint, m_baseUrlExample};
    for (QWidget *object : objects)
        object->setEnabled(!running);
    m_tagsAction->setEnabled(!running);
}

void MainWindow::reportOutcome(const RunOutcome &outcome)
{
    if (outcome.finished() || outcome.cancelled()) {
        QMessageBox box(QMessageBox::Information,
                        outcome.finished() ? QStringLiteral("Complete!") : QStringLiteral("Cancelled"),
                        outcome.finished() ? completeMessage(outcome.feedsWritten)
                                           : cancelledMessage(outcome.feedsWritten),
                        QMessageBox::Ok, this);
        // The count alone would hide that some folders got no feed, or that old feeds went;
        // the list says which and why.
        box.setInformativeText(runCounts(outcome));
        if (const QString details = runDetails(outcome); !details.isEmpty()) {
            box.setDetailedText(details);
            sizeDetails(box);
        }
        box.exec();
        return;
    }
    QMessageBox box(QMessageBox::Critical, kProgramTitle,
                    failureMessage(*outcome.error, outcome.feedsWritten), QMessageBox::Ok, this);
    box.exec();
}

RunRequest MainWindow::runRequest() const
{
    RunRequest request;
    request.inputDir = m_inputPicker->path();
    request.linkEntry = m_inputPicker->highlightedPath();
    request.outputDir = m_outputPicker->path();
    request.baseUrl = m_baseUrlEdit->text();
    request.readTags = m_tagsAction->isChecked();
    request.tagCacheFile = m_tagCacheFile;
    return request;
}

bool MainWindow::isRunning() const
{
    return m_background->isRunning();
}

void MainWindow::generate()
{
    if (m_background->isRunning())  // the greyed-out menu keeps a second run out; so does this
        return;
    // A base URL the run would refuse is said before anything is greyed out or scanned.
    if (const Result<BaseUrl> base = parseBaseUrl(m_baseUrlEdit->text()); !base.ok()) {
        QMessageBox box(QMessageBox::Critical, kProgramTitle, base.error().message(), QMessageBox::Ok, this);
        box.exec();
        return;
    }
    setRunning(true);
    const RunRequest request = runRequest();
    m_background->start(request, StoredRun{request.inputDir, request.outputDir, request.baseUrl, request.readTags},
                        m_settingsPath, defaultBaseUrl(), m_clock);
    m_runTime.start();
    m_progressTimer.start(kProgressIntervalMs);
    m_cancelRunAction->setEnabled(true);
}

void MainWindow::cancelRun()
{
    if (!m_background->isRunning())
        return;
    if (m_progress)
        m_progress->reject();  // says "Cancelling…" and asks the run to stop
    else
        m_background->cancel();
}

void MainWindow::updateProgress()
{
    if (!m_background->isRunning())
        return;
    if (!m_progress) {
        if (m_runTime.elapsed() < kProgressDelayMs)
            return;
        m_progress = new RunProgressDialog(this);
        connect(m_progress, &RunProgressDialog::cancelRequested, m_background, &BackgroundRun::cancel);
    }
    const bool appearing = !m_progress->isVisible();
    const BackgroundRun::Progress p = m_background->progress();
    if (p.writing)
        m_progress->showWriting(p.written, p.total);
    else
        m_progress->showScanning(p.found);
    if (appearing) {
        // Without a window manager nobody hands it the focus, and Escape would go elsewhere.
        m_progress->show();
        m_progress->activateWindow();
        m_progress->cancelButton()->setFocus();
    }
}

void MainWindow::runFinished(const RunOutcome &outcome)
{
    m_progressTimer.stop();
    m_cancelRunAction->setEnabled(false);
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
        m_progress = nullptr;
    }
    if (m_closing)
        return;
    reportOutcome(outcome);
    setRunning(false);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_startupWarning.isEmpty())
        return;
    // Once the window is up, so the box has the window to sit over.
    QTimer::singleShot(0, this, [this] {
        const QString text = std::exchange(m_startupWarning, {});
        QMessageBox box(QMessageBox::Warning, kProgramTitle, text, QMessageBox::Ok, this);
        box.exec();
    });
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_background->isRunning()) {
        // Stopping is the user's call: the feeds written so far stay, the rest do not come.
        const auto answer = QMessageBox::question(this, kProgramTitle,
                                                  QStringLiteral("A run is in progress. Stop it and quit?"),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    if (m_background->isRunning()) {  // it may have ended while the question was up
        m_closing = true;
        m_background->cancel();
        m_background->wait();
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::viewOutputDirectory()
{
    const QString folder = m_outputPicker->path();
    if (!m_openFolder(folder)) {
        QMessageBox::warning(this, kProgramTitle,
                             QStringLiteral("The file browser could not be started for \"%1\".").arg(folder));
    }
}

void MainWindow::exitProgram()
{
    if (close())
        QCoreApplication::exit(0);
}

void MainWindow::inputDriveChanged()
{
    followDrive(*m_inputDrivePicker, *m_inputPicker);
}

void MainWindow::outputDriveChanged()
{
    followDrive(*m_outputDrivePicker, *m_outputPicker);
}

void MainWindow::connectEvents()
{
    connect(m_generateAction, &QAction::triggered, this, &MainWindow::generate);
    connect(m_viewOutputAction, &QAction::triggered, this, &MainWindow::viewOutputDirectory);
    connect(m_exitAction, &QAction::triggered, this, &MainWindow::exitProgram);
    connect(m_cancelRunAction, &QAction::triggered, this, &MainWindow::cancelRun);
    connect(m_inputDrivePicker, &QComboBox::currentIndexChanged, this, &MainWindow::inputDriveChanged);
    connect(m_outputDrivePicker, &QComboBox::currentIndexChanged, this, &MainWindow::outputDriveChanged);
    connect(m_background, &BackgroundRun::finished, this, &MainWindow::runFinished);
    connect(&m_progressTimer, &QTimer::timeout, this, &MainWindow::updateProgress);
}

} // namespace yf
