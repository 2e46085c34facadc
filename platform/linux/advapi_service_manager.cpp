// Service database of the Linux build: systemd unit files in one directory.
#include "platform/linux/file_replace.h"
#include "platform/linux/host_settings.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/service_status_file.h"
#include "platform/linux/systemd_unit.h"
#include "platform/linux/winbase.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

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

HostSettings Settings()
{
    HostSettings settings;
    CurrentHostSettings(settings);
    return settings;
}

// The registry file in force, as the unit is to name it whatever its working directory.
std::string RegistryInForce()
{
    const char* path = std::getenv("KPL_REGISTRY");
    if (!path || !*path)
        return "";
    std::error_code ignored;
    return std::filesystem::absolute(path, ignored).lexically_normal().string();
}

// The instance that owns the status file: the first of the service's processes.
std::mutex OwnerLock;
int OwnerFd = -1;

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
    return Settings().RuntimeDir + "/" + Lower(serviceName) + ".status";
}

bool ClaimServiceStatus(const char* serviceName)
{
    std::lock_guard<std::mutex> guard(OwnerLock);
    if (OwnerFd >= 0)
        return true;
    // Held for the life of the process, so that a second instance, refused
    // or not, never takes the status of the one that runs.
    std::string path = ServiceStatusPath(serviceName) + ".lock";
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    OwnerFd = fd;
    return true;
}

void ReleaseServiceStatus(const char* serviceName)
{
    std::lock_guard<std::mutex> guard(OwnerLock);
    if (OwnerFd < 0)
        return;
    unlink(ServiceStatusPath(serviceName).c_str());
    close(OwnerFd);
    OwnerFd = -1;
}

bool WriteServiceStatusFile(const char* serviceName, const SERVICE_STATUS& s, long pid)
{
    {
        std::lock_guard<std::mutex> guard(OwnerLock);
        if (OwnerFd < 0)
            return false;
    }
    char text[200];
    int n = std::snprintf(text, sizeof text, "%ld %u %u %u %u %u %u %u\n", pid, s.dwServiceType, s.dwCurrentState,
                          s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint,
                          s.dwWaitHint);
    return ReplaceFileContents(ServiceStatusPath(serviceName), std::string_view(text, static_cast<std::size_t>(n)),
                               0644, false) == ERROR_SUCCESS;
}

bool ReadServiceStatusFile(const char* serviceName, SERVICE_STATUS& s, long& pid)
{
    std::ifstream in(ServiceStatusPath(serviceName));
    if (!(in >> pid >> s.dwServiceType >> s.dwCurrentState >> s.dwControlsAccepted >> s.dwWin32ExitCode >>
          s.dwServiceSpecificExitCode >> s.dwCheckPoint >> s.dwWaitHint))
        return false;
    return ProcessAlive(pid);
}

namespace {

// A service that still runs is only marked for deletion, as on Windows: its
// unit is renamed, so that systemd no longer starts it, and goes for good
// once the service has stopped.
std::string MarkedPath(const std::string& unitPath)
{
    return unitPath + ".deleted";
}

bool Running(const std::string& serviceName)
{
    SERVICE_STATUS status{};
    long pid = 0;
    return ReadServiceStatusFile(serviceName.c_str(), status, pid) && status.dwCurrentState != SERVICE_STOPPED;
}

// True while the service is marked for deletion; a marked one that has
// stopped is deleted now.
bool Marked(const std::string& serviceName, const std::string& unitPath)
{
    const std::string marked = MarkedPath(unitPath);
    if (access(marked.c_str(), F_OK) != 0)
        return false;
    if (Running(serviceName))
        return true;
    unlink(marked.c_str());
    return false;
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR, DWORD desiredAccess)
{
    if (machineName != nullptr && machineName[0] != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto manager = std::make_shared<ServiceManager>();
    manager->UnitDir = Settings().ServiceUnitDir;
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
                                DWORD serviceType, DWORD startType, DWORD, LPCSTR binaryPathName, LPCSTR, LPDWORD,
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
    if (Marked(serviceName, unitPath)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    if (access(unitPath.c_str(), F_OK) == 0) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    if (!Writable(manager->UnitDir)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ServiceEntry entry{serviceName, displayName ? displayName : serviceName, serviceType, startType,
                       binaryPathName, dependencies};
    std::string text = ServiceUnitText(entry, Settings(), RegistryInForce(), manager->UnitDir);
    // Never replaces a unit that appeared meanwhile.
    if (DWORD error = CreateFileContents(unitPath, text, 0644)) {
        SetLastError(error == ERROR_FILE_EXISTS ? ERROR_SERVICE_EXISTS : error);
        return nullptr;
    }
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
    if (access(service->UnitPath.c_str(), F_OK) != 0 && !Marked(service->Name, service->UnitPath)) {
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
    if (Marked(service->Name, service->UnitPath)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    const bool running = Running(service->Name);
    if ((running ? rename(service->UnitPath.c_str(), MarkedPath(service->UnitPath).c_str())
                 : unlink(service->UnitPath.c_str())) != 0) {
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
