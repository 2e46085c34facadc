#include "link/commands.h"

int ResponsePayloadLength(BYTE responseId)
{
    switch (responseId) {
    case ResponseIdentify: return IdentificationSize;
    case ResponseStatus:
    case ResponseKeys:
    case ResponseLeds: return KeyMatrixSize;
    default: return 0;
    }
}

const char* CommandName(BYTE command)
{
    switch (command) {
    case CommandIdentify: return IdentifyName;
    case CommandStatus: return StatusName;
    case CommandKeys: return KeysName;
    case CommandLeds: return LedsName;
    default: return nullptr;
    }
}

bool IsKeyDown(const BYTE* keyMatrix, int key)
{
    return (keyMatrix[key / 8] >> (key % 8)) & 1;
}

void SetKeyDown(BYTE* keyMatrix, int key, bool down)
{
    BYTE bit = static_cast<BYTE>(1u << (key % 8));
    keyMatrix[key / 8] = static_cast<BYTE>(down ? keyMatrix[key / 8] | bit : keyMatrix[key / 8] & ~bit);
}

int GetLedState(const BYTE* ledBlock, int led)
{
    return (ledBlock[led / 4] >> (2 * (led % 4))) & 3;
}

void SetLedState(BYTE* ledBlock, int led, int state)
{
    int shift = 2 * (led % 4);
    ledBlock[led / 4] = static_cast<BYTE>((ledBlock[led / 4] & ~(3u << shift)) | ((state & 3u) << shift));
}

bool IsLedLit(const BYTE* ledPattern, int led)
{
    return IsKeyDown(ledPattern, led);
}

void SetLedLit(BYTE* ledPattern, int led, bool lit)
{
    SetKeyDown(ledPattern, led, lit);
}
