// A drive picker: the machine's mounted volumes, "/" first.
#pragma once

#include <QComboBox>
#include <QList>
#include <QString>

namespace yf {

// One volume the user may choose: where it is mounted and, if it has one, its name.
struct Volume {
    QString rootPath;
    QString name;
};

// A combo box of volumes. Each entry shows the mount point and the volume name. Choosing
// another entry emits currentIndexChanged, the picker's change notice.
class DrivePicker : public QComboBox {
    Q_OBJECT

public:
    // Lists mountedVolumes() and selects the volume that holds the process's current directory.
    explicit DrivePicker(QWidget *parent = nullptr);

    // The machine's volumes that a person would browse: "/" first, then by mount point.
    // Kernel and system file systems (proc, sysfs, cgroup, devpts, the tmpfs mounts under
    // /run, /dev and /sys, and the like) are left out.
    static QList<Volume> mountedVolumes();

    // Replaces the list and selects the volume that holds `pathInside` (the entry with the
    // longest mount point that contains it; the first entry when none does). Emits no
    // change notice.
    void setVolumes(const QList<Volume> &volumes, const QString &pathInside);

    // The selected volume's mount point; empty when the list is empty.
    QString drive() const;

    // The entry's text for a volume: "/media/usb  [Music]", or just the mount point.
    static QString entryText(const Volume &volume);
};

} // namespace yf
