// Builds the tags case's library: folders of small real MP3 files with ID3 tags.
#include "media_tree.h"

#include "tests/media_fixture.h"

#include <QDir>
#include <QString>

namespace bench {

namespace {

constexpr qint64 kEpisodeMs = 250;

} // namespace

bool buildMediaTree(const std::string &root, long folders, long filesPerFolder, MediaTreeFacts &facts,
                    std::string &error)
{
    facts = MediaTreeFacts{};
    facts.folders = 1;
    const QString base = QString::fromStdString(root);
    for (long k = 1; k < folders; ++k) {
        const bool book = k % 2 == 0;
        const QString folder = base + (book ? QStringLiteral("/Book %1") : QStringLiteral("/Show %1")).arg(k);
        if (!QDir().mkdir(folder)) {
            error = "Cannot create folder " + folder.toStdString();
            return false;
        }
        if (book && !mediafixture::writeFile(folder + QStringLiteral("/cover.jpg"), QByteArray(600, '\xFF'))) {
            error = "Cannot write the cover in " + folder.toStdString();
            return false;
        }
        for (long i = 1; i <= filesPerFolder; ++i) {
            mediafixture::Tags tags;
            tags.title = QStringLiteral("Part %1 of %2").arg(i).arg(k);
            tags.artist = QStringLiteral("Reader %1").arg(k);
            if (book) {
                tags.album = QStringLiteral("Book %1").arg(k);
                tags.track = static_cast<unsigned>(i);
            } else {
                tags.comment = QStringLiteral("What episode %1 is about.").arg(i);
            }
            const QString path = folder + QStringLiteral("/Part %1.mp3").arg(i);
            if (!mediafixture::writeMp3(path, kEpisodeMs, tags, mediafixture::VbrHeader::Info)) {
                error = "Cannot write " + path.toStdString();
                return false;
            }
            facts.bytes += QFileInfo(path).size();
            ++facts.files;
        }
        ++facts.folders;
    }
    return true;
}

} // namespace bench
