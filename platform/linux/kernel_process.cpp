// WinExec the Linux way: the command line's first word is looked up on PATH.
#include "platform/linux/windows.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// WinExec's own results: 0 for no memory, else an error code; above 31 is success.
constexpr UINT ExecOutOfMemory = 0;
constexpr UINT ExecBadFormat = 11;
constexpr UINT ExecStarted = 33;

// Blank-separated words; double quotes group blanks into a word.
std::vector<std::string> SplitCommandLine(const char* commandLine)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (const char* c = commandLine; *c != '\0'; ++c) {
        if (*c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((*c == ' ' || *c == '\t') && !quoted) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += *c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

}  // namespace

UINT WINAPI WinExec(LPCSTR commandLine, UINT)
{
    if (commandLine == nullptr)
        return ERROR_FILE_NOT_FOUND;
    std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty())
        return ERROR_FILE_NOT_FOUND;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t child = 0;
    switch (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ)) {
    case 0:
        break;
    case ENOMEM:
        return ExecOutOfMemory;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ExecBadFormat;
    default:
        return ERROR_FILE_NOT_FOUND;
    }
    // Windows keeps no zombies: someone has to wait for the child.
    std::thread([child] {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return ExecStarted;
}
