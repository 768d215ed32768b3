// The main window `Form1`: its controls and menus, start-up, and the commands behind them.
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
// thread, so the window keeps repainting; the twelve objects stay greyed out meanwhile, and a
// run that lasts more than a moment shows its progress and can be cancelled.
class Form1 : public QMainWindow, public GenerateHost {
    Q_OBJECT

public:
    // `settingsPath`: the settings file ("config.ini" beside the program). `Winsock1`: the
    // local address for the default base URL. `clock`: feed dates; must outlive the window.
    // `openFolder`: shows the output directory in the file browser.
    Form1(QString settingsPath, LocalAddressSource Winsock1, const Clock &clock, FolderLauncher openFolder,
          QWidget *parent = nullptr);
    ~Form1() override;

    // Controls and menus, named as in the layout. Owned by the window.
    DrivePicker *Drive1 = nullptr;
    DrivePicker *Drive2 = nullptr;
    DirectoryPicker *Dir1 = nullptr;
    DirectoryPicker *Dir2 = nullptr;
    QLineEdit *Text1 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QGroupBox *Frame3 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QMenu *menu_file = nullptr;
    QMenu *menu_action = nullptr;
    QAction *menu_file_exit = nullptr;
    QAction *menu_actions_generate = nullptr;
    QAction *space1 = nullptr;
    QAction *menu_action_outdir = nullptr;

    // Sets the title, restores the two directories and the base URL (the default unless
    // another one is stored). The constructor calls it once; a stored directory that cannot
    // be opened is passed over.
    void Form_Load();

    // Enables or disables, in this order: Drive1, Drive2, Dir1, Dir2, Text1, Frame1, Frame2,
    // Frame3, menu_file, menu_action, Label1, Label2. Nothing else changes.
    void ItemsStatus(bool &Status) override;

    // "Complete!" with the feed count, "Cancelled" with the feeds written before the cancel,
    // or a critical box naming what failed.
    void reportOutcome(const RunOutcome &outcome) override;

    // True from the start of a generation run until the window has been given back.
    bool isRunning() const;
    // The progress display of the current run; null until the run has lasted a moment.
    RunProgressDialog *progressDialog() const { return m_progress; }

    // What a generation run reads from the controls right now.
    RunInputs runInputs() const;

    // The working folder list and file lister of the last run (List1, File1).
    const RunState &runState() const { return m_run; }

    // The factor applied to the layout table so that every text fits the default font.
    double layoutScale() const { return m_scale; }

    // Escape while a run is in progress, wherever the focus is: the run stops at its next folder.
    QAction *cancelRunAction() const { return m_cancelRun; }

    void menu_actions_generate_Click();
    void menu_action_outdir_Click();
    void menu_file_exit_Click();
    void Drive1_Change();
    void Drive2_Change();

protected:
    // A run in progress is cancelled and waited for first, so no feed is left half-written.
    void closeEvent(QCloseEvent *event) override;

private:
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
    const LocalAddressSource Winsock1;
    const Clock &m_clock;
    const FolderLauncher m_openFolder;
    RunState m_run;
    double m_scale = 1.0;
    BackgroundRun *m_background = nullptr;
    RunProgressDialog *m_progress = nullptr;
    QAction *m_cancelRun = nullptr;
    QTimer m_progressTimer;
    QElapsedTimer m_runTime;
    bool m_closing = false;
};

} // namespace yf
