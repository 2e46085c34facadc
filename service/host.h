// The top of the program: process entry, the service's lifecycle under the
// service control manager or on the console, installation and removal.
#pragma once

#include "service/log.h"

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
