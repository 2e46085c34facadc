// The Keypanel's four commands: ids, names and payload layouts.
#pragma once

#include "platform/win32.h"

inline constexpr BYTE CommandIdentify = 0x10;
inline constexpr BYTE CommandStatus = 0x11;
inline constexpr BYTE CommandKeys = 0x12;
inline constexpr BYTE CommandLeds = 0x13;
// A response id is its command id with bit 7 set.
inline constexpr BYTE ResponseFlag = 0x80;
inline constexpr BYTE ResponseIdentify = CommandIdentify | ResponseFlag;
inline constexpr BYTE ResponseStatus = CommandStatus | ResponseFlag;
inline constexpr BYTE ResponseKeys = CommandKeys | ResponseFlag;
inline constexpr BYTE ResponseLeds = CommandLeds | ResponseFlag;

// The names under which the commands appear in events.
inline constexpr const char* IdentifyName = "IDENTIFY";
inline constexpr const char* StatusName = "STATUS";
inline constexpr const char* KeysName = "KEYS";
inline constexpr const char* LedsName = "LEDS";

// Payload sizes.
inline constexpr int IdentificationSize = 12;
inline constexpr int KeyMatrixSize = 16;   // one bit per key, 128 keys
inline constexpr int LedBlockSize = 32;    // two bits per LED, 128 LEDs
inline constexpr int LedPatternSize = 16;  // one bit per LED

// Identification (payload of the IDENTIFY response), offsets in the payload.
inline constexpr int IdentifyMajorOffset = 0;   // BCD
inline constexpr int IdentifyMinorOffset = 1;   // BCD
inline constexpr int IdentifyTypeOffset = 2;    // 8 ASCII characters, no terminator
inline constexpr int IdentifyTypeLength = 8;
inline constexpr int IdentifyKeyCountOffset = 10;
inline constexpr int IdentifyLedCountOffset = 11;

// The payload length a response id requires (0 for an id with no payload
// of its own, such as an unknown one).
int ResponsePayloadLength(BYTE responseId);
