// The few C runtime names of Windows that the service uses.
#pragma once

#include <strings.h>

inline int _stricmp(const char* a, const char* b)
{
    return strcasecmp(a, b);
}
