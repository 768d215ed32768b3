#include "scan/folder_scan.h"

#include "runtime/file_system.h"

#include <cerrno>
#include <cstring>

namespace yf {

namespace {

Status scan(const QByteArray &startfolder, const QByteArray &srchstr, FolderArray &foundFolders,
            FolderFileNames *fileNames, RunObserver *observer, const std::optional<fs::FolderId> &leaveOut)
{
    foundFolders.clear();
    if (fileNames)
        fileNames->clear();
    QByteArray names;  // the current folder's, reused; each folder keeps an exact-size copy
    foundFolders.push_back(startfolder);
    if (observer)
        observer->foldersFound(1);

    // foundFolders is the queue: i is its head, the vector's end its tail.
    for (std::size_t i = 0; i < foundFolders.size(); ++i) {
        if (observer && observer->cancelRequested())
            return Error{ErrorKind::Cancelled, QStringLiteral("Cancelled"), {}, {}, 0};

        const QByteArray current = foundFolders[i];  // the vector may grow below
        if (fileNames)
            fileNames->emplace_back();
        fs::DirectoryStream stream;
        if (Status opened = stream.open(current); !opened.ok()) {
            if (i > 0 && opened.error().osError == ENOENT)
                continue;  // removed while we were busy elsewhere: nothing to list
            return opened;
        }
        names.resize(0);
        while (const dirent *entry = stream.next()) {
            if (fileNames && fs::mayBePlainFile(*entry)) {
                const auto length = static_cast<qsizetype>(std::strlen(entry->d_name));
                const qsizetype at = names.size();
                names.resize(at + length + 1);
                std::memcpy(names.data() + at, entry->d_name, static_cast<std::size_t>(length) + 1);
            }
            if (!fs::matchesPattern(entry->d_name, srchstr))
                continue;
            const std::optional<fs::FolderId> folder = fs::plainFolderId(stream.fd(), *entry);
            if (!folder || (leaveOut && *folder == *leaveOut))
                continue;
            const auto nameLength = static_cast<qsizetype>(std::strlen(entry->d_name));
            QByteArray path;
            path.reserve(current.size() + nameLength + 1);
            path.append(current).append(entry->d_name, nameLength).append('/');
            foundFolders.push_back(std::move(path));
            if (observer)
                observer->foldersFound(static_cast<qsizetype>(foundFolders.size()));
        }
        if (Status read = stream.status(); !read.ok())
            return read;
        if (fileNames && !names.isEmpty())
            fileNames->back() = QByteArray(names.constData(), names.size());
    }
    foundFolders.shrink_to_fit();
    if (fileNames)
        fileNames->shrink_to_fit();
    return {};
}

} // namespace

Status spanFolders(const QByteArray &startfolder, const QByteArray &srchstr, FolderArray &foundFolders,
                   RunObserver *observer)
{
    return scan(startfolder, srchstr, foundFolders, nullptr, observer, std::nullopt);
}

Status spanFolders(const QByteArray &startfolder, const QByteArray &srchstr, FolderArray &foundFolders,
                   FolderFileNames &fileNames, RunObserver *observer, std::optional<fs::FolderId> leaveOut)
{
    return scan(startfolder, srchstr, foundFolders, &fileNames, observer, leaveOut);
}

} // namespace yf
