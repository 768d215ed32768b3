#include "generate/run_messages.h"

namespace yf {

QString scanningText(qsizetype found)
{
    return QStringLiteral("Scanning folders… %1 found").arg(found);
}

QString writingText(qsizetype written, qsizetype total)
{
    return QStringLiteral("Writing feeds… %1 of %2").arg(written).arg(total);
}

QString completeMessage(qsizetype feedCount)
{
    return QStringLiteral("\"%1\" XML files generated.").arg(feedCount);
}

QString cancelledMessage(qsizetype feedCount)
{
    return QStringLiteral("\"%1\" XML files generated before the run was cancelled.").arg(feedCount);
}

QString removedFeedLine(const QString &path)
{
    return QStringLiteral("Removed old feed \"%1\"").arg(path);
}

QString failureMessage(const Error &error, qsizetype feedsWritten)
{
    return QStringLiteral("%1\n\n%2 feed file(s) were written before the run stopped.")
        .arg(error.message())
        .arg(feedsWritten);
}

QString indexPageLine(const QString &path, const QString &address)
{
    QString line = QStringLiteral("Index page: ") + path;
    if (!address.isEmpty())
        line += QStringLiteral(" (%1)").arg(address);
    return line;
}

} // namespace yf
