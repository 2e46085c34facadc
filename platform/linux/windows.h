// The Win32 subset of the Linux build, grouped as Windows groups it.
#pragma once

#include "platform/linux/windef.h"
#include "platform/linux/winerror.h"
#include "platform/linux/winbase.h"
#include "platform/linux/winuser.h"
#include "platform/linux/winuser_input.h"
#include "platform/linux/winreg.h"
#include "platform/linux/winsvc.h"
#include "platform/linux/winioctl.h"
#include "platform/linux/wincomm.h"
#include "platform/linux/crt.h"
