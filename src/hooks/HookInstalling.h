#pragma once

#include "HookFiles.h"
#include "HookStatus.h"

#include <QObject>

#include <memory>
#include <string>

namespace lullwatch {

struct Agent;

// What the hook rows and the command line need of an agent's installer.
// Lives on the main thread; every outcome shows only through status().
class HookInstalling : public QObject {
    Q_OBJECT

public:
    HookInstalling(const Agent &agent, HookLocations locations, QObject *parent = nullptr);

    const Agent &agent() const { return m_agent; }
    // "Claude Code"
    std::string displayName() const;
    // What connecting does, in a sentence or two.
    std::string detail() const;

    const HookStatus &status() const { return m_status; }
    // Whether the agent is on this machine: its command on PATH, or its folder.
    bool isOnMachine() const;

    // Works the status out anew from disk; never shows a failure.
    virtual void refresh() = 0;
    // The "Connect" action.
    virtual void install() = 0;
    // The "Remove" action.
    virtual void uninstall() = 0;

Q_SIGNALS:
    void statusChanged(const lullwatch::HookStatus &status);

protected:
    void setStatus(HookStatus status);
    const HookLocations &locations() const { return m_locations; }
    std::filesystem::path scriptPath() const;

private:
    const Agent &m_agent;
    HookLocations m_locations;
    HookStatus m_status = HookStatus::notInstalled();
};

// The installer that knows the agent's hook configuration.
std::unique_ptr<HookInstalling> makeHookInstaller(const Agent &agent, HookLocations locations);

// The hook row's title: "Claude Code connected", "Copilot CLI not connected",
// "Claude Code hooks need updating", or the failure message.
std::string hookRowTitle(const HookInstalling &installer);

} // namespace lullwatch
