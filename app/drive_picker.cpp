#include "app/drive_picker.h"

#include <QDir>
#include <QSignalBlocker>
#include <QStorageInfo>

#include <algorithm>

namespace yf {

namespace {

constexpr int kRootRole = Qt::UserRole;

bool isSystemFileSystem(const QByteArray &type)
{
    static const QByteArrayList kTypes = {
        "proc",      "sysfs",     "cgroup",     "cgroup2",   "devpts",   "devtmpfs",
        "mqueue",    "securityfs", "pstore",    "bpf",       "debugfs",  "tracefs",
        "configfs",  "fusectl",   "hugetlbfs",  "autofs",    "binfmt_misc", "efivarfs",
        "rpc_pipefs", "nsfs",     "selinuxfs",  "fuse.gvfsd-fuse", "fuse.portal",
    };
    return kTypes.contains(type);
}

bool isSystemPlace(const QString &mountPoint)
{
    for (const char *place : {"/proc", "/sys", "/dev", "/run", "/var/run", "/var/lock"}) {
        const QString prefix = QLatin1String(place);
        if (mountPoint == prefix || mountPoint.startsWith(prefix + QLatin1Char('/')))
            return true;
    }
    return false;
}

bool contains(const QString &root, const QString &path)
{
    return root == QLatin1String("/") || path == root || path.startsWith(root + QLatin1Char('/'));
}

} // namespace

DrivePicker::DrivePicker(QWidget *parent)
    : QComboBox(parent)
{
    setVolumes(mountedVolumes(), QDir::currentPath());
}

QList<Volume> DrivePicker::mountedVolumes()
{
    QList<Volume> volumes;
    for (const QStorageInfo &storage : QStorageInfo::mountedVolumes()) {
        const QString root = storage.rootPath();
        if (isSystemFileSystem(storage.fileSystemType()) || isSystemPlace(root))
            continue;
        const bool seen = std::any_of(volumes.cbegin(), volumes.cend(),
                                      [&](const Volume &v) { return v.rootPath == root; });
        if (!seen)
            volumes.append(Volume{root, storage.name()});
    }
    std::sort(volumes.begin(), volumes.end(), [](const Volume &a, const Volume &b) {
        if ((a.rootPath == QLatin1String("/")) != (b.rootPath == QLatin1String("/")))
            return a.rootPath == QLatin1String("/");
        return a.rootPath < b.rootPath;
    });
    if (volumes.isEmpty() || volumes.first().rootPath != QLatin1String("/"))
        volumes.prepend(Volume{QStringLiteral("/"), {}});
    return volumes;
}

void DrivePicker::setVolumes(const QList<Volume> &volumes, const QString &pathInside)
{
    const QSignalBlocker quiet(this);
    clear();
    int best = volumes.isEmpty() ? -1 : 0;
    qsizetype bestLength = -1;
    for (int i = 0; i < volumes.size(); ++i) {
        const Volume &volume = volumes[i];
        addItem(entryText(volume), volume.rootPath);
        if (contains(volume.rootPath, pathInside) && volume.rootPath.size() > bestLength) {
            best = i;
            bestLength = volume.rootPath.size();
        }
    }
    setCurrentIndex(best);
}

QString DrivePicker::drive() const
{
    return currentData(kRootRole).toString();
}

QString DrivePicker::entryText(const Volume &volume)
{
    if (volume.name.isEmpty())
        return volume.rootPath;
    return QStringLiteral("%1  [%2]").arg(volume.rootPath, volume.name);
}

} // namespace yf
