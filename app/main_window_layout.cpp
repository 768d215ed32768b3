// The main window's controls, their placement from the twip table, its menus and focus order.
#include "app/main_window.h"

#include "app/directory_picker.h"
#include "app/drive_picker.h"

#include <QAction>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>
#include <QStyleOptionGroupBox>

#include <climits>

namespace yf {

namespace {

// Positions and sizes in twips, relative to the parent; 15 twips make one pixel at scale 1.
struct Twips {
    int left, top, width, height;
};

constexpr int kTwipsPerPixel = 15;
constexpr Twips kClient{0, 0, 4950, 5655};
constexpr Twips kInputGroup{120, 120, 2295, 3615};
constexpr Twips kOutputGroup{2520, 120, 2295, 3615};
constexpr Twips kBaseUrlGroup{120, 3840, 4695, 1695};
constexpr Twips kInstruction{120, 360, 2055, 495};  // m_inputHint, m_outputHint inside their group
constexpr Twips kDrive{120, 960, 2055, 315};
constexpr Twips kDirectory{120, 1320, 2055, 2115};
constexpr Twips kBaseUrlHint{120, 360, 4455, 495};
constexpr Twips kBaseUrlExample{120, 840, 4455, 255};
constexpr Twips kBaseUrlEdit{120, 1200, 4455, 285};
constexpr int kFirstChildTop = 360;  // the top of the first control inside each group

constexpr double kScaleStep = 0.05;
constexpr int kMaxScaleSteps = 40;  // up to three times the table's size

int px(int twips, double scale)
{
    return qRound(twips * scale / kTwipsPerPixel);
}

QRect rectOf(const Twips &t, double scale)
{
    return QRect(px(t.left, scale), px(t.top, scale), px(t.width, scale), px(t.height, scale));
}

// A control that lies inside a group, placed in the group's parent instead.
Twips within(const Twips &group, const Twips &child)
{
    return Twips{group.left + child.left, group.top + child.top, child.width, child.height};
}

// Gives `object` the name tests and style sheets find it by, and returns it.
template <typename T>
T *named(T *object, const char *name)
{
    object->setObjectName(QLatin1String(name));
    return object;
}

QLabel *makeLabel(const QString &text, bool wrap, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);  // keeps every blank of the text
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(wrap);
    return label;
}

bool labelFits(const QLabel *label, const QRect &box)
{
    const int flags = Qt::AlignLeft | Qt::AlignTop | (label->wordWrap() ? Qt::TextWordWrap : 0);
    const QRect need = label->fontMetrics().boundingRect(QRect(0, 0, box.width(), INT_MAX / 2), flags,
                                                         label->text());
    return need.width() <= box.width() && need.height() <= box.height();
}

bool groupTitleFits(const QGroupBox *group, const QRect &box, double scale)
{
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.rect = QRect(QPoint(0, 0), box.size());
    option.text = group->title();
    option.textAlignment = group->alignment();
    option.lineWidth = 1;
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect title = group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
    const int textWidth = group->fontMetrics().horizontalAdvance(group->title());
    return title.left() >= 0 && title.left() + textWidth <= option.rect.right() &&
           title.bottom() < px(kFirstChildTop, scale);
}

} // namespace

void MainWindow::createControls()
{
    auto *client = new QWidget(this);
    setCentralWidget(client);
    setWindowIcon(appIcon());

    m_inputGroup = named(new QGroupBox(QStringLiteral("Step 1 - Input Directory"), client), "inputGroup");
    m_outputGroup = named(new QGroupBox(QStringLiteral("Step 2 - Output Directory"), client), "outputGroup");
    m_baseUrlGroup = named(new QGroupBox(QStringLiteral("Step 3 - Optional (For advanced users only)"), client), "baseUrlGroup");

    // The two instructions stay enabled while a run greys their groups out, so they sit
    // on the client area above the group rather than inside it.
    m_inputHint = named(makeLabel(QStringLiteral("Select the directory you wish to process."), true, client), "inputHint");
    m_outputHint = named(makeLabel(QStringLiteral("Select the output directory for the generated file(s)."), true, client), "outputHint");

    m_inputDrivePicker = named(new DrivePicker(m_inputGroup), "inputDrivePicker");
    m_inputPicker = named(new DirectoryPicker(m_inputGroup), "inputPicker");
    m_outputDrivePicker = named(new DrivePicker(m_outputGroup), "outputDrivePicker");
    m_outputPicker = named(new DirectoryPicker(m_outputGroup), "outputPicker");
    m_baseUrlHint = named(makeLabel(QStringLiteral("Change this only if you are hosting on a different machine or "
                                      "requires a different URL output."),
                       true, m_baseUrlGroup), "baseUrlHint");
    m_baseUrlExample = named(makeLabel(QStringLiteral(" e.g.    http://xxx.xxx.xxx.xxx:1234/~user01/"), false, m_baseUrlGroup), "baseUrlExample");
    m_baseUrlEdit = named(new QLineEdit(m_baseUrlGroup), "baseUrlEdit");

    // Only the group titles are bold; what lies inside keeps the window's weight.
    QFont bold = font();
    bold.setBold(true);
    QFont regular;
    regular.setWeight(QFont::Normal);
    for (QGroupBox *group : {m_inputGroup, m_outputGroup, m_baseUrlGroup}) {
        group->setFont(bold);
        for (QWidget *child : group->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            child->setFont(regular);
    }
}

bool MainWindow::textFits(double scale) const
{
    const QRect inputGroup = rectOf(kInputGroup, scale);
    const QRect outputGroup = rectOf(kOutputGroup, scale);
    const QRect baseUrlGroup = rectOf(kBaseUrlGroup, scale);
    const QRect drive = rectOf(kDrive, scale);
    const QRect baseUrlEdit = rectOf(kBaseUrlEdit, scale);
    return groupTitleFits(m_inputGroup, inputGroup, scale) && groupTitleFits(m_outputGroup, outputGroup, scale) &&
           groupTitleFits(m_baseUrlGroup, baseUrlGroup, scale) && labelFits(m_inputHint, rectOf(kInstruction, scale)) &&
           labelFits(m_outputHint, rectOf(kInstruction, scale)) && labelFits(m_baseUrlHint, rectOf(kBaseUrlHint, scale)) &&
           labelFits(m_baseUrlExample, rectOf(kBaseUrlExample, scale)) &&
           m_inputDrivePicker->minimumSizeHint().height() <= drive.height() &&
           m_outputDrivePicker->minimumSizeHint().height() <= drive.height() &&
           m_baseUrlEdit->minimumSizeHint().height() <= baseUrlEdit.height();
}

void MainWindow::placeControls()
{
    // One factor for the whole table, so that the proportions stay those of the table.
    int step = 0;
    while (step < kMaxScaleSteps && !textFits(1.0 + step * kScaleStep))
        ++step;
    m_scale = 1.0 + step * kScaleStep;
    const double s = m_scale;

    centralWidget()->setFixedSize(rectOf(kClient, s).size());
    m_inputGroup->setGeometry(rectOf(kInputGroup, s));
    m_outputGroup->setGeometry(rectOf(kOutputGroup, s));
    m_baseUrlGroup->setGeometry(rectOf(kBaseUrlGroup, s));
    m_inputHint->setGeometry(rectOf(within(kInputGroup, kInstruction), s));
    m_outputHint->setGeometry(rectOf(within(kOutputGroup, kInstruction), s));
    m_inputHint->raise();
    m_outputHint->raise();
    m_inputDrivePicker->setGeometry(rectOf(kDrive, s));
    m_inputPicker->setGeometry(rectOf(kDirectory, s));
    m_outputDrivePicker->setGeometry(rectOf(kDrive, s));
    m_outputPicker->setGeometry(rectOf(kDirectory, s));
    m_baseUrlHint->setGeometry(rectOf(kBaseUrlHint, s));
    m_baseUrlExample->setGeometry(rectOf(kBaseUrlExample, s));
    m_baseUrlEdit->setGeometry(rectOf(kBaseUrlEdit, s));

    // Nothing follows a change of size: the window keeps the size of its layout.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void MainWindow::createActions()
{
    m_exitAction = named(new QAction(QStringLiteral("E&xit"), this), "exitAction");
    // Ctrl+Q is every Linux desktop's quit key; Ctrl+X stays the first one, as the menu shows it.
    m_exitAction->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::CTRL | Qt::Key_Q)});
    m_generateAction = named(new QAction(QStringLiteral("Generate RSS"), this), "generateAction");
    m_generateAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    m_viewOutputAction = named(new QAction(QStringLiteral("View Output Directory"), this), "viewOutputAction");
    m_viewOutputAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    m_tagsAction = named(new QAction(QStringLiteral("Episode Details from &Tags"), this), "tagsAction");
    m_tagsAction->setCheckable(true);

    // On the window, not in a menu: the menus are greyed out while a run is in progress.
    m_cancelRunAction = named(new QAction(QStringLiteral("Cancel"), this), "cancelRunAction");
    m_cancelRunAction->setShortcut(QKeySequence(Qt::Key_Escape));
    m_cancelRunAction->setShortcutContext(Qt::WindowShortcut);
    m_cancelRunAction->setEnabled(false);
    addAction(m_cancelRunAction);
}

void MainWindow::createMenus()
{
    m_fileMenu = named(menuBar()->addMenu(QStringLiteral("File")), "fileMenu");
    m_fileMenu->addAction(m_exitAction);
    m_actionsMenu = named(menuBar()->addMenu(QStringLiteral("Actions")), "actionsMenu");
    m_actionsMenu->addAction(m_generateAction);
    m_actionsMenu->addSeparator();
    m_actionsMenu->addAction(m_viewOutputAction);
    m_actionsMenu->addSeparator();
    m_actionsMenu->addAction(m_tagsAction);
}

void MainWindow::setFocusOrder()
{
    setTabOrder(m_inputDrivePicker, m_inputPicker);
    setTabOrder(m_inputPicker, m_outputDrivePicker);
    setTabOrder(m_outputDrivePicker, m_outputPicker);
    setTabOrder(m_outputPicker, m_baseUrlEdit);
    m_inputDrivePicker->setFocus();
}

} // namespace yf
