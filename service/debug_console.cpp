#include "service/host.h"

#include <cstdio>

BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType)
{
    if (ctrlType != CTRL_C_EVENT && ctrlType != CTRL_BREAK_EVENT)
        return FALSE;
    std::printf("Stopping %s.\n", ServiceDisplayName);
    StopService();
    return TRUE;
}

void RunDebugConsole(int argc, char** argv)
{
    // Whoever reads the console (a person, a test, a pipe) sees each line as
    // it happens, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("Debugging %s.\n", ServiceDisplayName);
    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    RunService(argc, argv);
}
