// The Application event log of the Linux build: syslog, and one line per
// event in the file that "EventLogFile" names, for tests and tools to read.
#include "platform/linux/host_notice.h"
#include "platform/linux/host_settings.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/message_format.h"
#include "platform/linux/winbase.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class EventSource : public KernelObject {
public:
    explicit EventSource(const char* name) : Name(name) {}
    std::string Name;
};

const char* TypeName(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return "Error";
    case EVENTLOG_WARNING_TYPE: return "Warning";
    case EVENTLOG_SUCCESS: return "Success";
    default: return "Information";
    }
}

int SyslogPriority(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    case EVENTLOG_SUCCESS: return LOG_NOTICE;
    default: return LOG_INFO;
    }
}

}  // namespace

HANDLE WINAPI RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName)
{
    if (serverName != nullptr && serverName[0] != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);  // only the local computer's log
        return nullptr;
    }
    if (sourceName == nullptr || sourceName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return RegisterKernelObject(std::make_shared<EventSource>(sourceName));
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog)
{
    auto object = LookupKernelObject(eventLog);
    if (!object || !dynamic_cast<EventSource*>(object.get())) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(eventLog);
}

BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD, DWORD eventId, PSID, WORD numStrings, DWORD dataSize,
                         LPCSTR* strings, LPVOID rawData)
{
    auto object = LookupKernelObject(eventLog);
    auto* source = dynamic_cast<EventSource*>(object.get());
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((numStrings > 0 && strings == nullptr) || (dataSize > 0 && rawData == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // Like the Event Viewer: the text from the message table, a missing
    // insertion string left as written, no id in the table shown plainly.
    DWORD_PTR args[99] = {};
    unsigned count = numStrings < 99 ? numStrings : 99;
    for (unsigned i = 0; i < count; ++i)
        args[i] = reinterpret_cast<DWORD_PTR>(strings[i]);
    static thread_local char text[8192];
    std::size_t length = 0;
    DWORD error = 0;
    const char* pattern = FindModuleMessage(eventId);
    if (pattern == nullptr || !ExpandMessage(pattern, false, args, count, true, text, sizeof text, &length, &error))
        length = static_cast<std::size_t>(
            std::snprintf(text, sizeof text, "The description for Event ID 0x%08X cannot be found.", eventId));
    // One event, one line.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] == '\r' || text[i] == '\n')
            text[i] = ' ';

    std::string line;
    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    char head[64];
    std::snprintf(head, sizeof head, "%s 0x%08X ", TypeName(type), eventId);
    line.append(head).append(text, length);
    if (dataSize > 0) {
        line.append(" data=");
        const auto* bytes = static_cast<const unsigned char*>(rawData);
        for (DWORD i = 0; i < dataSize; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, i + 1 < dataSize ? "%02X " : "%02X", bytes[i]);
            line.append(hex);
        }
    }

    OpenServiceSyslog(source->Name.c_str());
    syslog(SyslogPriority(type), "%s", line.c_str());

    HostSettings settings;
    CurrentHostSettings(settings);
    if (settings.EventLogFile.empty())
        return TRUE;
    std::string record = stamp + line + "\n";
    // Events may carry what was typed and where: for the owner only.
    int fd = open(settings.EventLogFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetLastError(WinErrorFromErrno(errno));
        return FALSE;
    }
    // One write per line: with O_APPEND, lines from several threads or
    // processes never interleave.
    ssize_t written = write(fd, record.data(), record.size());
    int writeError = errno;
    close(fd);
    if (written != static_cast<ssize_t>(record.size())) {
        SetLastError(written < 0 ? WinErrorFromErrno(writeError) : ERROR_CANTWRITE);
        return FALSE;
    }
    return TRUE;
}
