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
