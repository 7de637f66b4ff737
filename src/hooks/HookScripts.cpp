#include "HookScripts.h"

#include "agents/Agents.h"

namespace lullwatch {

namespace {

// Comments may not break the script: no line breaks from a folder name.
std::string commentSafe(std::string_view text)
{
    std::string safe(text);
    for (char &c : safe) {
        if (c == '\n' || c == '\r')
            c = '?';
    }
    return safe;
}

} // namespace

std::string shellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += R"('\'')";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string hookScriptText(const Agent &agent, std::string_view sessionsDirectory, std::string_view recorderPath)
{
    // Runs unchanged under dash, bash and busybox sh; the recorder prints
    // nothing and always exits 0.
    return "#!/bin/sh\n"
           "# Lullwatch hook: records "
        + std::string(agent.name) + " session state into\n# " + commentSafe(sessionsDirectory)
        + "/<id>.json.\n"
          "# Installed and overwritten by Lullwatch; edit Lullwatch, not this file.\n"
          "# Usage: "
        + std::string(agent.hookScript)
        + " <state>   (state: idle | working | waiting | ended)\n"
          "[ -x "
        + shellQuote(recorderPath) + " ] || { cat >/dev/null; exit 0; }\nexec " + shellQuote(recorderPath)
        + " --sessions " + shellQuote(sessionsDirectory) + ' ' + std::string(agent.raw) + " \"$@\"\n";
}

} // namespace lullwatch
