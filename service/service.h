// The service host: process-wide mode, configuration and event reporting,
// used by every subsystem.
#pragma once

#include "platform/win32.h"
#include "kpl_messages.h"

#include <atomic>

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

struct ServiceConfigRecord {
    char PortName[12];
    DWORD BaudRate;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    DWORD DoLedBlinking;
    DWORD ErrorRetries;
    DWORD ResponseTimeout;
    DWORD UseStdKeyboardSpeed;
    DWORD UseOptKeyCycleTime;
};
extern ServiceConfigRecord ServiceConfig;

// Fills ServiceConfig: defaults first, then every well-formed value of the
// service's registry key. Returns the error of opening the key, else the
// result of closing it.
LONG ReadConfiguration();

// Service lifecycle.
inline constexpr const char* ServiceName = "Kpl";
inline constexpr const char* ServiceDisplayName = "Keypanel Service";
inline constexpr const char* ProgramName = "VkKplSvc";

// The status record reported to the service control manager; removal
// also receives the queried status into it.
extern SERVICE_STATUS ServiceStatus;
// Check point of the next pending report; never reset.
extern DWORD NextCheckPoint;

void WINAPI ServiceEntry(DWORD argc, LPSTR* argv);
void WINAPI ServiceControlHandler(DWORD control);
BOOL SetStatus(DWORD state, DWORD exitCode, DWORD waitHint);
void RunDebugConsole(int argc, char** argv);
BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType);
void RunService(int argc, char** argv);
void StopService();
// What the process entry does with its command line; returns the exit status.
int RunCommandLine(int argc, char** argv);

// Installation and removal: console output only.
void InstallService();
void RemoveService();
