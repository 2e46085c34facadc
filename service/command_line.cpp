#include "service/host.h"
#include "service/log.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsOption(const char* argument, const char* word)
{
    return (argument[0] == '-' || argument[0] == '/') && _stricmp(argument + 1, word) == 0;
}

}  // namespace

int RunCommandLine(int argc, char** argv)
{
    if (argc > 1) {
        if (IsOption(argv[1], "install")) {
            InstallService();
            return 0;
        }
        if (IsOption(argv[1], "remove")) {
            RemoveService();
            return 0;
        }
        if (IsOption(argv[1], "debug")) {
            DebugMode = 1;
            RunDebugConsole(argc, argv);
            return 0;
        }
    }
    std::printf("%s -install          to install the service\n", ProgramName);
    std::printf("%s -remove           to remove the service\n", ProgramName);
    std::printf("%s -debug <params>   to run as a console app for debugging\n", ProgramName);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
    std::fflush(stdout);

    static char serviceName[] = "Kpl";
    static const SERVICE_TABLE_ENTRYA dispatchTable[] = {{serviceName, ServiceEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(dispatchTable))
        LogError(MSG_START_SERVICE_FAILED, GetLastError(), nullptr);
    return 0;
}
