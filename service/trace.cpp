#include "service/log.h"

#include <cstdarg>
#include <cstdio>

DWORD DebugMode = 0;

void DebugTrace(const char* format, ...)
{
    if (!DebugMode)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
