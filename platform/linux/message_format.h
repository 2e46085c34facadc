// Expansion of message templates, shared by FormatMessageA and the event log.
#pragma once

#include "platform/linux/windef.h"

#include <cstddef>

// Expands the inserts of a message template (%1..%99 with an optional !fmt!,
// %0, %n, %%, %., %!, %space, %r, %t) into out. args holds argCount values;
// an insert beyond them fails with ERROR_INVALID_PARAMETER, or is copied as
// written when keepMissing is set (what the Event Viewer shows for a missing
// string). Returns false with the Windows error code in *error.
bool ExpandMessage(const char* pattern, bool ignoreInserts, const DWORD_PTR* args, unsigned argCount,
                   bool keepMissing, char* out, std::size_t outSize, std::size_t* length, DWORD* error);

// The template of a message id, or null (ERROR_MR_MID_NOT_FOUND).
const char* FindModuleMessage(DWORD messageId);
const char* FindSystemMessage(DWORD messageId);
