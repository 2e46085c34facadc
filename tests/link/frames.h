// Frames of the link suites as bytes: a head, a run of zeros, a tail.
#pragma once

#include "platform/win32.h"

#include <vector>

using Bytes = std::vector<BYTE>;

inline Bytes Frame(Bytes head, std::size_t zeros, const Bytes& tail = {})
{
    head.insert(head.end(), zeros, 0x00);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
