// The controller link: the Keypanel's serial port, the framed protocol, its
// four commands and the monitor that decides when the link counts as failed.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Serial port: one port per run, opened exclusively.
// INVALID_HANDLE_VALUE while no port is open.
extern HANDLE PortHandle;
// Used instead of a response time-out of 0, which Windows would read as
// "wait for ever" for every byte.
inline constexpr DWORD DefaultResponseTimeout = 1000;

// The longest a whole response may take: the response time-out plus the
// wire time of MaxResponseBytes at the port's line settings, at most
// INFINITE. Set by ConfigurePort.
extern DWORD ResponseDeadline;
DWORD ResponseDeadlineFor(DWORD baudRate, BYTE parity, BYTE byteSize, BYTE stopBits, DWORD responseTimeout);

// A read waits for a byte in slices of at most this long, as many as the
// response time-out takes: a long time-out must not keep a stop waiting.
inline constexpr DWORD MaxReadSlice = 1000;
extern DWORD ReadSlices;  // set by ConfigurePort

// Ends reads early: a read still waiting for a byte, or for a frame that
// has been arriving for MaxReadSlice, gives up with ERROR_OPERATION_ABORTED.
// AbortReads may be called from any thread (a stop request); OpenPort
// clears it. LimitReads does the same once `milliseconds` from now have
// passed (INFINITE: no limit).
void AbortReads();
void LimitReads(DWORD milliseconds);
bool ReadsAborted();

bool OpenPort(const char* portName);
bool ConfigurePort(DWORD baudRate, BYTE parity, BYTE byteSize, BYTE stopBits, DWORD responseTimeout);
void ClosePort();

// Frames: STX, Node/Len, id, stuffed payload, checksum.
inline constexpr BYTE FrameStart = 0x02;
inline constexpr BYTE NodeMask = 0xC0;
inline constexpr BYTE LengthMask = 0x3F;
inline constexpr int FrameOverhead = 4;  // STX, Node/Len, id, checksum
inline constexpr int ReceiveBufferSize = 126;
inline constexpr int MaxPayloadLength = 59;
// A line that never completes a frame (another talker, a babbling device)
// makes ReadResponse give up after this many bytes outside accepted frames.
inline constexpr int MaxResponseBytes = 2 * ReceiveBufferSize;

BYTE FrameChecksum(const BYTE* bytes, int count, bool stuffed);
// False with ERROR_INVALID_PARAMETER, nothing written, for a payload longer
// than a frame can carry.
bool SendRequest(BYTE command, const BYTE* payload, BYTE length);
// True with the response id (0 for a frame whose checksum failed or that is
// shorter than its id requires) and a pointer into the receive buffer, valid
// until the next call. False with ERROR_TIMEOUT when no byte came within the
// response time-out; with ERROR_INVALID_DATA when bytes came but no frame
// within ResponseDeadline or MaxResponseBytes; with ERROR_OPERATION_ABORTED
// when reads were ended early.
bool ReadResponse(BYTE* responseId, const BYTE** payload);
// Where ReadResponse's deadline cut off a frame: the next read drops the
// rest of it. OpenPort clears it.
extern int CutFrameIndex;
int ParseResponseByte(BYTE value, BYTE* buffer, int bufferSize, int index, bool* complete);

// Communication error monitor.
struct CommMonitorRecord {
    CRITICAL_SECTION Lock;
    DWORD Failed;
    DWORD LastError;
    DWORD ErrorCount;
    DWORD Threshold;
};
extern CommMonitorRecord CommMonitor;

void InitCommMonitor(DWORD threshold);
void DeleteCommMonitor();
void SetCommResult(DWORD code);
// Nonzero while the link is held as failed; the last error code it recorded.
DWORD QueryCommError(DWORD* lastError);
