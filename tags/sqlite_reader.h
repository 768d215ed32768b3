// A read-only SQLite connection through the library's C interface, loaded when first asked for.
#pragma once

#include <QByteArray>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

namespace yf {

// Reading a cache through Qt SQL loads its driver plugin, whose linking against Qt costs a
// short run more than everything else it does with the cache; SQLite's own library, loaded
// only by a run that reads a cache, costs a fraction of that. Storing stays with Qt SQL.
class SqliteReader {
public:
    // Opens `file` read-only, waiting a while for a writer that holds it. Not opened when the
    // library cannot be loaded either.
    explicit SqliteReader(const QString &file);
    ~SqliteReader();
    SqliteReader(const SqliteReader &) = delete;
    SqliteReader &operator=(const SqliteReader &) = delete;

    bool opened() const { return m_opened; }
    bool execute(const char *sql) const;
    // Whether the last failure says the file is no database at all, or a damaged one.
    bool damaged() const;
    // SQLite's words for the last failure.
    QString lastFailure() const;

private:
    friend class SqliteRows;
    sqlite3 *m_db = nullptr;
    bool m_opened = false;
};

// The rows of one statement, read one after another.
class SqliteRows {
public:
    SqliteRows(const SqliteReader &reader, const char *sql);
    ~SqliteRows();
    SqliteRows(const SqliteRows &) = delete;
    SqliteRows &operator=(const SqliteRows &) = delete;

    // The next row; false at the end, and on a failure, which done() tells apart.
    bool next();
    // Whether every row was read without a failure.
    bool done() const { return m_done; }
    qint64 integer(int column) const;
    QByteArray bytes(int column) const;

private:
    sqlite3_stmt *m_statement = nullptr;
    bool m_done = false;
};

} // namespace yf
