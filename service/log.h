// The process-wide mode, tracing and event reporting: what every subsystem
// may use of the service host.
#pragma once

#include "platform/win32.h"
#include "kpl_messages.h"

#include <atomic>

// The service's name, also the source of its events.
inline constexpr const char* ServiceName = "Kpl";

// Set by "-debug" before anything else runs: trace lines go to standard
// output and events to the console instead of the event log.
extern DWORD DebugMode;

// Prints a trace line, unchanged and without time stamp, in debug mode only.
void DebugTrace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Counts events that carried an error code; 1 at process start and again at
// every service start. Test and increment are one atomic step, so events
// from several threads still give exactly 99 error events and one notice.
extern std::atomic<LONG> ErrorEventCount;

void LogEvent(DWORD eventId, DWORD errorCode, const char* text, const void* rawData, DWORD rawDataSize);
void LogError(DWORD eventId, DWORD errorCode, const char* text);

// "<system text> (0x<code>)" for GetLastError(), or "" when there is no text
// or the buffer is too small.
char* FormatLastError(char* buffer, int size);
