#pragma once

#include "tests/scenarios/runner/observations.h"
#include "tests/scenarios/runner/target.h"

#include <memory>

namespace scenario {

// The win32 build's VkKplSvc.exe under 32-bit wine, on machines that the
// machine script brings up.
std::unique_ptr<Target> MakeWineTarget(const std::string& machineScript, const MessageTable& table);

}  // namespace scenario
