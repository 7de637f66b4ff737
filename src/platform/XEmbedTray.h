#pragma once

namespace lullwatch {

// Whether an XEmbed system tray (trayer, stalonetray, tint2 and the like)
// runs on the X display that DISPLAY names: a tray manager owns the
// _NET_SYSTEM_TRAY_S<screen> selection. False without an X display.
bool xembedTrayIsRunning();

} // namespace lullwatch
