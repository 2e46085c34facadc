// Small helpers of the measuring tools: a temporary directory, the registry
// of the simulated machine, and whole-file reads.
#pragma once

#include <string>

namespace kplbench {

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

// Host values (journal, event log), COM3 on `portPath`, the keyboard settings
// Windows installs by default (delay 1, speed 31), plus `more`.
std::string MachineRegistry(const TempDir& dir, const std::string& portPath, const std::string& more = "");

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace kplbench
