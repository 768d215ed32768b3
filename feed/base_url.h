// The base URL every link of a run starts with: checked once, in the form the feeds carry.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QString>

namespace yf {

struct BaseUrl {
    QByteArray encoded;     // the URL's percent-encoded form, the channel's <link>
    QByteArray linkPrefix;  // the same ending in "/": every item link starts with it
};

// The base URL as typed, percent-encoded as QUrl encodes it (blanks, '"', '<', non-ASCII
// as %XX). Refused, each with its own reason: a text that is not an absolute URL (no
// scheme, or http/https without a host), since links under it would resolve nowhere or
// relative to wherever a reader found the feed; a scheme other than http or https; and a
// query or fragment, even an empty one; and any control character (below 0x20, or 0x7F),
// wherever it stands, also at either end where trimming would hide it. User information ("http://user:pw@host/") is kept.
[[nodiscard]] Result<BaseUrl> parseBaseUrl(const QString &typed);

} // namespace yf
