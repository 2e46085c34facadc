#include "platform/linux/kernel_object.h"
#include "platform/linux/winbase.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <strings.h>

#include <link.h>
#include <unistd.h>

#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126L
#endif

namespace {

// As on Windows, the module handle is the address the executable's image
// was loaded at.
HMODULE FindExecutableBase()
{
    ElfW(Addr) base = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            // The first object reported is the executable itself.
            ElfW(Addr) lowest = ~ElfW(Addr)(0);
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
                    lowest = info->dlpi_phdr[i].p_vaddr;
            }
            if (lowest == ~ElfW(Addr)(0))
                lowest = 0;
            *static_cast<ElfW(Addr)*>(data) = info->dlpi_addr + lowest;
            return 1;
        },
        &base);
    // Never null, even in a loader that reports nothing.
    return reinterpret_cast<HMODULE>(base != 0 ? base : reinterpret_cast<ElfW(Addr)>(&FindExecutableBase));
}

bool ExecutablePath(std::string& path)
{
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            SetLastError(WinErrorFromErrno(errno));
            return false;
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            path.assign(buffer.data(), static_cast<size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    if (module != nullptr && module != GetModuleHandleA(nullptr)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string path;
    if (!ExecutablePath(path))
        return 0;
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path.size() < size) {
        std::memcpy(fileName, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    // Windows' rule since XP: truncated but terminated, returning the buffer's size.
    std::memcpy(fileName, path.data(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName)
{
    static const HMODULE executable = FindExecutableBase();
    if (moduleName == nullptr)
        return executable;
    // By name, only the executable is known: its file name, with or without
    // the ".exe" that Windows code may add.
    std::string path;
    if (!ExecutablePath(path))
        return nullptr;
    std::string own = path.substr(path.find_last_of('/') + 1);
    std::string wanted = moduleName;
    auto slash = wanted.find_last_of("/\\");
    if (slash != std::string::npos)
        wanted = wanted.substr(slash + 1);
    if (strcasecmp(wanted.c_str(), own.c_str()) == 0 || strcasecmp(wanted.c_str(), (own + ".exe").c_str()) == 0)
        return executable;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
