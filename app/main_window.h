// The main window: its controls and menus, start-up, and the commands behind them.
#pragma once

#include "app/desktop.h"
#include "generate/generate.h"
#include "runtime/clock.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QTimer>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;

namespace yf {

class BackgroundRun;
class DirectoryPicker;
class DrivePicker;
class RunProgressDialog;

// Every handler runs on the window's thread. A generation run does its work on a worker
// thread, so the window keeps repainting; the controls and menus stay greyed out meanwhile,
// and a run that lasts more than a moment shows its progress and can be cancelled. Each
// control and action has an objectName (its member's name without "m_").
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // `settingsPath`: the settings file. `localAddress`: the machine's address for the default
    // base URL. `clock`: feed dates; must outlive the window. `openFolder`: shows the output
    // directory in the file browser. Tags once read are kept in "tags.sqlite" in the user's
    // cache folder for the application (normally ~/.cache/yarrowfeed): set its name first.
    MainWindow(QString settingsPath, LocalAddressSource localAddress, const Clock &clock, FolderLauncher openFolder,
               QWidget *parent = nullptr);
    ~MainWindow() override;

    // True from the start of a generation run until the window has been given back.
    bool isRunning() const;
    // The progress display of the current run; null until the run has lasted a moment.
    RunProgressDialog *progressDialog() const { return m_progress; }

    // The run the controls ask for right now.
    RunRequest runRequest() const;

    // The factor applied to the layout table so that every text fits the default font.
    double layoutScale() const { return m_scale; }

protected:
    // A run in progress is cancelled and waited for first, so no feed is left half-written.
    void closeEvent(QCloseEvent *event) override;
    // Says, once the window is up, which stored directory could not be opened.
    void showEvent(QShowEvent *event) override;

private:
    // The directories and the base URL of the last run (the default base URL unless another
    // one is stored). A stored directory that cannot be opened is passed over.
    void restoreSettings();
    // Greys out, or gives back, the twelve objects a run must keep the user's hands off: both
    // drive and directory pickers, the base URL field, the three groups, both menus and the
    // base URL's two notes; and the tags switch, so a run's choice cannot change under it.
    // Nothing else changes.
    void setRunning(bool running);
    // "Complete!" with the feed count, "Cancelled" with the feeds written before the cancel,
    // or a critical box naming what failed.
    void reportOutcome(const RunOutcome &outcome);

    void generate();
    void viewOutputDirectory();
    void exitProgram();
    void inputDriveChanged();
    void outputDriveChanged();
    void runFinished(const RunOutcome &outcome);
    void cancelRun();
    QString defaultBaseUrl() const;
    void updateProgress();

    void createControls();
    void placeControls();
    bool textFits(double scale) const;
    void createActions();
    void createMenus();
    void setFocusOrder();
    void connectEvents();

    const QString m_settingsPath;
    const LocalAddressSource m_localAddress;
    const Clock &m_clock;
    const FolderLauncher m_openFolder;
    const QString m_tagCacheFile;  // where tags already read are kept between runs

    DrivePicker *m_inputDrivePicker = nullptr;
    DrivePicker *m_outputDrivePicker = nullptr;
    DirectoryPicker *m_inputPicker = nullptr;
    DirectoryPicker *m_outputPicker = nullptr;
    QLineEdit *m_baseUrlEdit = nullptr;
    QGroupBox *m_inputGroup = nullptr;
    QGroupBox *m_outputGroup = nullptr;
    QGroupBox *m_baseUrlGroup = nullptr;
    QLabel *m_inputHint = nullptr;
    QLabel *m_outputHint = nullptr;
    QLabel *m_baseUrlHint = nullptr;
    QLabel *m_baseUrlExample = nullptr;
    QMenu *m_fileMenu = nullptr;
    QMenu *m_actionsMenu = nullptr;
    QAction *m_exitAction = nullptr;
    QAction *m_generateAction = nullptr;
    QAction *m_viewOutputAction = nullptr;
    // Checked: episodes and channels take titles, durations, order and art from the files.
    QAction *m_tagsAction = nullptr;
    // Escape while a run is in progress, wherever the focus is: the run stops at its next folder.
    QAction *m_cancelRunAction = nullptr;

    double m_scale = 1.0;
    BackgroundRun *m_background = nullptr;
    RunProgressDialog *m_progress = nullptr;
    QTimer m_progressTimer;
    QElapsedTimer m_runTime;
    bool m_closing = false;
    QString m_startupWarning;  // shown once the window is up
};

} // namespace yf
