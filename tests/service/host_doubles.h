// Doubles for what the service host talks to: the service control manager's
// dispatcher side and the polling engine. Linked in place of the real ones.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace doubles {

struct Host {
    // Service control manager
    bool registrationFails = false;
    int failStatusReport = 0;  // 1-based number of the SetServiceStatus call that fails
    std::vector<SERVICE_STATUS> reports;  // each one under the host's status lock
    std::atomic<int> reportCount{0};
    LPHANDLER_FUNCTION handler = nullptr;
    // Polling engine
    bool startSucceeds = true;
    std::function<void()> duringStart;
    std::function<void()> duringLoop;
    std::vector<std::string> calls;
    int stopRequests = 0;
};

// Reset before every test.
Host& State();
void Reset();

}  // namespace doubles
