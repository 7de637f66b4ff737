#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lullwatch {

// Asks the window manager on the X display `display` (XWayland included) to
// activate the window of the first process in `lineage` that owns one by
// _NET_WM_PID among the windows it manages (_NET_CLIENT_LIST), the topmost
// where a process owns several. False when the display cannot be reached, no
// window manager lists its windows, or none of the processes owns one.
// Blocks on the display server: not for the main thread.
bool activateWindowOfProcess(const std::string &display, const std::vector<std::int32_t> &lineage);

} // namespace lullwatch
