#include "app/main_window.h"

#include "app/background_run.h"
#include "app/directory_picker.h"
#include "app/drive_picker.h"
#include "app/run_progress_dialog.h"
#include "feed/base_url.h"
#include "settings/ini_file.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

namespace yf {

namespace {

const QString kProgramTitle = QStringLiteral("Yarrowfeed");
const QString kSettingsSection = QStringLiteral("RESTORE");
// Runs shorter than this finish without a progress display flashing up.
constexpr qint64 kProgressDelayMs = 500;
constexpr int kProgressIntervalMs = 100;

// A volume without a medium, or one the user may not list, leaves the directory picker
// where it was; the drive picker keeps showing the new choice.
void followDrive(const DrivePicker &drive, DirectoryPicker &directory)
{
    directory.setPath(drive.drive());
}

QString skippedList(const std::vector<Error> &skipped)
{
    QStringList lines;
    for (const Error &folder : skipped)
        lines << folder.message();
    return lines.join(QLatin1Char('\n'));
}

} // namespace

Form1::Form1(QString settingsPath, LocalAddressSource localAddress, const Clock &clock,
             FolderLauncher openFolder, QWidget *parent)
    : QMainWindow(parent)
    , m_settingsPath(std::move(settingsPath))
    , Winsock1(std::move(localAddress))
    , m_clock(clock)
    , m_openFolder(std::move(openFolder))
    , m_background(new BackgroundRun(this))
{
    createControls();
    placeControls();
    createActions();
    createMenus();
    setFocusOrder();
    connectEvents();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load()
{
    setWindowTitle(QStringLiteral("%1 v.%2.%3.%4")
                       .arg(kProgramTitle)
                       .arg(YARROWFEED_VERSION_MAJOR)
                       .arg(YARROWFEED_VERSION_MINOR)
                       .arg(YARROWFEED_VERSION_PATCH));

    // A stored directory that is gone or unreadable must not keep the program from
    // starting: the picker refuses it and stays at the current directory.
    Dir1->setPath(ReadIniValue(kSettingsSection, QStringLiteral("InputDir"), m_settingsPath));
    Dir2->setPath(ReadIniValue(kSettingsSection, QStringLiteral("OutputDir"), m_settingsPath));

    // A base URL the user typed for another server stays; only the default follows the
    // machine's address from start to start.
    const QString stored = ReadIniValue(kSettingsSection, QStringLiteral("BaseUrl"), m_settingsPath);
    Text1->setText(stored.isEmpty() ? defaultBaseUrl() : stored);
}

QString Form1::defaultBaseUrl() const
{
    return QStringLiteral("http://") + Winsock1() + QLatin1Char('/');
}

void Form1::ItemsStatus(bool &Status)
{
    QWidget *const objects[] = {Drive1, Drive2, Dir1,      Dir2,        Text1,  Frame1,
                                Frame2, Frame3, menu_file, menu_action, Label1, Label2};
    for (QWidget *object : objects)
        object->setEnabled(Status);
}

void Form1::reportOutcome(const RunOutcome &outcome)
{
    // A failure to store the directories is not reported: the feeds are complete, and a
    // settings file the user made read-only is meant to stay as it is.
    if (outcome.finished() || outcome.cancelled()) {
        QMessageBox box(QMessageBox::Information,
                        outcome.finished() ? QStringLiteral("Complete!") : QStringLiteral("Cancelled"),
                        outcome.finished() ? completeMessage(outcome.feedsWritten)
                                           : cancelledMessage(outcome.feedsWritten),
                        QMessageBox::Ok, this);
        // The count alone would hide that some folders got no feed; the list says which and why.
        if (!outcome.skipped.empty())
            box.setDetailedText(skippedList(outcome.skipped));
        box.exec();
        return;
    }
    QMessageBox box(QMessageBox::Critical, kProgramTitle,
                    failureMessage(*outcome.error, outcome.feedsWritten), QMessageBox::Ok, this);
    box.exec();
}

RunInputs Form1::runInputs() const
{
    RunInputs inputs;
    inputs.inputDir = Dir1->path();
    inputs.highlightedEntry = Dir1->highlightedPath();
    inputs.outputDir = Dir2->path();
    inputs.baseUrl = Text1->text();
    inputs.defaultBaseUrl = defaultBaseUrl();
    inputs.settingsPath = m_settingsPath;
    return inputs;
}

bool Form1::isRunning() const
{
    return m_background->isRunning();
}

void Form1::menu_actions_generate_Click()
{
    if (m_background->isRunning())  // the greyed-out menu keeps a second run out; so does this
        return;
    // A base URL the run would refuse is said before anything is greyed out or scanned.
    if (const Result<BaseUrl> base = parseBaseUrl(Text1->text()); !base.ok()) {
        QMessageBox box(QMessageBox::Critical, kProgramTitle, base.error().message(), QMessageBox::Ok, this);
        box.exec();
        return;
    }
    beginGenerateCommand(*this);
    m_background->start(runInputs(), m_run, m_clock);
    m_runTime.start();
    m_progressTimer.start(kProgressIntervalMs);
    m_cancelRun->setEnabled(true);
}

void Form1::cancelRun()
{
    if (!m_background->isRunning())
        return;
    if (m_progress)
        m_progress->reject();  // says "Cancelling…" and asks the run to stop
    else
        m_background->cancel();
}

void Form1::updateProgress()
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

void Form1::runFinished(const RunOutcome &outcome)
{
    m_progressTimer.stop();
    m_cancelRun->setEnabled(false);
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
        m_progress = nullptr;
    }
    if (m_closing)
        return;
    finishGenerateCommand(*this, outcome);
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (m_background->isRunning()) {
        m_closing = true;
        m_background->cancel();
        m_background->wait();
    }
    QMainWindow::closeEvent(event);
}

void Form1::menu_action_outdir_Click()
{
    const QString folder = Dir2->path();
    if (!m_openFolder(folder)) {
        QMessageBox::warning(this, kProgramTitle,
                             QStringLiteral("The file browser could not be started for \"%1\".").arg(folder));
    }
}

void Form1::menu_file_exit_Click()
{
    close();
    QCoreApplication::exit(0);
}

void Form1::Drive1_Change()
{
    followDrive(*Drive1, *Dir1);
}

void Form1::Drive2_Change()
{
    followDrive(*Drive2, *Dir2);
}

void Form1::connectEvents()
{
    connect(menu_actions_generate, &QAction::triggered, this, &Form1::menu_actions_generate_Click);
    connect(menu_action_outdir, &QAction::triggered, this, &Form1::menu_action_outdir_Click);
    connect(menu_file_exit, &QAction::triggered, this, &Form1::menu_file_exit_Click);
    connect(m_cancelRun, &QAction::triggered, this, &Form1::cancelRun);
    connect(Drive1, &QComboBox::currentIndexChanged, this, &Form1::Drive1_Change);
    connect(Drive2, &QComboBox::currentIndexChanged, this, &Form1::Drive2_Change);
    connect(m_background, &BackgroundRun::finished, this, &Form1::runFinished);
    connect(&m_progressTimer, &QTimer::timeout, this, &Form1::updateProgress);
}

} // namespace yf
