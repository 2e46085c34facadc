#include "link/commands.h"
#include "link/link.h"
#include "service/log.h"

#include <cstring>

namespace {

BYTE SendBuffer[ReceiveBufferSize];
BYTE ReceiveBuffer[ReceiveBufferSize];
// Set after a stored payload byte 0x02: the stuffing byte that follows is dropped.
bool DestuffNext = false;

void TraceReceiveDump(const BYTE* buffer, int index)
{
    DebugTrace("<< %u bytes read: ", static_cast<unsigned>(index));
    for (int i = 0; i <= index; ++i) {
        // The established dump format; "%02.02x" prints as "%02x" does.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        DebugTrace("%02.02x ", buffer[i]);
#pragma GCC diagnostic pop
    }
    DebugTrace("\n");
}

// Rejects a frame once it was stored whole: the id is cleared so that callers
// ignore it, and the bytes are shown in debug mode.
int RejectFrame(DWORD code, BYTE* buffer, int index)
{
    SetCommResult(code);
    buffer[2] = 0;
    TraceReceiveDump(buffer, index);
    return 0;
}

}  // namespace

// Where the frame that the deadline cut off stopped; 0 for none.
int CutFrameIndex = 0;

BYTE FrameChecksum(const BYTE* bytes, int count, bool stuffed)
{
    BYTE sum = 0;
    for (int i = 0; i < count; ++i) {
        BYTE value = bytes[i];
        unsigned total = 2u * sum + value;
        // The carry is added back as exactly 1, even when the total exceeds 511.
        sum = static_cast<BYTE>(total > 255 ? total + 1 : total);
        // The payload byte after a 0x02 is left out on both sides; the sender
        // also steps over the stuffing byte between them.
        if (value == FrameStart && i >= 3)
            i += stuffed ? 2 : 1;
    }
    return sum == FrameStart ? 0xFD : sum;
}

bool SendRequest(BYTE command, const BYTE* payload, BYTE length)
{
    // A longer payload would not fit the frame's length field, and stuffed
    // it could overrun the frame buffer.
    if (length > MaxPayloadLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::memset(SendBuffer, 0, sizeof SendBuffer);
    int count = 0;
    SendBuffer[count++] = FrameStart;
    SendBuffer[count++] = static_cast<BYTE>(length + FrameOverhead);
    SendBuffer[count++] = command;
    if (payload != nullptr) {
        for (int i = 0; i < length; ++i) {
            SendBuffer[count++] = payload[i];
            if (payload[i] == FrameStart)
                SendBuffer[count++] = 0x00;
        }
    }
    SendBuffer[count] = FrameChecksum(SendBuffer, count, true);
    ++count;

    DWORD written = 0;
    if (!WriteFile(PortHandle, SendBuffer, static_cast<DWORD>(count), &written, nullptr)) {
        DWORD error = GetLastError();
        SetCommResult(error);
        SetLastError(error);  // the trace may have touched it
        return false;
    }
    return true;
}

bool ReadResponse(BYTE* responseId, const BYTE** payload)
{
    // A frame cut off by the deadline is read to its end here and dropped,
    // rather than read as stray bytes.
    int index = CutFrameIndex;
    bool dropFrame = index != 0;
    CutFrameIndex = 0;
    int unframed = 0;      // bytes read that ended in no accepted frame
    int frameBytes = index;  // bytes read of the frame in progress
    DWORD emptySlices = 0;
    const DWORD started = GetTickCount();
    DWORD frameStarted = started;
    for (;;) {
        BYTE value = 0;
        DWORD got = 0;
        if (!ReadFile(PortHandle, &value, 1, &got, nullptr)) {
            DWORD error = GetLastError();
            SetCommResult(error);
            SetLastError(error);
            return false;
        }
        if (got == 0) {
            // A stop must not wait out a long time-out.
            if (ReadsAborted()) {
                SetLastError(ERROR_OPERATION_ABORTED);
                return false;
            }
            if (++emptySlices < ReadSlices)
                continue;
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
        emptySlices = 0;
        if (index == 0)
            frameStarted = GetTickCount();
        ++frameBytes;
        bool complete = false;
        index = ParseResponseByte(value, ReceiveBuffer, ReceiveBufferSize, index, &complete);
        if (complete && !dropFrame) {
            *responseId = ReceiveBuffer[2];
            *payload = &ReceiveBuffer[3];
            return true;
        }
        if (index == 0) {
            unframed += frameBytes;
            frameBytes = 0;
            dropFrame = false;
        }
        // Nor a line that keeps talking; a frame that is arriving gets a
        // slice to finish.
        if (ReadsAborted() && (index == 0 || GetTickCount() - frameStarted >= MaxReadSlice)) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        // Each rejected byte was reported already; these only free the main
        // thread from a line that never stops talking. A line that keeps
        // sending bytes but no frame is there and unintelligible, not silent.
        if (unframed >= MaxResponseBytes) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        if (GetTickCount() - started > ResponseDeadline) {
            // The bytes of a frame cut off were not counted as errors yet.
            CutFrameIndex = index;
            if (index != 0)
                SetCommResult(ERROR_INVALID_DATA);
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
    }
}

int ParseResponseByte(BYTE value, BYTE* buffer, int bufferSize, int index, bool* complete)
{
    *complete = false;
    if (index >= bufferSize) {
        SetCommResult(ERROR_INVALID_DATA);
        DebugTrace("Invalid Index: %d >= buffer size %d\n", index, bufferSize);
        return 0;
    }
    if (index == 0) {
        DestuffNext = false;
        if (value == FrameStart) {
            buffer[0] = value;
            return 1;
        }
        SetCommResult(ERROR_INVALID_DATA);
        DebugTrace("Invalid STX: %02xh instead of %02xh\n", value, FrameStart);
        return 0;
    }
    if (index == 1) {
        if ((value & NodeMask) == 0 && (value & LengthMask) >= FrameOverhead) {
            buffer[1] = value;
            return 2;
        }
        SetCommResult(ERROR_INVALID_DATA);
        DebugTrace("Invalid Node/Len: %02x\n", value);
        return 0;
    }
    if (index == 2) {
        buffer[2] = value;
        return 3;
    }
    if (DestuffNext) {
        DestuffNext = false;
        return index;
    }
    int length = buffer[1] & LengthMask;
    if (index < length - 1) {
        if (value == FrameStart)
            DestuffNext = true;
        buffer[index] = value;
        return index + 1;
    }
    buffer[index] = value;
    *complete = true;
    if (value != FrameChecksum(buffer, index, false))
        return RejectFrame(ERROR_CRC, buffer, index);
    // A short frame would hand out the bytes an earlier frame left behind.
    if (index - 3 < ResponsePayloadLength(buffer[2]))
        return RejectFrame(ERROR_INVALID_DATA, buffer, index);
    SetCommResult(0);
    return 0;
}
