// The directory picker: the chain from "/" to the current directory and its sub-directories.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTreeWidget>

class QKeyEvent;
class QPainter;

namespace yf {

class LocationField;

// Lists "/", each directory down to the current one, then the current one's
// sub-directories (hidden ones left out), each level indented one step. A click
// highlights an entry; a double-click or Enter opens it, which makes it current.
// Backspace and Alt+Up open the parent, F5 reads the listing again, and Ctrl+L, "/" or "~"
// open a location field where a path can be typed. Names are kept as the kernel's bytes,
// so a name that is not UTF-8 is shown (with replacement characters) and still opens.
// Sub-directories that cannot be listed are shown greyed out.
class DirectoryPicker : public QTreeWidget {
    Q_OBJECT

public:
    // Starts at the process's current directory, or at "/" when that cannot be listed.
    explicit DirectoryPicker(QWidget *parent = nullptr);
    ~DirectoryPicker() override;

    // Opens `path` and highlights it. An empty path is accepted and changes nothing. A path
    // that is not an existing directory that can be listed is refused: false, nothing changes.
    // A relative path is taken from the process's current directory.
    bool setPath(const QString &path);

    // The current directory: absolute, no trailing "/" except for "/" itself.
    QString path() const;
    // The same as the kernel's bytes.
    QByteArray nativePath() const { return m_native; }

    // The full path of the highlighted entry; the current directory until the user
    // highlights another entry.
    QString highlightedPath() const;

    // Highlights the visible entry `fullPath` without opening it, as a click does.
    // False, and nothing changes, when no such entry is shown.
    bool highlight(const QString &fullPath);

    // The location field, while it is open; null otherwise.
    QLineEdit *locationField() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    // Every level is always open, so there is nothing to expand or collapse.
    void drawBranches(QPainter *painter, const QRect &rect, const QModelIndex &index) const override;

private:
    friend class LocationField;

    void openEntry(QTreeWidgetItem *item);
    bool openNative(const QByteArray &path);
    void openParent();
    void reread();
    void showDirectory(const QByteArray &path);
    void showLocationField(const QString &start);
    void closeLocationField();
    void openTypedLocation();

    QString m_path;
    QByteArray m_native;
    LocationField *m_location = nullptr;
};

} // namespace yf
