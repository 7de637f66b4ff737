#pragma once

#include <string>

namespace lullwatch {

class AppModel;
class WakeController;

// The wake status without the time held: the battery block's text, "Sleep
// allowed", or "Keeping computer awake".
std::string wakeStatusText(const WakeController &wake);

// One line for the headless mode: state · tray text · wake status · reason,
// for example "working · 45k · Keeping computer awake · Claude Code is working in site".
std::string headlessLine(const AppModel &model);

} // namespace lullwatch
