// Form1's controls, their placement from the twip table, its menus and focus order.
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
constexpr Twips kFrame1{120, 120, 2295, 3615};
constexpr Twips kFrame2{2520, 120, 2295, 3615};
constexpr Twips kFrame3{120, 3840, 4695, 1695};
constexpr Twips kInstruction{120, 360, 2055, 495};  // Label3, Label4 inside their group
constexpr Twips kDrive{120, 960, 2055, 315};
constexpr Twips kDirectory{120, 1320, 2055, 2115};
constexpr Twips kLabel1{120, 360, 4455, 495};
constexpr Twips kLabel2{120, 840, 4455, 255};
constexpr Twips kText1{120, 1200, 4455, 285};
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

void Form1::createControls()
{
    auto *client = new QWidget(this);
    setCentralWidget(client);
    setWindowIcon(appIcon());

    Frame1 = new QGroupBox(QStringLiteral("Step 1 - Input Directory"), client);
    Frame2 = new QGroupBox(QStringLiteral("Step 2 - Output Directory"), client);
    Frame3 = new QGroupBox(QStringLiteral("Step 3 - Optional (For advanced users only)"), client);

    // The two instructions stay enabled while a run greys their groups out, so they sit
    // on the client area above the group rather than inside it.
    Label3 = makeLabel(QStringLiteral("Select the directory you wish to process."), true, client);
    Label4 = makeLabel(QStringLiteral("Select the output directory for the generated file(s)."), true, client);

    Drive1 = new DrivePicker(Frame1);
    Dir1 = new DirectoryPicker(Frame1);
    Drive2 = new DrivePicker(Frame2);
    Dir2 = new DirectoryPicker(Frame2);
    Label1 = makeLabel(QStringLiteral("Change this only if you are hosting on a different machine or "
                                      "requires a different URL output."),
                       true, Frame3);
    Label2 = makeLabel(QStringLiteral(" e.g.    http://xxx.xxx.xxx.xxx:1234/~user01/"), false, Frame3);
    Text1 = new QLineEdit(Frame3);

    // Only the group titles are bold; what lies inside keeps the window's weight.
    QFont bold = font();
    bold.setBold(true);
    QFont regular;
    regular.setWeight(QFont::Normal);
    for (QGroupBox *group : {Frame1, Frame2, Frame3}) {
        group->setFont(bold);
        for (QWidget *child : group->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            child->setFont(regular);
    }
}

bool Form1::textFits(double scale) const
{
    const QRect frame1 = rectOf(kFrame1, scale);
    const QRect frame2 = rectOf(kFrame2, scale);
    const QRect frame3 = rectOf(kFrame3, scale);
    const QRect drive = rectOf(kDrive, scale);
    const QRect text1 = rectOf(kText1, scale);
    return groupTitleFits(Frame1, frame1, scale) && groupTitleFits(Frame2, frame2, scale) &&
           groupTitleFits(Frame3, frame3, scale) && labelFits(Label3, rectOf(kInstruction, scale)) &&
           labelFits(Label4, rectOf(kInstruction, scale)) && labelFits(Label1, rectOf(kLabel1, scale)) &&
           labelFits(Label2, rectOf(kLabel2, scale)) &&
           Drive1->minimumSizeHint().height() <= drive.height() &&
           Drive2->minimumSizeHint().height() <= drive.height() &&
           Text1->minimumSizeHint().height() <= text1.height();
}

void Form1::placeControls()
{
    // One factor for the whole table, so that the proportions stay those of the table.
    int step = 0;
    while (step < kMaxScaleSteps && !textFits(1.0 + step * kScaleStep))
        ++step;
    m_scale = 1.0 + step * kScaleStep;
    const double s = m_scale;

    centralWidget()->setFixedSize(rectOf(kClient, s).size());
    Frame1->setGeometry(rectOf(kFrame1, s));
    Frame2->setGeometry(rectOf(kFrame2, s));
    Frame3->setGeometry(rectOf(kFrame3, s));
    Label3->setGeometry(rectOf(within(kFrame1, kInstruction), s));
    Label4->setGeometry(rectOf(within(kFrame2, kInstruction), s));
    Label3->raise();
    Label4->raise();
    Drive1->setGeometry(rectOf(kDrive, s));
    Dir1->setGeometry(rectOf(kDirectory, s));
    Drive2->setGeometry(rectOf(kDrive, s));
    Dir2->setGeometry(rectOf(kDirectory, s));
    Label1->setGeometry(rectOf(kLabel1, s));
    Label2->setGeometry(rectOf(kLabel2, s));
    Text1->setGeometry(rectOf(kText1, s));

    // Nothing follows a change of size: the window keeps the size of its layout.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void Form1::createActions()
{
    menu_file_exit = new QAction(QStringLiteral("E&xit"), this);
    // Ctrl+Q is every Linux desktop's quit key; Ctrl+X stays the first one, as the menu shows it.
    menu_file_exit->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::CTRL | Qt::Key_Q)});
    menu_actions_generate = new QAction(QStringLiteral("Generate RSS"), this);
    menu_actions_generate->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    menu_action_outdir = new QAction(QStringLiteral("View Output Directory"), this);
    menu_action_outdir->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));

    // On the window, not in a menu: the menus are greyed out while a run is in progress.
    m_cancelRun = new QAction(QStringLiteral("Cancel"), this);
    m_cancelRun->setShortcut(QKeySequence(Qt::Key_Escape));
    m_cancelRun->setShortcutContext(Qt::WindowShortcut);
    m_cancelRun->setEnabled(false);
    addAction(m_cancelRun);
}

void Form1::createMenus()
{
    menu_file = menuBar()->addMenu(QStringLiteral("File"));
    menu_file->addAction(menu_file_exit);
    menu_action = menuBar()->addMenu(QStringLiteral("Actions"));
    menu_action->addAction(menu_actions_generate);
    space1 = menu_action->addSeparator();
    menu_action->addAction(menu_action_outdir);
}

void Form1::setFocusOrder()
{
    setTabOrder(Drive1, Dir1);
    setTabOrder(Dir1, Drive2);
    setTabOrder(Drive2, Dir2);
    setTabOrder(Dir2, Text1);
    Drive1->setFocus();
}

} // namespace yf
