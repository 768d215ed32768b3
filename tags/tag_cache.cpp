#include "tags/tag_cache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>

namespace yf {

namespace {

// Raised whenever the columns change; a file of another layout is started afresh.
constexpr int kLayoutVersion = 1;

const char *const kCreateTable =
    "CREATE TABLE IF NOT EXISTS tags (path BLOB PRIMARY KEY, size INTEGER NOT NULL, modified_ns INTEGER NOT NULL,"
    " title BLOB, comment BLOB, album BLOB, artist BLOB, album_artist BLOB,"
    " track INTEGER, disc INTEGER, length_ms INTEGER) WITHOUT ROWID";

// SQLite's own codes for a file that is no database at all, or a damaged one.
bool isDamaged(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("26") || code == QLatin1String("11");
}

Error cacheError(const QString &operation, const QString &file, const QSqlError &error)
{
    return Error::failure(ErrorKind::TagCache, operation, file, error.text());
}

// One connection under a name of its own, removed again when this goes.
class Connection {
public:
    Connection(const QString &file, bool readOnly)
        : m_name(QStringLiteral("yarrowfeed-tags-%1").arg(s_next.fetch_add(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        // Another run (a watcher beside the window, say) may be storing at the same time.
        db.setConnectOptions(readOnly ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000")
                                      : QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
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

void bindDetails(QSqlQuery &insert, const QByteArray &path, const CachedDetails &entry)
{
    const MediaDetails &d = entry.details;
    insert.bindValue(0, path);
    insert.bindValue(1, entry.size);
    insert.bindValue(2, entry.modifiedNs);
    insert.bindValue(3, d.title);
    insert.bindValue(4, d.comment);
    insert.bindValue(5, d.album);
    insert.bindValue(6, d.artist);
    insert.bindValue(7, d.albumArtist);
    insert.bindValue(8, d.track);
    insert.bindValue(9, d.disc);
    insert.bindValue(10, d.lengthMs);
}

// Starts the file afresh: removes it and the journal a broken store may have left beside it.
bool removeCacheFile(const QString &file)
{
    QFile::remove(file + QLatin1String("-journal"));
    return QFile::remove(file) || !QFile::exists(file);
}

} // namespace

LoadedTagCache loadTagCache(const QString &file)
{
    LoadedTagCache loaded;
    if (!QFileInfo::exists(file))
        return loaded;
    const Connection connection(file, true);
    if (!connection.opened()) {
        loaded.replace = isDamaged(connection.openError());
        loaded.problem = cacheError(QStringLiteral("Cannot open the tag cache"), file, connection.openError());
        return loaded;
    }
    QSqlQuery query(connection.database());
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        loaded.replace = isDamaged(query.lastError());
        loaded.problem = cacheError(QStringLiteral("Cannot read the tag cache"), file, query.lastError());
        return loaded;
    }
    if (query.value(0).toInt() != kLayoutVersion) {
        loaded.replace = true;
        return loaded;
    }
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT path, size, modified_ns, title, comment, album, artist, album_artist,"
                                   " track, disc, length_ms FROM tags"))) {
        loaded.replace = isDamaged(query.lastError());
        loaded.problem = cacheError(QStringLiteral("Cannot read the tag cache"), file, query.lastError());
        return loaded;
    }
    while (query.next()) {
        CachedDetails entry;
        entry.size = query.value(1).toLongLong();
        entry.modifiedNs = query.value(2).toLongLong();
        MediaDetails &d = entry.details;
        d.title = query.value(3).toByteArray();
        d.comment = query.value(4).toByteArray();
        d.album = query.value(5).toByteArray();
        d.artist = query.value(6).toByteArray();
        d.albumArtist = query.value(7).toByteArray();
        d.track = query.value(8).toInt();
        d.disc = query.value(9).toInt();
        d.lengthMs = query.value(10).toLongLong();
        loaded.entries.insert_or_assign(query.value(0).toByteArray(), std::move(entry));
    }
    if (query.lastError().isValid()) {
        // Damaged part way through: what came before it may be damaged too.
        loaded.entries.clear();
        loaded.replace = isDamaged(query.lastError());
        loaded.problem = cacheError(QStringLiteral("Cannot read the tag cache"), file, query.lastError());
    }
    return loaded;
}

Status storeTagCache(const QString &file, bool replace, const CachedTags &fresh, const std::vector<QByteArray> &gone)
{
    const QString folder = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(folder))
        return Error::failure(ErrorKind::TagCache, QStringLiteral("Cannot make the tag cache's folder"), folder);
    if (replace && !removeCacheFile(file))
        return Error::failure(ErrorKind::TagCache, QStringLiteral("Cannot replace the tag cache"), file);
    const Connection connection(file, false);
    if (!connection.opened())
        return cacheError(QStringLiteral("Cannot open the tag cache"), file, connection.openError());
    QSqlDatabase db = connection.database();
    QSqlQuery query(db);
    // The layout first, apart: a file of another layout loses its table before the new one.
    if (replace && !query.exec(QStringLiteral("DROP TABLE IF EXISTS tags")))
        return cacheError(QStringLiteral("Cannot replace the tag cache"), file, query.lastError());
    if (!query.exec(QString::fromLatin1(kCreateTable))
        || !query.exec(QStringLiteral("PRAGMA user_version = %1").arg(kLayoutVersion)))
        return cacheError(QStringLiteral("Cannot write the tag cache"), file, query.lastError());
    if (!db.transaction())
        return cacheError(QStringLiteral("Cannot write the tag cache"), file, db.lastError());
    QSqlQuery insert(db);
    bool ok = insert.prepare(QStringLiteral("INSERT OR REPLACE INTO tags VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (auto at = fresh.begin(); ok && at != fresh.end(); ++at) {
        bindDetails(insert, at->first, at->second);
        ok = insert.exec();
    }
    QSqlQuery remove(db);
    if (ok && !gone.empty())
        ok = remove.prepare(QStringLiteral("DELETE FROM tags WHERE path = ?"));
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
