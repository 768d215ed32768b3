#include "app/directory_picker.h"

#include "runtime/file_system.h"
#include "scan/folder_children.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>

#include <vector>

namespace yf {

namespace {

constexpr int kNativeRole = Qt::UserRole;

QByteArray normalised(const QString &path)
{
    return fs::encodePath(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

// What the user reads: undecodable bytes become replacement characters.
QString shown(const QByteArray &native) { return QString::fromUtf8(native); }

QByteArray childPath(const QByteArray &parent, const QByteArray &name)
{
    return parent.endsWith('/') ? parent + name : parent + '/' + name;
}

bool isListable(const QByteArray &path) { return folderAccess(path) == FolderAccess::Listable; }

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

} // namespace

// A one-line field over the top of the picker. Enter opens what it holds when that is a
// directory that can be listed, and says why not otherwise; Escape or leaving it closes it.
class LocationField : public QLineEdit {
public:
    explicit LocationField(DirectoryPicker *picker)
        : QLineEdit(picker)
        , m_picker(picker)
        , m_problem(new QLabel(this))
    {
        m_problem->setForegroundRole(QPalette::PlaceholderText);
        m_problem->hide();
        connect(this, &QLineEdit::returnPressed, this, [this] { m_picker->openTypedLocation(); });
        connect(this, &QLineEdit::textEdited, this, [this] { showProblem({}); });
    }

    void showProblem(const QString &problem)
    {
        m_problem->setText(problem);
        m_problem->setVisible(!problem.isEmpty());
        const int width = problem.isEmpty() ? 0 : m_problem->sizeHint().width() + 4;
        setTextMargins(0, 0, width, 0);
        m_problem->setGeometry(this->width() - width, 0, width, height());
    }
    QString problem() const { return m_problem->isVisible() ? m_problem->text() : QString(); }

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Escape) {
            event->accept();
            m_picker->closeLocationField();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }
    void focusOutEvent(QFocusEvent *event) override
    {
        QLineEdit::focusOutEvent(event);
        // Only a move to another control closes it, not a menu or another window coming up.
        const Qt::FocusReason why = event->reason();
        if (isVisible() && why != Qt::PopupFocusReason && why != Qt::ActiveWindowFocusReason)
            m_picker->closeLocationField();
    }

private:
    DirectoryPicker *m_picker;
    QLabel *m_problem;
};

DirectoryPicker::DirectoryPicker(QWidget *parent)
    : QTreeWidget(parent)
{
    setColumnCount(1);
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    // Deep chains and long names scroll sideways instead of being cut short.
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    setIndentation(qMax(8, fontMetrics().horizontalAdvance(QLatin1Char('0'))));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) { openEntry(item); });

    if (!setPath(QDir::currentPath()))
        setPath(QDir::rootPath());
}

DirectoryPicker::~DirectoryPicker() = default;

bool DirectoryPicker::setPath(const QString &path)
{
    if (path.isEmpty())
        return true;
    return openNative(normalised(path));
}

bool DirectoryPicker::openNative(const QByteArray &path)
{
    if (!isListable(path))
        return false;
    showDirectory(path);
    return true;
}

QString DirectoryPicker::path() const
{
    return m_path;
}

QString DirectoryPicker::highlightedPath() const
{
    const QTreeWidgetItem *item = currentItem();
    return item ? shown(item->data(0, kNativeRole).toByteArray()) : m_path;
}

bool DirectoryPicker::highlight(const QString &fullPath)
{
    const QByteArray wanted = normalised(fullPath);
    for (QTreeWidgetItemIterator it(this); *it; ++it) {
        if ((*it)->data(0, kNativeRole).toByteArray() == wanted) {
            setCurrentItem(*it);
            scrollToItem(*it);
            return true;
        }
    }
    return false;
}

QLineEdit *DirectoryPicker::locationField() const
{
    return m_location && m_location->isVisible() ? m_location : nullptr;
}

void DirectoryPicker::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        openEntry(currentItem());
    } else if ((key == Qt::Key_Backspace && mods == Qt::NoModifier) ||
               (key == Qt::Key_Up && mods == Qt::AltModifier)) {
        openParent();
    } else if (key == Qt::Key_F5 && mods == Qt::NoModifier) {
        reread();
    } else if (key == Qt::Key_L && mods == Qt::ControlModifier) {
        showLocationField(m_path);
    } else if (event->text() == QLatin1String("/") || event->text() == QLatin1String("~")) {
        // Typing a path must never jump to an entry by type-ahead and open that instead.
        showLocationField(event->text());
    } else {
        QTreeWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void DirectoryPicker::resizeEvent(QResizeEvent *event)
{
    QTreeWidget::resizeEvent(event);
    if (m_location)
        m_location->setGeometry(0, 0, width(), m_location->sizeHint().height());
}

void DirectoryPicker::drawBranches(QPainter *, const QRect &, const QModelIndex &) const
{
}

void DirectoryPicker::openEntry(QTreeWidgetItem *item)
{
    // A directory that vanished or may not be read is simply not opened.
    if (item)
        openNative(item->data(0, kNativeRole).toByteArray());
}

void DirectoryPicker::openParent()
{
    if (m_native != "/")
        openNative(parentOf(m_native));
}

void DirectoryPicker::reread()
{
    const QByteArray highlighted = currentItem() ? currentItem()->data(0, kNativeRole).toByteArray() : QByteArray();
    // The current directory may have gone meanwhile: fall back to the nearest that is left.
    QByteArray path = m_native;
    while (!isListable(path) && path != "/")
        path = parentOf(path);
    showDirectory(path);
    for (QTreeWidgetItemIterator it(this); *it; ++it) {
        if ((*it)->data(0, kNativeRole).toByteArray() == highlighted) {
            setCurrentItem(*it);
            break;
        }
    }
}

void DirectoryPicker::showDirectory(const QByteArray &path)
{
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    const auto addItem = [](QTreeWidgetItem *item, const QByteArray &native, const QIcon &icon) {
        item->setData(0, kNativeRole, native);
        item->setData(0, Qt::ToolTipRole, shown(native));
        item->setIcon(0, icon);
        return item;
    };
    // A folder that cannot be read shows no sub-folders.
    Result<std::vector<FolderChild>> listed = folderChildren(path);
    const std::vector<FolderChild> children = listed.ok() ? std::move(listed).value() : std::vector<FolderChild>();
    clear();
    m_native = path;
    m_path = shown(path);

    QTreeWidgetItem *current = addItem(new QTreeWidgetItem(this, QStringList(QStringLiteral("/"))), "/", openIcon);
    QByteArray walked("/");
    for (const QByteArray &name : path.split('/')) {
        if (name.isEmpty())
            continue;
        walked = childPath(walked, name);
        current = addItem(new QTreeWidgetItem(current, QStringList(shown(name))), walked, openIcon);
    }
    for (const FolderChild &sub : children) {
        QTreeWidgetItem *child =
            addItem(new QTreeWidgetItem(current, QStringList(shown(sub.name))), childPath(path, sub.name), closedIcon);
        if (!sub.listable)
            child->setFlags(child->flags() & ~Qt::ItemIsEnabled);
    }
    expandAll();
    setCurrentItem(current);
    scrollToItem(current);
}

void DirectoryPicker::showLocationField(const QString &start)
{
    if (!m_location)
        m_location = new LocationField(this);
    m_location->setGeometry(0, 0, width(), m_location->sizeHint().height());
    m_location->setText(start);
    m_location->showProblem({});
    m_location->show();
    m_location->raise();
    m_location->setFocus(Qt::ShortcutFocusReason);
}

void DirectoryPicker::closeLocationField()
{
    if (!m_location || !m_location->isVisible())
        return;
    const bool hadFocus = m_location->hasFocus();
    m_location->hide();
    if (hadFocus)
        setFocus(Qt::OtherFocusReason);
}

void DirectoryPicker::openTypedLocation()
{
    QString typed = m_location->text().trimmed();
    if (typed == QLatin1String("~") || typed.startsWith(QLatin1String("~/")))
        typed = QDir::homePath() + typed.mid(1);
    if (typed.isEmpty())
        return;
    const QByteArray target = QDir::isAbsolutePath(typed)
        ? normalised(typed)
        : fs::encodePath(QDir::cleanPath(m_path + QLatin1Char('/') + typed));
    if (folderAccess(target) == FolderAccess::NotAFolder) {
        m_location->showProblem(QStringLiteral("not a folder"));
        return;
    }
    if (!openNative(target)) {
        m_location->showProblem(QStringLiteral("cannot be listed"));
        return;
    }
    closeLocationField();
}

} // namespace yf
