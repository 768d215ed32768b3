#include "runtime/error.h"

#include <string.h>

namespace yf {

QString Error::message() const
{
    QString text = operation;
    if (!path.isEmpty())
        text += QStringLiteral(" \"%1\"").arg(path);
    if (!reason.isEmpty())
        text += QStringLiteral(": ") + reason;
    return text;
}

Error Error::fromErrno(ErrorKind kind, QString operation, QString path, int err)
{
    Error e;
    e.kind = kind;
    e.operation = std::move(operation);
    e.path = std::move(path);
    // Errors are made on helper threads too: the reentrant form, never a shared buffer.
    char buffer[256];
    e.reason = QString::fromLocal8Bit(::strerror_r(err, buffer, sizeof buffer));
    e.osError = err;
    return e;
}

Error Error::failure(ErrorKind kind, QString operation, QString path, QString reason)
{
    Error e;
    e.kind = kind;
    e.operation = std::move(operation);
    e.path = std::move(path);
    e.reason = std::move(reason);
    return e;
}

} // namespace yf
