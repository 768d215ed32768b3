// The machine's local address for the default base URL, without any network library.
#pragma once

#include <QString>

struct ifaddrs;

namespace yf {

// The first IPv4 address in `interfaces` of an interface that is up, running and not the
// loopback; "127.0.0.1" when there is none.
QString chooseLocalAddress(const ifaddrs *interfaces);

// The same rule over this machine's interfaces (getifaddrs).
QString localAddress();

} // namespace yf
