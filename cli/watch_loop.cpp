#include "cli/watch_loop.h"

#include "cli/report.h"

namespace yf::cli {

int watchFeeds(const RunInputs &, double, bool)
{
    print(usageReport(QStringLiteral("--watch is not available yet.")));
    return ExitUsage;
}

} // namespace yf::cli
