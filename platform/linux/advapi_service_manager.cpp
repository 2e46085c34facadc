// Service database of the Linux build: systemd unit files in one directory.
#include "platform/linux/host_config.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/service_status_file.h"
#include "platform/linux/winbase.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

class ServiceManager : public KernelObject {
public:
    std::string UnitDir;
};

class ServiceObject : public KernelObject {
public:
    std::string Name;
    std::string UnitPath;
};

std::string Lower(const char* text)
{
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string UnitDirectory()
{
    std::string dir;
    if (!ReadHostString("ServiceUnitDir", dir) || dir.empty())
        dir = "/etc/systemd/system";
    return dir;
}

// Root writes anywhere; the mode bits still say whether the administrator
// meant the directory to take new units, which is what a test can set up.
bool Writable(const std::string& dir)
{
    struct stat info;
    if (stat(dir.c_str(), &info) != 0)
        return false;
    if (access(dir.c_str(), W_OK) != 0)
        return false;
    return geteuid() != 0 || (info.st_mode & 0222) != 0;
}

template <class T>
T* Lookup(SC_HANDLE handle, std::shared_ptr<KernelObject>& holder)
{
    holder = LookupKernelObject(reinterpret_cast<HANDLE>(handle));
    T* object = dynamic_cast<T*>(holder.get());
    if (object == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

bool ProcessAlive(long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

std::string ServiceStatusPath(const char* serviceName)
{
    std::string dir;
    if (!ReadHostString("RuntimeDir", dir) || dir.empty())
        dir = "/run";
    return dir + "/" + Lower(serviceName) + ".status";
}

bool WriteServiceStatusFile(const char* serviceName, const SERVICE_STATUS& s, long pid)
{
    std::string path = ServiceStatusPath(serviceName);
    std::string temporary = path + ".tmp";
    char text[200];
    int n = std::snprintf(text, sizeof text, "%ld %u %u %u %u %u %u %u\n", pid, s.dwServiceType, s.dwCurrentState,
                          s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint,
                          s.dwWaitHint);
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text, static_cast<std::size_t>(n)) == n;
    ok = close(fd) == 0 && ok;
    return ok && rename(temporary.c_str(), path.c_str()) == 0;
}

bool ReadServiceStatusFile(const char* serviceName, SERVICE_STATUS& s, long& pid)
{
    std::ifstream in(ServiceStatusPath(serviceName));
    if (!(in >> pid >> s.dwServiceType >> s.dwCurrentState >> s.dwControlsAccepted >> s.dwWin32ExitCode >>
          s.dwServiceSpecificExitCode >> s.dwCheckPoint >> s.dwWaitHint))
        return false;
    return ProcessAlive(pid);
}

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR, DWORD desiredAccess)
{
    if (machineName != nullptr && machineName[0] != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto manager = std::make_shared<ServiceManager>();
    manager->UnitDir = UnitDirectory();
    struct stat info;
    if (stat(manager->UnitDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    // Full access is an administrator's: here, whoever may add units.
    if ((desiredAccess & SC_MANAGER_ALL_ACCESS) == SC_MANAGER_ALL_ACCESS && !Writable(manager->UnitDir)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(RegisterKernelObject(manager));
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, LPCSTR displayName, DWORD,
                                DWORD, DWORD startType, DWORD, LPCSTR binaryPathName, LPCSTR, LPDWORD,
                                LPCSTR dependencies, LPCSTR, LPCSTR)
{
    std::shared_ptr<KernelObject> holder;
    auto* manager = Lookup<ServiceManager>(managerHandle, holder);
    if (manager == nullptr)
        return nullptr;
    if (serviceName == nullptr || serviceName[0] == '\0' || binaryPathName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string unitPath = manager->UnitDir + "/" + Lower(serviceName) + ".service";
    if (access(unitPath.c_str(), F_OK) == 0) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    if (!Writable(manager->UnitDir)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::string units;
    for (const char* name = dependencies; name != nullptr && *name != '\0'; name += std::strlen(name) + 1)
        units += (units.empty() ? "" : " ") + Lower(name) + ".service";
    std::ostringstream unit;
    unit << "[Unit]\nDescription=" << (displayName ? displayName : serviceName) << "\n";
    if (!units.empty())
        unit << "Requires=" << units << "\nAfter=" << units << "\n";
    unit << "\n[Service]\nType=notify\nExecStart=" << binaryPathName << "\n";
    if (startType == SERVICE_AUTO_START)
        unit << "\n[Install]\nWantedBy=multi-user.target\n";

    std::string temporary = unitPath + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(WinErrorFromErrno(errno));
        return nullptr;
    }
    std::string text = unit.str();
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = errno;
    ok = close(fd) == 0 && ok;
    // Never replace a unit that appeared meanwhile.
    if (!ok || link(temporary.c_str(), unitPath.c_str()) != 0) {
        error = ok ? errno : error;
        unlink(temporary.c_str());
        SetLastError(error == EEXIST ? ERROR_SERVICE_EXISTS : WinErrorFromErrno(error));
        return nullptr;
    }
    unlink(temporary.c_str());
    auto service = std::make_shared<ServiceObject>();
    service->Name = serviceName;
    service->UnitPath = unitPath;
    return reinterpret_cast<SC_HANDLE>(RegisterKernelObject(service));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, DWORD)
{
    std::shared_ptr<KernelObject> holder;
    auto* manager = Lookup<ServiceManager>(managerHandle, holder);
    if (manager == nullptr)
        return nullptr;
    if (serviceName == nullptr || serviceName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto service = std::make_shared<ServiceObject>();
    service->Name = serviceName;
    service->UnitPath = manager->UnitDir + "/" + Lower(serviceName) + ".service";
    if (access(service->UnitPath.c_str(), F_OK) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return reinterpret_cast<SC_HANDLE>(RegisterKernelObject(service));
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE serviceHandle, LPSERVICE_STATUS status)
{
    std::shared_ptr<KernelObject> holder;
    auto* service = Lookup<ServiceObject>(serviceHandle, holder);
    if (service == nullptr)
        return FALSE;
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    long pid = 0;
    SERVICE_STATUS current{};
    if (!ReadServiceStatusFile(service->Name.c_str(), current, pid)) {
        current = SERVICE_STATUS{};
        current.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        current.dwCurrentState = SERVICE_STOPPED;
    }
    *status = current;
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE serviceHandle, DWORD control, LPSERVICE_STATUS status)
{
    std::shared_ptr<KernelObject> holder;
    auto* service = Lookup<ServiceObject>(serviceHandle, holder);
    if (service == nullptr)
        return FALSE;
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    long pid = 0;
    SERVICE_STATUS current{};
    if (!ReadServiceStatusFile(service->Name.c_str(), current, pid) || current.dwCurrentState == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP) {
        if (!(current.dwControlsAccepted & SERVICE_ACCEPT_STOP) || current.dwCurrentState == SERVICE_STOP_PENDING) {
            SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
            return FALSE;
        }
        if (kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
            SetLastError(WinErrorFromErrno(errno));
            return FALSE;
        }
    }
    if (status != nullptr)
        *status = current;
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE serviceHandle)
{
    std::shared_ptr<KernelObject> holder;
    auto* service = Lookup<ServiceObject>(serviceHandle, holder);
    if (service == nullptr)
        return FALSE;
    if (unlink(service->UnitPath.c_str()) != 0) {
        SetLastError(errno == ENOENT ? ERROR_SERVICE_MARKED_FOR_DELETE : WinErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle)
{
    std::shared_ptr<KernelObject> holder;
    if (Lookup<KernelObject>(handle, holder) == nullptr ||
        (!dynamic_cast<ServiceManager*>(holder.get()) && !dynamic_cast<ServiceObject*>(holder.get()))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    holder.reset();
    return CloseHandle(reinterpret_cast<HANDLE>(handle));
}
