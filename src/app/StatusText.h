#pragma once

#include <string>

namespace lullwatch {

class AppModel;
class WakeController;

// The wake status without the time held: the battery block's text, what no
// provider took ("Can't keep computer awake: no power service found"),
// "Sleep allowed", or "Keeping computer awake".
std::string wakeStatusText(const WakeController &wake);

// One line for the headless mode: state · tray text · wake status, and the
// reason while something is held, for example
// "working · 45k · Keeping computer awake · Claude Code is working in site".
std::string headlessLine(const AppModel &model);

} // namespace lullwatch
