#include "platform/linux/devices.h"
#include "platform/linux/host_notice.h"
#include "platform/linux/host_settings.h"
#include "platform/linux/winbase.h"
#include "platform/linux/winioctl.h"
#include "platform/linux/winreg.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include <strings.h>

namespace {

struct Device {
    char Name[32];
    DeviceOpener Opener;
};

// Filled by static initialisers of other files, so nothing here may need a
// constructor to run first.
constexpr int DeviceCapacity = 8;
Device Devices[DeviceCapacity];
std::mutex DevicesLock;

bool IsPortName(const char* name)
{
    return strncasecmp(name, "COM", 3) == 0 && name[3] >= '1' && name[3] <= '9' &&
           std::strspn(name + 3, "0123456789") == std::strlen(name + 3);
}

// "COMn" as the service passes it, on the device its mapping names, and on
// no other: a mapping that cannot be used makes the open fail. Either way a
// failure names the Linux device on standard error, which the Windows error
// code cannot.
std::shared_ptr<KernelObject> OpenPort(const char* name, DWORD* error)
{
    HostSettings settings;
    CurrentHostSettings(settings);
    std::string path, fault;
    if ((*error = PortDevicePath(settings, name, path, fault)) != ERROR_SUCCESS) {
        HostNotice("%s cannot be opened: %s (HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports)", name, fault.c_str());
        return nullptr;
    }
    auto port = OpenSerialPort(path, error);
    if (!port)
        HostNotice("%s is %s: cannot open it: %s", name, path.c_str(), std::strerror(errno));
    return port;
}

// A registered device by its name.
std::shared_ptr<KernelObject> OpenDevice(const char* name, DWORD* error)
{
    DeviceOpener opener = nullptr;
    {
        std::lock_guard<std::mutex> guard(DevicesLock);
        for (const Device& device : Devices)
            if (device.Opener != nullptr && strcasecmp(device.Name, name) == 0)
                opener = device.Opener;
    }
    if (opener == nullptr) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    return opener(error);
}

}  // namespace

bool RegisterDevice(const char* name, DeviceOpener opener)
{
    if (std::strlen(name) >= sizeof Devices[0].Name)
        return false;
    std::lock_guard<std::mutex> guard(DevicesLock);
    Device* unused = nullptr;
    for (Device& device : Devices) {
        if (device.Opener != nullptr && strcasecmp(device.Name, name) == 0) {
            device.Opener = opener;
            return true;
        }
        if (device.Opener == nullptr && unused == nullptr)
            unused = &device;
    }
    if (unused == nullptr)
        return false;
    std::strcpy(unused->Name, name);
    unused->Opener = opener;
    return true;
}

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE)
{
    if (fileName == nullptr || fileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Only what the service opens: existing devices, exclusively, synchronously.
    if (creationDisposition != OPEN_EXISTING || shareMode != 0 || (flagsAndAttributes & FILE_FLAG_OVERLAPPED)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::shared_ptr<KernelObject> object;
    if (std::strncmp(fileName, "\\\\.\\", 4) == 0) {
        object = IsPortName(fileName + 4) ? OpenPort(fileName + 4, &error) : OpenDevice(fileName, &error);
    } else if (IsPortName(fileName) && std::strlen(fileName) == 4) {
        // Only COM1 to COM9 are names of their own; from COM10 on Windows
        // opens a port only as "\\.\COM10", and a file "COM10" otherwise.
        object = OpenPort(fileName, &error);
    } else {
        HostNotice("%s cannot be opened: not a port name (COM1 to COM9, or \\\\.\\COMn from COM10 on)", fileName);
    }
    if (!object) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return RegisterKernelObject(std::move(object));
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    DWORD done = 0;
    if (bytesRead != nullptr)
        *bytesRead = 0;
    if (overlapped != nullptr || (buffer == nullptr && bytesToRead > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = LookupKernelObject(file);
    if (!object)
        return FALSE;
    BOOL result = object->Read(buffer, bytesToRead, &done);
    if (bytesRead != nullptr)
        *bytesRead = done;
    return result;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped)
{
    DWORD done = 0;
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    if (overlapped != nullptr || (buffer == nullptr && bytesToWrite > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = LookupKernelObject(file);
    if (!object)
        return FALSE;
    BOOL result = object->Write(buffer, bytesToWrite, &done);
    if (bytesWritten != nullptr)
        *bytesWritten = done;
    return result;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    DWORD returned = 0;
    if (overlapped != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = LookupKernelObject(device);
    if (!object)
        return FALSE;
    BOOL result = object->IoControl(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, &returned);
    if (bytesReturned != nullptr)
        *bytesReturned = returned;
    return result;
}
