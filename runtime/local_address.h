// The machine's local address for the default base URL, without any network library.
#pragma once

#include <QString>

#include <optional>

struct ifaddrs;

namespace yf {

// The first IPv4 address in `interfaces` of an interface that is up, running and not the
// loopback; empty when there is none.
std::optional<QString> chooseLocalAddress(const ifaddrs *interfaces);

// The same rule over this machine's interfaces (getifaddrs).
std::optional<QString> networkAddress();

// networkAddress(), or "127.0.0.1" on a machine that has none: what a window shows.
QString localAddress();

} // namespace yf
