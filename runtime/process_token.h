// Names a running process so that no other process, now or after it, has the same name.
#pragma once

#include <QByteArray>

#include <string_view>
#include <sys/types.h>

namespace yf {

// "PID-START-BOOT": the process id, its start time in clock ticks since boot and the boot's id
// (32 hex digits), as /proc shows them; digits and "-" only. Process ids are reused (a killed
// run and the next one are both PID 1 in a container); the three together are not. Empty
// when `pid` runs no process. Where /proc tells nothing, "PID-0-0": only the id is known.
[[nodiscard]] QByteArray processToken(pid_t pid);

// This process's token, read once per process (a forked child reads its own).
[[nodiscard]] QByteArray ownProcessToken();

// Whether the process `token` names may still run: the same boot, a process of that id that
// started at that time. A token whose process cannot be told apart from a new one of its id
// (no /proc) counts as running while a process of its id does, or may (one not ours to signal).
// A token that is no token at all counts as running: nothing of it is touched.
[[nodiscard]] bool processMayRun(std::string_view token);

} // namespace yf
