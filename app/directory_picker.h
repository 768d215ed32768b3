// The directory picker (`Dir1`, `Dir2`): the chain from "/" to the current directory and its sub-directories.
#pragma once

#include <QString>
#include <QTreeWidget>

class QKeyEvent;
class QPainter;

namespace yf {

// Lists "/", each directory down to the current one, then the current one's
// sub-directories (hidden ones left out), each level indented one step. A click
// highlights an entry; a double-click or Enter opens it, which makes it current.
class DirectoryPicker : public QTreeWidget {
    Q_OBJECT

public:
    // Starts at the process's current directory, or at "/" when that cannot be listed.
    explicit DirectoryPicker(QWidget *parent = nullptr);

    // Opens `path` and highlights it. An empty path is accepted and changes nothing. A path
    // that is not an existing directory that can be listed is refused: false, nothing changes.
    // A relative path is taken from the process's current directory.
    bool setPath(const QString &path);

    // The current directory: absolute, no trailing "/" except for "/" itself.
    QString path() const;

    // The full path of the highlighted entry; the current directory until the user
    // highlights another entry.
    QString highlightedPath() const;

    // Highlights the visible entry `fullPath` without opening it, as a click does.
    // False, and nothing changes, when no such entry is shown.
    bool highlight(const QString &fullPath);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    // Every level is always open, so there is nothing to expand or collapse.
    void drawBranches(QPainter *painter, const QRect &rect, const QModelIndex &index) const override;

private:
    void openEntry(QTreeWidgetItem *item);
    void showDirectory(const QString &path, const QStringList &subdirectories);

    QString m_path;
};

} // namespace yf
