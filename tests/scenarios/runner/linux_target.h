#pragma once

#include "tests/scenarios/runner/observations.h"
#include "tests/scenarios/runner/target.h"

#include <memory>

namespace scenario {

// The Linux build's VkKplSvc at that path.
std::unique_ptr<Target> MakeLinuxTarget(const std::string& service, const MessageTable& table);

}  // namespace scenario
