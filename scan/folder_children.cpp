#include "scan/folder_children.h"

#include "fast/directory_reader.h"

#include "fast/name_order.h"
#include "runtime/file_system.h"

#include <algorithm>
#include <sys/stat.h>

namespace yf {

namespace {

QByteArray childPath(const QByteArray &parent, const QByteArray &name)
{
    return parent.endsWith('/') ? parent + name : parent + '/' + name;
}

// Only a folder or a link may be one; an unknown type needs the stat to tell.
bool mayBeFolder(const dirent &entry)
{
    return entry.d_type == DT_DIR || entry.d_type == DT_LNK || entry.d_type == DT_UNKNOWN;
}

} // namespace

FolderAccess folderAccess(const QByteArray &path)
{
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return FolderAccess::NotAFolder;
    // The listing is opened, not judged from the mode bits, so a folder that cannot be
    // enumerated is refused instead of being shown empty.
    fast::DirectoryReader stream;
    return stream.open(path).ok() ? FolderAccess::Listable : FolderAccess::Unlistable;
}

Result<std::vector<FolderChild>> folderChildren(const QByteArray &folder)
{
    struct Found {
        FolderChild child;
        fast::NameOrder::KeySlot key = fast::NameOrder::kNoKey;
    };
    std::vector<Found> found;
    fast::DirectoryReader stream;
    if (Status opened = stream.open(folder); !opened.ok())
        return opened.error();
    while (const dirent *entry = stream.next()) {
        if (entry->d_name[0] == '.' || !mayBeFolder(*entry))
            continue;
        struct stat st;
        if (::fstatat(stream.fd(), entry->d_name, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            continue;
        const QByteArray name(entry->d_name);
        found.push_back({{name, folderAccess(childPath(folder, name)) == FolderAccess::Listable}});
    }
    if (Status read = stream.status(); !read.ok())
        return read.error();
    fast::NameOrder order;
    std::sort(found.begin(), found.end(), [&order](Found &a, Found &b) {
        return order.less(a.child.name, a.key, b.child.name, b.key);
    });
    std::vector<FolderChild> children;
    children.reserve(found.size());
    for (Found &f : found)
        children.push_back(std::move(f.child));
    return children;
}

} // namespace yf
