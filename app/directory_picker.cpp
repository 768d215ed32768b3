#include "app/directory_picker.h"

#include "runtime/file_system.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>

namespace yf {

namespace {

constexpr int kPathRole = Qt::UserRole;

QString normalised(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// The listing is read before anything is shown, so a directory that cannot be
// enumerated is refused instead of being shown empty.
bool isListable(const QString &path)
{
    if (!QFileInfo(path).isDir())
        return false;
    fs::DirectoryStream stream;
    return stream.open(fs::encodePath(path)).ok();
}

QStringList subdirectoriesOf(const QString &path)
{
    return QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

QString childPath(const QString &parent, const QString &name)
{
    return parent.endsWith(QLatin1Char('/')) ? parent + name : parent + QLatin1Char('/') + name;
}

} // namespace

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

bool DirectoryPicker::setPath(const QString &path)
{
    if (path.isEmpty())
        return true;
    const QString target = normalised(path);
    if (!isListable(target))
        return false;
    showDirectory(target, subdirectoriesOf(target));
    return true;
}

QString DirectoryPicker::path() const
{
    return m_path;
}

QString DirectoryPicker::highlightedPath() const
{
    const QTreeWidgetItem *item = currentItem();
    return item ? item->data(0, kPathRole).toString() : m_path;
}

bool DirectoryPicker::highlight(const QString &fullPath)
{
    const QString wanted = normalised(fullPath);
    for (QTreeWidgetItemIterator it(this); *it; ++it) {
        if ((*it)->data(0, kPathRole).toString() == wanted) {
            setCurrentItem(*it);
            scrollToItem(*it);
            return true;
        }
    }
    return false;
}

void DirectoryPicker::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        openEntry(currentItem());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void DirectoryPicker::drawBranches(QPainter *, const QRect &, const QModelIndex &) const
{
}

void DirectoryPicker::openEntry(QTreeWidgetItem *item)
{
    // A directory that vanished or may not be read is simply not opened.
    if (item)
        setPath(item->data(0, kPathRole).toString());
}

void DirectoryPicker::showDirectory(const QString &path, const QStringList &subdirectories)
{
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    clear();
    m_path = path;

    auto *current = new QTreeWidgetItem(this, QStringList(QStringLiteral("/")));
    current->setData(0, kPathRole, QStringLiteral("/"));
    current->setIcon(0, openIcon);
    QString walked = QStringLiteral("/");
    for (const QString &name : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        walked = childPath(walked, name);
        current = new QTreeWidgetItem(current, QStringList(name));
        current->setData(0, kPathRole, walked);
        current->setIcon(0, openIcon);
    }
    for (const QString &name : subdirectories) {
        auto *child = new QTreeWidgetItem(current, QStringList(name));
        child->setData(0, kPathRole, childPath(path, name));
        child->setIcon(0, closedIcon);
    }
    expandAll();
    setCurrentItem(current);
    scrollToItem(current);
}

} // namespace yf
