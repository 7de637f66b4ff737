#pragma once

#include <QUrl>

namespace lullwatch {

// Opens `url` in the user's browser through xdg-open, detached, with the
// opener's output discarded: a desktop without a browser must not fill the
// application's standard error. False when xdg-open could not be started.
bool openLink(const QUrl &url);

} // namespace lullwatch
