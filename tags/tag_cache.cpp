#include "tags/tag_cache.h"

#include "tags/sqlite_reader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <cstring>

namespace yf {

namespace {

// Raised whenever the columns change; a file of another layout is started afresh.
constexpr int kLayoutVersion = 2;
// A mapping far larger than any library's cache: a file of 10,000 episodes is under 2 MB.
const char *const kMapTheFile = "PRAGMA mmap_size = 1073741824";

const char *const kCreateTable = "CREATE TABLE IF NOT EXISTS folders (path BLOB PRIMARY KEY, files BLOB NOT NULL)";

Error cacheError(const QString &operation, const QString &file, const QSqlError &error)
{
    return Error::failure(ErrorKind::TagCache, operation, file, error.text());
}

// One connection through Qt SQL under a name of its own, removed again when this goes.
class Connection {
public:
    explicit Connection(const QString &file)
        : m_name(QStringLiteral("yarrowfeed-tags-%1").arg(s_next.fetch_add(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        // Another run (a watcher beside the window, say) may be storing at the same time.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
        m_opened = db.open();
        if (!m_opened)
            m_openError = db.lastError();
    }
    ~Connection()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool opened() const { return m_opened; }
    const QSqlError &openError() const { return m_openError; }
    QSqlDatabase database() const { return QSqlDatabase::database(m_name, false); }

private:
    static inline std::atomic<int> s_next{0};
    QString m_name;
    bool m_opened = false;
    QSqlError m_openError;
};

// Starts the file afresh: removes it and the journal a broken store may have left beside it.
bool removeCacheFile(const QString &file)
{
    QFile::remove(file + QLatin1String("-journal"));
    return QFile::remove(file) || !QFile::exists(file);
}

// A block is its files back to back, each as its name and five texts (a 32-bit length and the
// bytes), then size, modification time and length (64 bits each), track and disc (32 bits),
// all in the machine's byte order: the cache never leaves the machine that wrote it.
template <typename T>
void putValue(QByteArray &out, T value)
{
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

void putText(QByteArray &out, const QByteArray &text)
{
    putValue(out, static_cast<quint32>(text.size()));
    out.append(text);
}

QByteArray borrowed(QByteArrayView text)
{
    return text.isEmpty() ? QByteArray() : QByteArray::fromRawData(text.data(), text.size());
}

} // namespace

MediaDetails CachedEntry::borrowedDetails() const
{
    return MediaDetails{borrowed(title), borrowed(comment), borrowed(album), borrowed(artist), borrowed(albumArtist),
                        track, disc, lengthMs};
}

bool takeCachedEntry(QByteArrayView &rest, CachedEntry &entry)
{
    // Every read checked against the block's end.
    const char *at = rest.data();
    const char *const end = at + rest.size();
    const auto text = [&](QByteArrayView &out) {
        quint32 length = 0;
        if (end - at < qsizetype(sizeof length))
            return false;
        std::memcpy(&length, at, sizeof length);
        at += sizeof length;
        if (quint64(end - at) < length)
            return false;
        out = QByteArrayView(at, length);
        at += length;
        return true;
    };
    const auto number = [&](auto &out) {
        std::memcpy(&out, at, sizeof out);
        at += sizeof out;
    };
    if (!text(entry.name) || !text(entry.title) || !text(entry.comment) || !text(entry.album) || !text(entry.artist)
        || !text(entry.albumArtist) || end - at < qsizetype(3 * sizeof(qint64) + 2 * sizeof(qint32)))
        return false;
    number(entry.size);
    number(entry.modifiedNs);
    number(entry.lengthMs);
    number(entry.track);
    number(entry.disc);
    entry.bytes = QByteArrayView(rest.data(), at - rest.data());
    rest = QByteArrayView(at, end - at);
    return true;
}

void appendCachedFile(QByteArray &block, const CachedFile &file)
{
    const MediaDetails &d = file.details;
    for (const QByteArray *text : {&file.name, &d.title, &d.comment, &d.album, &d.artist, &d.albumArtist})
        putText(block, *text);
    putValue(block, file.size);
    putValue(block, file.modifiedNs);
    putValue(block, d.lengthMs);
    putValue(block, static_cast<qint32>(d.track));
    putValue(block, static_cast<qint32>(d.disc));
}

QByteArray encodeFolderTags(const FolderTags &files)
{
    QByteArray out;
    for (const CachedFile &file : files)
        appendCachedFile(out, file);
    return out;
}

bool decodeFolderTags(QByteArrayView block, FolderTags &files)
{
    files.clear();
    // No file takes fewer bytes than its five numbers and six lengths: room for them all at once.
    files.reserve(static_cast<std::size_t>(block.size()) / kLeastCachedEntryBytes);
    CachedEntry entry;
    while (!block.isEmpty()) {
        if (!takeCachedEntry(block, entry)) {
            files.clear();
            return false;
        }
        files.push_back(CachedFile{entry.name.toByteArray(), entry.size, entry.modifiedNs,
                                   MediaDetails{entry.title.toByteArray(), entry.comment.toByteArray(),
                                                entry.album.toByteArray(), entry.artist.toByteArray(),
                                                entry.albumArtist.toByteArray(), entry.track, entry.disc,
                                                entry.lengthMs}});
    }
    return true;
}

LoadedTagCache loadTagCache(const QString &file)
{
    LoadedTagCache loaded;
    if (!QFileInfo::exists(file))
        return loaded;
    const auto failed = [&](const SqliteReader &reader, const char *operation) {
        loaded.replace = reader.damaged();
        loaded.problem = Error::failure(ErrorKind::TagCache, QString::fromLatin1(operation), file, reader.lastFailure());
        return loaded;
    };
    const SqliteReader reader(file);
    if (!reader.opened())
        return failed(reader, "Cannot open the tag cache");
    // Read through a mapping of the file rather than a system call per page: the whole file
    // is read, and a reader that only reads cannot corrupt it through the mapping.
    (void)reader.execute(kMapTheFile);
    {
        SqliteRows version(reader, "PRAGMA user_version");
        if (!version.next())
            return failed(reader, "Cannot read the tag cache");
        if (version.integer(0) != kLayoutVersion) {
            loaded.replace = true;
            return loaded;
        }
    }
    SqliteRows rows(reader, "SELECT path, files FROM folders");
    while (rows.next())
        loaded.folders.insert_or_assign(rows.bytes(0), rows.bytes(1));
    if (!rows.done()) {
        // Damaged part way through: what came before it may be damaged too.
        loaded.folders.clear();
        return failed(reader, "Cannot read the tag cache");
    }
    return loaded;
}

Status storeTagCache(const QString &file, bool replace, const CachedFolders &fresh, const std::vector<QByteArray> &gone)
{
    const QString folder = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(folder))
        return Error::failure(ErrorKind::TagCache, QStringLiteral("Cannot make the tag cache's folder"), folder);
    if (replace && !removeCacheFile(file))
        return Error::failure(ErrorKind::TagCache, QStringLiteral("Cannot replace the tag cache"), file);
    const Connection connection(file);
    if (!connection.opened())
        return cacheError(QStringLiteral("Cannot open the tag cache"), file, connection.openError());
    QSqlDatabase db = connection.database();
    QSqlQuery query(db);
    // The layout first, apart: a file of another layout loses its table before the new one.
    if (replace && !query.exec(QStringLiteral("DROP TABLE IF EXISTS folders")))
        return cacheError(QStringLiteral("Cannot replace the tag cache"), file, query.lastError());
    // The cache is rebuilt whenever it cannot be read, so a run's end need not wait for the disk.
    // The journal stays: a run killed while storing leaves the file as it was. Only a machine
    // that stops at that moment may leave a damaged file (rebuilt) or older rows, which are
    // harmless: a row is used only for a file of exactly its size and modification time.
    if (!query.exec(QStringLiteral("PRAGMA synchronous = OFF")) || !query.exec(QString::fromLatin1(kCreateTable))
        || !query.exec(QStringLiteral("PRAGMA user_version = %1").arg(kLayoutVersion)))
        return cacheError(QStringLiteral("Cannot write the tag cache"), file, query.lastError());
    if (!db.transaction())
        return cacheError(QStringLiteral("Cannot write the tag cache"), file, db.lastError());
    QSqlQuery insert(db);
    bool ok = insert.prepare(QStringLiteral("INSERT OR REPLACE INTO folders VALUES (?, ?)"));
    for (auto at = fresh.begin(); ok && at != fresh.end(); ++at) {
        insert.bindValue(0, at->first);
        insert.bindValue(1, at->second);
        ok = insert.exec();
    }
    QSqlQuery remove(db);
    if (ok && !gone.empty())
        ok = remove.prepare(QStringLiteral("DELETE FROM folders WHERE path = ?"));
    for (auto at = gone.begin(); ok && at != gone.end(); ++at) {
        remove.bindValue(0, *at);
        ok = remove.exec();
    }
    if (!ok) {
        const QSqlError why = insert.lastError().isValid() ? insert.lastError() : remove.lastError();
        db.rollback();
        return cacheError(QStringLiteral("Cannot write the tag cache"), file, why);
    }
    if (!db.commit())
        return cacheError(QStringLiteral("Cannot write the tag cache"), file, db.lastError());
    return {};
}

} // namespace yf
