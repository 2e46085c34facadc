// Kernel objects behind HANDLEs. A handle is a number in a process-wide
// table, never a pointer, so a stale or forged handle fails with
// ERROR_INVALID_HANDLE instead of touching freed memory; an object stays
// alive while any call is still using it after CloseHandle.
#pragma once

#include "platform/linux/windef.h"
#include "platform/linux/winerror.h"

#include <memory>

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Each operation fails with ERROR_INVALID_HANDLE unless the object has it,
    // which is what Windows answers for a handle of the wrong kind.
    virtual DWORD Wait(DWORD milliseconds);
    virtual BOOL Read(void* buffer, DWORD size, DWORD* done);
    virtual BOOL Write(const void* buffer, DWORD size, DWORD* done);
    virtual BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
};

HANDLE RegisterKernelObject(std::shared_ptr<KernelObject> object);
// Null, with ERROR_INVALID_HANDLE set, for a handle that is not open.
std::shared_ptr<KernelObject> LookupKernelObject(HANDLE handle);

// errno to the Windows error code that the same failure gives there.
DWORD WinErrorFromErrno(int error);
