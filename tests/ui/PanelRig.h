#pragma once

#include "agents/Agents.h"
#include "hooks/HookInstalling.h"
#include "support/ModelRig.h"

namespace lullwatch::test {

using PanelRig = ModelRig;

// An installer whose status the test sets, counting the actions called.
class FakeInstaller final : public HookInstalling {
public:
    explicit FakeInstaller(SessionSource source = SessionSource::Claude)
        : HookInstalling(agentFor(source), {})
    { }
    void refresh() override { ++refreshes; }
    void install() override { ++installs; }
    void uninstall() override { ++uninstalls; }
    void set(HookStatus status) { setStatus(std::move(status)); }

    int refreshes = 0;
    int installs = 0;
    int uninstalls = 0;
};

} // namespace lullwatch::test
