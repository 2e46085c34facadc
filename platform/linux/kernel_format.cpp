#include "platform/linux/message_format.h"
#include "platform/linux/message_table.h"
#include "platform/linux/winbase.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD ErrorMessageIdNotFound = 317;     // ERROR_MR_MID_NOT_FOUND
constexpr DWORD ErrorLanguageNotFound = 1815;     // ERROR_RESOURCE_LANG_NOT_FOUND
constexpr std::size_t MaxMessageLength = 65535;   // FormatMessage's own limit

const char* FindIn(const MessageTableEntry* table, unsigned count, DWORD id)
{
    for (unsigned i = 0; i < count; ++i)
        if (table[i].id == id)
            return table[i].text;
    return nullptr;
}

struct Output {
    char* out;
    std::size_t size;
    std::size_t used = 0;
    bool overflow = false;

    void Put(const char* text, std::size_t n)
    {
        if (used + n >= size) {
            overflow = true;
            return;
        }
        std::memcpy(out + used, text, n);
        used += n;
    }
    void Put(char c) { Put(&c, 1); }
};

// Formats one insert with its printf conversion; the conversion letter
// decides how the pointer-sized argument is read.
// The conversion comes from a message template, so it is checked to be one
// printf conversion (flags, width, precision, an optional l or h, a letter)
// before it is used as a format.
bool ValidConversion(const char* conversion, std::size_t length)
{
    std::size_t i = 0;
    while (i + 1 < length && std::strchr("-+ #0123456789.", conversion[i]) != nullptr)
        ++i;
    bool sized = i + 1 < length && (conversion[i] == 'l' || conversion[i] == 'h');
    if (sized)
        ++i;
    // Only 8-bit strings and characters: %ls would read a wide string.
    const char* letters = sized ? "diuxXo" : "scdiuxXo";
    return i + 1 == length && std::strchr(letters, conversion[i]) != nullptr;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
bool FormatInsert(Output& output, const char* conversion, std::size_t conversionLength, DWORD_PTR arg)
{
    char format[32];
    if (conversionLength == 0 || conversionLength + 2 > sizeof format || !ValidConversion(conversion, conversionLength))
        return false;
    format[0] = '%';
    std::memcpy(format + 1, conversion, conversionLength);
    format[conversionLength + 1] = '\0';
    char last = conversion[conversionLength - 1];
    bool isLong = conversionLength >= 2 && conversion[conversionLength - 2] == 'l';
    char text[512];
    int n;
    switch (last) {
    case 's':
        n = std::snprintf(text, sizeof text, format, reinterpret_cast<const char*>(arg));
        if (n >= (int)sizeof text) {
            // A long string is copied directly rather than cut.
            const char* s = reinterpret_cast<const char*>(arg);
            output.Put(s, std::strlen(s));
            return true;
        }
        break;
    case 'c':
        n = std::snprintf(text, sizeof text, format, static_cast<int>(arg));
        break;
    case 'd':
    case 'i':
        n = isLong ? std::snprintf(text, sizeof text, format, static_cast<long>(static_cast<LONG>(arg)))
                   : std::snprintf(text, sizeof text, format, static_cast<int>(arg));
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        n = isLong ? std::snprintf(text, sizeof text, format, static_cast<unsigned long>(static_cast<DWORD>(arg)))
                   : std::snprintf(text, sizeof text, format, static_cast<unsigned>(arg));
        break;
    default:
        return false;
    }
    if (n < 0)
        return false;
    output.Put(text, static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1);
    return true;
}
#pragma GCC diagnostic pop

}  // namespace

const char* FindModuleMessage(DWORD messageId)
{
    return FindIn(ModuleMessageTable, ModuleMessageCount, messageId);
}

const char* FindSystemMessage(DWORD messageId)
{
    return FindIn(SystemMessageTable, SystemMessageCount, messageId);
}

bool ExpandMessage(const char* pattern, bool ignoreInserts, const DWORD_PTR* args, unsigned argCount,
                   bool keepMissing, char* out, std::size_t outSize, std::size_t* length, DWORD* error)
{
    Output output{out, outSize};
    if (ignoreInserts) {
        output.Put(pattern, std::strlen(pattern));
    } else {
        for (const char* p = pattern; *p != '\0';) {
            if (*p != '%') {
                output.Put(*p++);
                continue;
            }
            const char* start = p++;
            char c = *p;
            if (c == '\0') {
                break;
            } else if (c == '0') {
                break;  // %0 ends the message without the final line break
            } else if (c == 'n') {
                output.Put("\r\n", 2);
                ++p;
            } else if (c == 'r') {
                output.Put('\r');
                ++p;
            } else if (c == 't') {
                output.Put('\t');
                ++p;
            } else if (c >= '1' && c <= '9') {
                unsigned number = static_cast<unsigned>(*p++ - '0');
                if (*p >= '0' && *p <= '9')
                    number = number * 10 + static_cast<unsigned>(*p++ - '0');
                const char* conversion = "s";
                std::size_t conversionLength = 1;
                if (*p == '!') {
                    const char* end = std::strchr(p + 1, '!');
                    if (end == nullptr) {
                        *error = ERROR_INVALID_PARAMETER;
                        return false;
                    }
                    conversion = p + 1;
                    conversionLength = static_cast<std::size_t>(end - conversion);
                    p = end + 1;
                }
                if (args == nullptr || number > argCount) {
                    if (!keepMissing) {
                        *error = ERROR_INVALID_PARAMETER;
                        return false;
                    }
                    output.Put(start, static_cast<std::size_t>(p - start));
                } else if (!FormatInsert(output, conversion, conversionLength, args[number - 1])) {
                    *error = ERROR_INVALID_PARAMETER;
                    return false;
                }
            } else {
                output.Put(c);  // %%, %., %!, "% " and any other escaped character
                ++p;
            }
        }
    }
    if (output.overflow) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    out[output.used] = '\0';
    *length = output.used;
    return true;
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, va_list* arguments)
{
    const char* pattern = nullptr;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        pattern = static_cast<const char*>(source);
    } else {
        // Both languages of the module's table hold the same English texts;
        // the system texts are English only.
        bool english = languageId == 0 || languageId == 0x0400 || languageId == 0x0800 || languageId == 0x0409;
        bool moduleLanguage = english || languageId == 0x0407;
        if ((flags & FORMAT_MESSAGE_FROM_HMODULE) && moduleLanguage)
            pattern = FindModuleMessage(messageId);
        if (pattern == nullptr && (flags & FORMAT_MESSAGE_FROM_SYSTEM) && english)
            pattern = FindSystemMessage(messageId);
        if (pattern == nullptr) {
            SetLastError(moduleLanguage ? ErrorMessageIdNotFound : ErrorLanguageNotFound);
            return 0;
        }
    }
    if (pattern == nullptr || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Only the argument-array form is supported; a va_list would need the
    // inserts in order, which no caller here relies on.
    const DWORD_PTR* args = nullptr;
    unsigned argCount = 0;
    if (arguments != nullptr && (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY)) {
        args = reinterpret_cast<const DWORD_PTR*>(arguments);
        argCount = 99;
    }
    bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;

    static thread_local char text[MaxMessageLength + 1];
    std::size_t length = 0;
    DWORD error = 0;
    bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    std::size_t limit = allocate ? sizeof text : (size < sizeof text ? size : sizeof text);
    if (!ExpandMessage(pattern, ignoreInserts, args, argCount, false, text, limit, &length, &error)) {
        SetLastError(error);
        return 0;
    }
    if (allocate) {
        std::size_t bytes = length + 1 > size ? length + 1 : size;
        char* copy = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<char**>(buffer) = copy;
    } else {
        std::memcpy(buffer, text, length + 1);
    }
    return static_cast<DWORD>(length);
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes)
{
    void* memory = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (memory == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL memory)
{
    std::free(memory);
    return nullptr;
}
