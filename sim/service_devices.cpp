// The simulated machine's devices as the Linux build of the service meets
// them, registered before main: "\\.\PGW" is the panel driver model.
#include "sim/panel_driver_model.h"

namespace {

[[maybe_unused]] const bool PanelDriverRegistered = RegisterPanelDriverModel();

}  // namespace
