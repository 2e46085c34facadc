#include "platform/linux/kernel_object.h"
#include "platform/linux/winbase.h"

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace {

std::mutex HandleLock;
std::unordered_map<ULONG_PTR, std::shared_ptr<KernelObject>>& HandleTable()
{
    static auto* table = new std::unordered_map<ULONG_PTR, std::shared_ptr<KernelObject>>();
    return *table;
}
// Windows hands out multiples of 4; starting high keeps handles clear of
// small integers that a caller might pass by mistake.
ULONG_PTR NextHandle = 0x1000;

}  // namespace

DWORD KernelObject::Wait(DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL KernelObject::Read(void*, DWORD, DWORD*)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL KernelObject::Write(const void*, DWORD, DWORD*)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL KernelObject::IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE RegisterKernelObject(std::shared_ptr<KernelObject> object)
{
    std::lock_guard<std::mutex> guard(HandleLock);
    ULONG_PTR value = NextHandle;
    NextHandle += 4;
    HandleTable().emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupKernelObject(HANDLE handle)
{
    {
        std::lock_guard<std::mutex> guard(HandleLock);
        auto found = HandleTable().find(reinterpret_cast<ULONG_PTR>(handle));
        if (found != HandleTable().end())
            return found->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    std::shared_ptr<KernelObject> object;
    {
        std::lock_guard<std::mutex> guard(HandleLock);
        auto found = HandleTable().find(reinterpret_cast<ULONG_PTR>(handle));
        if (found == HandleTable().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(found->second);
        HandleTable().erase(found);
    }
    // The object's destructor (closing a file descriptor, say) runs outside
    // the table lock, once the last user has let go of it.
    object.reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto object = LookupKernelObject(handle);
    if (!object)
        return WAIT_FAILED;
    return object->Wait(milliseconds);
}

namespace {
thread_local DWORD LastError = 0;
}

DWORD WINAPI GetLastError(void)
{
    return LastError;
}

void WINAPI SetLastError(DWORD code)
{
    LastError = code;
}

DWORD WinErrorFromErrno(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return ERROR_BUSY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENXIO:
    case ENODEV: return ERROR_DEV_NOT_EXIST;
    case EIO: return ERROR_IO_DEVICE;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case EINTR: return ERROR_OPERATION_ABORTED;
    case ENOSPC: return ERROR_CANTWRITE;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    default: return ERROR_GEN_FAILURE;
    }
}
