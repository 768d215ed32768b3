#include "runtime/error.h"

#include <cstring>

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
    e.reason = QString::fromLocal8Bit(std::strerror(err));
    e.osError = err;
    return e;
}

} // namespace yf
