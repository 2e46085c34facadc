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
inline constexpr int MatrixKeyCount = KeyMatrixSize * 8;
inline constexpr int BlockLedCount = LedBlockSize * 4;

// Identification (payload of the IDENTIFY response), offsets in the payload.
inline constexpr int IdentifyMajorOffset = 0;   // BCD
inline constexpr int IdentifyMinorOffset = 1;   // BCD
inline constexpr int IdentifyTypeOffset = 2;    // 8 ASCII characters, no terminator
inline constexpr int IdentifyTypeLength = 8;
inline constexpr int IdentifyKeyCountOffset = 10;
inline constexpr int IdentifyLedCountOffset = 11;

// LED states in a LED block.
inline constexpr int LedOff = 0;
inline constexpr int LedSlowBlink = 1;
inline constexpr int LedFastBlink = 2;
inline constexpr int LedOn = 3;

// The payload length a response id requires (0 for an id with no payload
// of its own, such as an unknown one).
int ResponsePayloadLength(BYTE responseId);
// The event name of a command id; null for an id that is none of the four.
const char* CommandName(BYTE command);

// Key n is bit n mod 8 of byte n div 8 of the key matrix.
bool IsKeyDown(const BYTE* keyMatrix, int key);
void SetKeyDown(BYTE* keyMatrix, int key, bool down);
// LED n of a LED block is bits 2(n mod 4) and 2(n mod 4) + 1 of byte n div 4.
int GetLedState(const BYTE* ledBlock, int led);
void SetLedState(BYTE* ledBlock, int led, int state);
// LED n of a LED pattern is bit n mod 8 of byte n div 8.
bool IsLedLit(const BYTE* ledPattern, int led);
void SetLedLit(BYTE* ledPattern, int led, bool lit);
