#include "tags/sqlite_reader.h"

#include <QFile>

#include <dlfcn.h>
#include <sqlite3.h>

namespace yf {

namespace {

// The few calls a reader makes, looked up once in the library the system's SQLite package
// installs (the one Qt's driver uses too). Their types come from SQLite's own header; each is
// named once here, for both its member and its lookup.
#define YF_SQLITE_CALLS(CALL)               \
    CALL(open, sqlite3_open_v2)             \
    CALL(close, sqlite3_close)              \
    CALL(busyTimeout, sqlite3_busy_timeout) \
    CALL(exec, sqlite3_exec)                \
    CALL(errcode, sqlite3_errcode)          \
    CALL(errmsg, sqlite3_errmsg)            \
    CALL(prepare, sqlite3_prepare_v2)       \
    CALL(step, sqlite3_step)                \
    CALL(columnInt64, sqlite3_column_int64) \
    CALL(columnBlob, sqlite3_column_blob)   \
    CALL(columnBytes, sqlite3_column_bytes) \
    CALL(finalize, sqlite3_finalize)

struct SqliteCalls {
#define YF_SQLITE_MEMBER(member, symbol) decltype(&symbol) member = nullptr;
    YF_SQLITE_CALLS(YF_SQLITE_MEMBER)
#undef YF_SQLITE_MEMBER
    bool loaded = false;
};

template <typename F>
bool lookUp(void *library, const char *name, F &call)
{
    call = reinterpret_cast<F>(::dlsym(library, name));
    return call != nullptr;
}

// The library binds its calls to itself and to the C library first: looking each of its 1,600
// symbols up through every library of a Qt program first costs twice as much as all the
// reading. Safe for this library, which takes no data objects from the C library (so no copy
// the program holds can differ from the one it sees) and hands out no memory for others to
// free. The address sanitizer, which must see every allocation, refuses such a library.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kOwnSymbolsFirst = 0;
#else
constexpr int kOwnSymbolsFirst = RTLD_DEEPBIND;
#endif

SqliteCalls loadCalls()
{
    SqliteCalls calls;
    // Kept loaded for the rest of the process, as a linked library would be.
    void *library = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_LOCAL | kOwnSymbolsFirst);
    if (!library)
        return calls;
#define YF_SQLITE_LOOK_UP(member, symbol) &&lookUp(library, #symbol, calls.member)
    calls.loaded = true YF_SQLITE_CALLS(YF_SQLITE_LOOK_UP);
#undef YF_SQLITE_LOOK_UP
    return calls;
}

const SqliteCalls &sqlite()
{
    static const SqliteCalls calls = loadCalls();
    return calls;
}

} // namespace

SqliteReader::SqliteReader(const QString &file)
{
    const SqliteCalls &call = sqlite();
    if (!call.loaded)
        return;
    const QByteArray path = QFile::encodeName(file);
    // A handle comes back even when opening fails, for the reason; closing it is still due.
    m_opened = call.open(path.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK;
    // Another run (a watcher beside the window, say) may be storing at the same time.
    if (m_opened)
        call.busyTimeout(m_db, 2000);
}

SqliteReader::~SqliteReader()
{
    if (m_db)
        sqlite().close(m_db);
}

bool SqliteReader::execute(const char *sql) const
{
    return m_opened && sqlite().exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SqliteReader::damaged() const
{
    if (!m_db)
        return false;
    const int code = sqlite().errcode(m_db);
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

QString SqliteReader::lastFailure() const
{
    if (!sqlite().loaded)
        return QStringLiteral("SQLite's library cannot be loaded");
    return m_db ? QString::fromUtf8(sqlite().errmsg(m_db)) : QStringLiteral("out of memory");
}

SqliteRows::SqliteRows(const SqliteReader &reader, const char *sql)
{
    if (reader.m_opened && sqlite().prepare(reader.m_db, sql, -1, &m_statement, nullptr) != SQLITE_OK)
        m_statement = nullptr;
}

SqliteRows::~SqliteRows()
{
    if (m_statement)
        sqlite().finalize(m_statement);
}

bool SqliteRows::next()
{
    if (!m_statement || m_done)
        return false;
    const int stepped = sqlite().step(m_statement);
    m_done = stepped == SQLITE_DONE;
    return stepped == SQLITE_ROW;
}

qint64 SqliteRows::integer(int column) const { return sqlite().columnInt64(m_statement, column); }

QByteArray SqliteRows::bytes(int column) const
{
    const auto *data = static_cast<const char *>(sqlite().columnBlob(m_statement, column));
    return QByteArray(data, sqlite().columnBytes(m_statement, column));
}

} // namespace yf
