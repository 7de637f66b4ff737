#pragma once

#include "HookStatus.h"

#include <QObject>

#include <string>

namespace lullwatch {

// What the hook rows and the command line need of an agent's installer.
// Lives on the main thread; every outcome shows only through status().
class HookInstalling : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual std::string displayName() const = 0;
    virtual std::string detail() const = 0;

    const HookStatus &status() const { return m_status; }

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

private:
    HookStatus m_status = HookStatus::notInstalled();
};

// The hook row's title: "Claude Code connected", "Copilot CLI not connected",
// "Claude Code hooks need updating", or the failure message.
std::string hookRowTitle(const HookInstalling &installer);

} // namespace lullwatch
