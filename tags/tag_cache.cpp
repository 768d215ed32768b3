#include "tags/tag_cache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <atomic>
#include <cstring>

namespace yf {

namespace {

// Raised whenever the columns change; a file of another layout is started afresh.
constexpr int kLayoutVersion = 2;
// Far more than any library's cache: a file of 10,000 episodes is under 2 MB.
constexpr qint64 kMappedBytes = qint64(1) << 30;

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

// Reads from a block, every read checked against its end.
class BlockReader {
public:
    BlockReader(QByteArrayView block, bool borrow) : m_rest(block), m_borrow(borrow) {}
    bool atEnd() const { return m_rest.isEmpty(); }

    template <typename T>
    bool take(T &value)
    {
        if (m_rest.size() < qsizetype(sizeof value))
            return false;
        std::memcpy(&value, m_rest.data(), sizeof value);
        m_rest = m_rest.sliced(sizeof value);
        return true;
    }
    bool take(QByteArray &text)
    {
        quint32 length = 0;
        if (!take(length) || m_rest.size() < qsizetype(length))
            return false;
        text = m_borrow ? QByteArray::fromRawData(m_rest.data(), length) : m_rest.first(length).toByteArray();
        m_rest = m_rest.sliced(length);
        return true;
    }

private:
    QByteArrayView m_rest;
    bool m_borrow;
};

constexpr std::size_t kLeastFileBytes = 6 * sizeof(quint32) + 3 * sizeof(qint64) + 2 * sizeof(qint32);

// A read-only connection through SQLite's own interface, closed when this goes.
class ReadConnection {
public:
    explicit ReadConnection(const QString &file)
        : m_file(file)
    {
        // Another run (a watcher beside the window, say) may be storing at the same time.
        const QByteArray path = QFile::encodeName(file);
        m_opened = sqlite3_open_v2(path.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr)
                   == SQLITE_OK;
        if (m_opened)
            sqlite3_busy_timeout(m_db, 2000);
    }
    ~ReadConnection() { sqlite3_close(m_db); }
    ReadConnection(const ReadConnection &) = delete;
    ReadConnection &operator=(const ReadConnection &) = delete;

    bool opened() const { return m_opened; }
    sqlite3 *handle() const { return m_db; }
    bool execute(const QByteArray &sql) const
    {
        return sqlite3_exec(m_db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // A file that is no database at all, or a damaged one.
    bool damaged() const
    {
        const int code = m_db ? sqlite3_errcode(m_db) : SQLITE_NOMEM;
        return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
    }
    Error failure(const QString &operation) const
    {
        const char *why = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        return Error::failure(ErrorKind::TagCache, operation, m_file, QString::fromUtf8(why));
    }

private:
    QString m_file;
    sqlite3 *m_db = nullptr;
    bool m_opened = false;
};

// One prepared statement of a connection, finalized when this goes.
class Statement {
public:
    Statement(const ReadConnection &connection, const char *sql)
    {
        if (sqlite3_prepare_v2(connection.handle(), sql, -1, &m_statement, nullptr) != SQLITE_OK)
            m_statement = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    // SQLITE_ROW, SQLITE_DONE, or the error; a statement that could not be prepared fails.
    int step() { return m_statement ? sqlite3_step(m_statement) : SQLITE_ERROR; }
    qint64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    QByteArray blob(int column) const
    {
        const void *bytes = sqlite3_column_blob(m_statement, column);
        return QByteArray(static_cast<const char *>(bytes), sqlite3_column_bytes(m_statement, column));
    }

private:
    sqlite3_stmt *m_statement = nullptr;
};

} // namespace

QByteArray encodeFolderTags(const FolderTags &files)
{
    QByteArray out;
    for (const CachedFile &file : files) {
        const MediaDetails &d = file.details;
        for (const QByteArray *text : {&file.name, &d.title, &d.comment, &d.album, &d.artist, &d.albumArtist})
            putText(out, *text);
        putValue(out, file.size);
        putValue(out, file.modifiedNs);
        putValue(out, d.lengthMs);
        putValue(out, static_cast<qint32>(d.track));
        putValue(out, static_cast<qint32>(d.disc));
    }
    return out;
}

bool decodeFolderTags(QByteArrayView block, FolderTags &files, bool borrow)
{
    files.clear();
    // No file takes fewer bytes than its five numbers and six lengths: room for them all at once.
    files.reserve(static_cast<std::size_t>(block.size()) / kLeastFileBytes);
    BlockReader in(block, borrow);
    while (!in.atEnd()) {
        CachedFile file;
        MediaDetails &d = file.details;
        qint32 track = 0;
        qint32 disc = 0;
        if (!in.take(file.name) || !in.take(d.title) || !in.take(d.comment) || !in.take(d.album)
            || !in.take(d.artist) || !in.take(d.albumArtist) || !in.take(file.size) || !in.take(file.modifiedNs)
            || !in.take(d.lengthMs) || !in.take(track) || !in.take(disc)) {
            files.clear();
            return false;
        }
        d.track = track;
        d.disc = disc;
        files.push_back(std::move(file));
    }
    return true;
}

LoadedTagCache loadTagCache(const QString &file)
{
    LoadedTagCache loaded;
    if (!QFileInfo::exists(file))
        return loaded;
    // Read through SQLite's own interface, not Qt SQL: loading Qt's driver plugin and its
    // library costs an unchanged run, one process of its own, more than all its other work on
    // the tags. Storing, the rarer case, goes through Qt SQL.
    const ReadConnection connection(file);
    if (!connection.opened()) {
        loaded.replace = connection.damaged();
        loaded.problem = connection.failure(QStringLiteral("Cannot open the tag cache"));
        return loaded;
    }
    // Read through a mapping of the file rather than a system call per page: the whole file
    // is read, and a reader that only reads cannot corrupt it through the mapping.
    (void)connection.execute(QByteArrayLiteral("PRAGMA mmap_size = ") + QByteArray::number(kMappedBytes));
    Statement version(connection, "PRAGMA user_version");
    if (version.step() != SQLITE_ROW) {
        loaded.replace = connection.damaged();
        loaded.problem = connection.failure(QStringLiteral("Cannot read the tag cache"));
        return loaded;
    }
    if (version.integer(0) != kLayoutVersion) {
        loaded.replace = true;
        return loaded;
    }
    Statement rows(connection, "SELECT path, files FROM folders");
    int stepped = SQLITE_ROW;
    while ((stepped = rows.step()) == SQLITE_ROW)
        loaded.folders.insert_or_assign(rows.blob(0), rows.blob(1));
    if (stepped != SQLITE_DONE) {
        // Damaged part way through: what came before it may be damaged too.
        loaded.folders.clear();
        loaded.replace = connection.damaged();
        loaded.problem = connection.failure(QStringLiteral("Cannot read the tag cache"));
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
