// A message table as FormatMessageA reads it: ids and texts ending in CR LF.
#pragma once

#include "platform/linux/windef.h"

struct MessageTableEntry {
    DWORD id;
    const char* text;
};

// Windows' English system texts (generated from windows_error_texts.tsv).
extern const MessageTableEntry SystemMessageTable[];
extern const unsigned SystemMessageCount;

// The executable's own table (generated from resources/events.txt and linked
// into every executable through the kpl_messages object library).
extern const MessageTableEntry ModuleMessageTable[];
extern const unsigned ModuleMessageCount;
