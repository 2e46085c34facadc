// Helpers shared by the test suites.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kpltest {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable for the object's lifetime (POSIX only).
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A temporary machine of the Linux layer: a fresh directory whose
// machine.reg is the registry in force (KPL_REGISTRY) while the object lives.
class TempMachine : public TempDir {
public:
    using Values = std::vector<std::pair<std::string, std::string>>;
    TempMachine() : registry_("KPL_REGISTRY", File("machine.reg")) {}
    // machine.reg anew: these string values of HKLM\SOFTWARE\KplHost (with
    // "KeyOutput"="journal" unless they name one) and of its Ports key, then
    // `more` as it is.
    void WriteRegistry(const Values& host, const Values& ports = {}, const std::string& more = "") const;

private:
    ScopedEnv registry_;
};

// Waits for a condition with a bound; true when it came true in time. Every
// wait of the suites goes through here: none depends on a bare sleep.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// How often `needle` occurs in `text`.
std::size_t CountOf(const std::string& text, const std::string& needle);
// The names in a directory, sorted.
std::vector<std::string> DirectoryEntries(const std::string& path);

}  // namespace kpltest
