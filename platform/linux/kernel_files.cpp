#include "platform/linux/devices.h"
#include "platform/linux/host_config.h"
#include "platform/linux/winbase.h"
#include "platform/linux/winioctl.h"
#include "platform/linux/winreg.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

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

// "COMn" as the service passes it: the registry maps it to a device path,
// else COMn is /dev/ttyS<n-1>. Names are matched as Windows does, without case.
bool SerialDevicePath(const char* name, std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost\\Ports", 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        char value[MAX_PATH];
        DWORD type = 0, size = sizeof value - 1;
        LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        if (result == ERROR_SUCCESS && type == REG_SZ) {
            value[size] = '\0';
            path = value;
            return true;
        }
    }
    if (strncasecmp(name, "COM", 3) != 0 || name[3] == '\0')
        return false;
    char* end = nullptr;
    long number = std::strtol(name + 3, &end, 10);
    if (*end != '\0' || number < 1 || !std::isdigit(static_cast<unsigned char>(name[3])))
        return false;
    path = "/dev/ttyS" + std::to_string(number - 1);
    return true;
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
        object = OpenDevice(fileName, &error);
    } else {
        std::string path;
        if (SerialDevicePath(fileName, path))
            object = OpenSerialPort(path, &error);
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
