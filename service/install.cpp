#include "service/host.h"
#include "service/log.h"

#include <cstdio>
#include <cstring>

namespace {

char ErrorText[256];

constexpr const char* EventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kpl";
constexpr char Dependencies[] = "Pgw\0Tlink\0Fwcore\0Nvram\0Rtcext\0";

const char* LastErrorText()
{
    return FormatLastError(ErrorText, sizeof ErrorText);
}

// The Event Viewer finds the texts of the source's events through this key.
LONG RegisterEventSource(const char* executable)
{
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, EventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    result = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(executable),
                            static_cast<DWORD>(std::strlen(executable) + 1));
    if (result == ERROR_SUCCESS)
        result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                sizeof types);
    RegCloseKey(key);
    return result;
}

}  // namespace

void InstallService()
{
    char path[512];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    // A cut path would register another program.
    if (length == 0 || length >= sizeof path) {
        if (length != 0)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        std::printf("Unable to install %s - %s\n", ServiceDisplayName, LastErrorText());
        return;
    }
    // Unquoted, a path with a blank lets Windows start another program
    // ("C:\Program.exe" for "C:\Program Files\...").
    char binaryPath[sizeof path + 2];
    if (std::strchr(path, ' ') != nullptr)
        std::snprintf(binaryPath, sizeof binaryPath, "\"%s\"", path);
    else
        std::snprintf(binaryPath, sizeof binaryPath, "%s", path);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText());
        return;
    }
    SC_HANDLE service = CreateServiceA(manager, ServiceName, ServiceDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, Dependencies, nullptr,
                                       nullptr);
    if (service == nullptr) {
        std::printf("CreateService failed - %s\n", LastErrorText());
        CloseServiceHandle(manager);
        return;
    }
    std::printf("%s installed.\n", ServiceDisplayName);
    LONG result = RegisterEventSource(path);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        std::printf("Event source registration failed - %s\n", LastErrorText());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void RemoveService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        std::printf("OpenSCManager failed - %s\n", LastErrorText());
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, ServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        std::printf("OpenService failed - %s\n", LastErrorText());
        CloseServiceHandle(manager);
        return;
    }
    if (ControlService(service, SERVICE_CONTROL_STOP, &ServiceStatus)) {
        std::printf("Stopping %s.", ServiceDisplayName);
        std::fflush(stdout);
        Sleep(1000);
        bool known = QueryServiceStatus(service, &ServiceStatus) != FALSE;
        while (known && ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
            std::printf(".");
            std::fflush(stdout);
            Sleep(1000);
            known = QueryServiceStatus(service, &ServiceStatus) != FALSE;
        }
        if (known && ServiceStatus.dwCurrentState == SERVICE_STOPPED)
            std::printf("\n%s stopped.\n", ServiceDisplayName);
        else
            std::printf("\n%s failed to stop.\n", ServiceDisplayName);
    }
    if (!DeleteService(service)) {
        std::printf("DeleteService failed - %s\n", LastErrorText());
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return;
    }
    std::printf("%s removed.\n", ServiceDisplayName);
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKey);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        SetLastError(static_cast<DWORD>(result));
        std::printf("Event source removal failed - %s\n", LastErrorText());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}
