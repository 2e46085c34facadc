#include "service/log.h"

#include <cstdio>
#include <cstring>

std::atomic<LONG> ErrorEventCount{1};

namespace {

constexpr LONG ErrorEventLimit = 100;

WORD EventType(DWORD eventId)
{
    switch (eventId >> 30) {
    case 0: return EVENTLOG_SUCCESS;
    case 1: return EVENTLOG_INFORMATION_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_ERROR_TYPE;
    }
}

}  // namespace

void LogEvent(DWORD eventId, DWORD errorCode, const char* text, const void* rawData, DWORD rawDataSize)
{
    const char* strings[2] = {"", ""};
    WORD count = 0;

    if (errorCode != 0) {
        LONG seen = ErrorEventCount.load();
        do {
            if (seen > ErrorEventLimit)
                return;
        } while (!ErrorEventCount.compare_exchange_weak(seen, seen + 1));
        if (seen == ErrorEventLimit) {
            eventId = MSG_TOO_MANY_ERRORS;
            errorCode = 0;
            text = nullptr;
            rawData = nullptr;
            rawDataSize = 0;
        }
    }

    char systemText[1024];
    if (errorCode != 0) {
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, errorCode,
                                      0, systemText, sizeof systemText, nullptr);
        if (length == 0) {
            std::snprintf(systemText, sizeof systemText, "Error %u", static_cast<unsigned>(errorCode));
        } else {
            std::size_t n = std::strlen(systemText);
            if (n >= 2)
                systemText[n -= 2] = '\0';
            if (n > 0 && systemText[n - 1] == '.')
                systemText[n - 1] = '\0';
        }
        strings[count++] = systemText;
    }
    if (text != nullptr)
        strings[count++] = text;

    if (DebugMode) {
        char eventText[1024];
        DWORD_PTR args[2] = {reinterpret_cast<DWORD_PTR>(strings[0]), reinterpret_cast<DWORD_PTR>(strings[1])};
        if (FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, eventId, 0, eventText,
                           sizeof eventText, reinterpret_cast<va_list*>(args)) == 0) {
            std::printf("Cannot format message: Error %u.\n", static_cast<unsigned>(GetLastError()));
            return;
        }
        SYSTEMTIME now;
        GetSystemTime(&now);
        std::printf("%02u:%02u:%02u.%03u: %s", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, eventText);
        return;
    }

    HANDLE source = RegisterEventSourceA(nullptr, ServiceName);
    if (source == nullptr)
        return;
    ReportEventA(source, EventType(eventId), 0, eventId, nullptr, count, rawDataSize, strings,
                 const_cast<void*>(rawData));
    DeregisterEventSource(source);
}

void LogError(DWORD eventId, DWORD errorCode, const char* text)
{
    LogEvent(eventId, errorCode, text, nullptr, 0);
}

char* FormatLastError(char* buffer, int size)
{
    DWORD code = GetLastError();
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (size > 0)
        buffer[0] = '\0';
    if (length != 0 && text != nullptr && size >= static_cast<int>(length) + 14) {
        // Texts end in a line break; a shorter one is taken whole.
        if (length >= 2)
            text[length - 2] = '\0';
        std::snprintf(buffer, static_cast<std::size_t>(size), "%s (0x%x)", text, static_cast<unsigned>(code));
    }
    if (text != nullptr)
        LocalFree(text);
    return buffer;
}
