// Failures as values: what was attempted, on which path, and why the OS said no.
#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace yf {

enum class ErrorKind {
    ListFolder,     // a folder could not be enumerated
    ReadEntry,      // an entry could not be examined
    WriteFeed,      // a feed file could not be created, written or put in place
    WriteSettings,  // the settings file could not be stored
    BadInput,       // a run input that cannot be used as given
    Cancelled,      // the user asked the run to stop
    WatchTree,      // the input tree could not be watched for changes
    NoAddress,      // the default base URL needs a network address the machine does not have
    TagCache,       // the cache of tags already read could not be read or stored
    NameTaken,      // a file's name is held by something that is no file (a folder, a pipe)
};

struct Error {
    ErrorKind kind = ErrorKind::BadInput;
    QString operation;  // e.g. "Cannot list folder"
    QString path;       // the path the operation was about
    QString reason;     // the OS's words for the failure
    int osError = 0;    // errno, 0 when there is none

    // One line for a person: operation, quoted path, reason.
    QString message() const;

    // Builds an error from errno as it stands right now.
    static Error fromErrno(ErrorKind kind, QString operation, QString path, int err);
    // An error the program finds itself, with no errno behind it.
    static Error failure(ErrorKind kind, QString operation, QString path = {}, QString reason = {});
    // A mistake in what the user gave: `sentence` is all there is to say.
    static Error usage(QString sentence) { return failure(ErrorKind::BadInput, std::move(sentence)); }
    // The user asked the run to stop.
    static Error cancelled() { return failure(ErrorKind::Cancelled, QStringLiteral("Cancelled")); }
};

// Success or an Error; nothing else.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error e) : m_error(std::move(e)) {}  // NOLINT: implicit on purpose

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error &error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};

// A value or an Error.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_v(std::move(value)) {}  // NOLINT
    Result(Error e) : m_v(std::move(e)) {}      // NOLINT

    bool ok() const { return std::holds_alternative<T>(m_v); }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<T>(m_v); }
    T &&value() && { return std::get<T>(std::move(m_v)); }
    const Error &error() const { return std::get<Error>(m_v); }

private:
    std::variant<T, Error> m_v;
};

} // namespace yf
