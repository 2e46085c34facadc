// The panel driver model as the test suites meet it: registered as "\\.\PGW"
// like the service's, with failures a test can put into its requests.
// Linked into the test suites only.
#include "sim/panel_driver_model.h"

#include "driver/panel_driver.h"
#include "platform/linux/devices.h"

#include <mutex>

namespace {

struct Faults {
    std::mutex lock;
    DWORD error = 0;
    unsigned count = 0;
    bool releasesOnly = false;
} Injected;

class FailingPanelDriver : public KernelObject {
public:
    explicit FailingPanelDriver(std::shared_ptr<KernelObject> model) : model_(std::move(model)) {}

    BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override
    {
        {
            std::lock_guard<std::mutex> guard(Injected.lock);
            // A release of every key is a key request with the link marked failed.
            const bool release = code == IOCTL_PGW_TRANSLATE_KEYS && inSize >= sizeof(KeyRequest) &&
                                 static_cast<const KeyRequest*>(in)->CommFailed != 0;
            if (Injected.count > 0 && (release || !Injected.releasesOnly)) {
                --Injected.count;
                *returned = 0;
                SetLastError(Injected.error);
                return FALSE;
            }
        }
        return model_->IoControl(code, in, inSize, out, outSize, returned);
    }

private:
    std::shared_ptr<KernelObject> model_;
};

std::shared_ptr<KernelObject> OpenFailingPanelDriver(DWORD* error)
{
    std::shared_ptr<KernelObject> model = OpenPanelDriverModel(error);
    if (!model)
        return nullptr;
    return std::make_shared<FailingPanelDriver>(std::move(model));
}

// Before main, as the service's start-up registers the model itself.
[[maybe_unused]] const bool Registered = RegisterDevice(PanelDriverName, OpenFailingPanelDriver);

}  // namespace

void FailPanelDriverRequests(DWORD error, unsigned count, bool releasesOnly)
{
    std::lock_guard<std::mutex> guard(Injected.lock);
    Injected.error = error;
    Injected.count = count;
    Injected.releasesOnly = releasesOnly;
}
