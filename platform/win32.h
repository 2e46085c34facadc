// The one header through which subsystem code reaches the Win32 API.
// On Windows it is the real <windows.h>; on Linux it is the project's own
// implementation of exactly the subset the service uses.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/linux/windows.h"
#endif
