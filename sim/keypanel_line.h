// A Keypanel model on a serial line: the master side of a new
// pseudo-terminal (its slave is the port the service opens) or a device.
#pragma once

#include "sim/keypanel_model.h"

#include <atomic>
#include <functional>
#include <string>

namespace kplsim {

class KeypanelLine {
public:
    KeypanelLine();
    ~KeypanelLine();
    KeypanelLine(const KeypanelLine&) = delete;
    KeypanelLine& operator=(const KeypanelLine&) = delete;

    // A new pseudo-terminal in raw mode; Path() is its slave.
    bool OpenPty(std::string& error);
    // A serial device, set to raw 19200 8N1 when it is a terminal.
    bool OpenDevice(const std::string& path, std::string& error);
    const std::string& Path() const { return path_; }
    // The Keypanel's end, for a test that plays the Keypanel byte by byte.
    int Fd() const { return fd_; }

    using Observer = std::function<void(const Exchange&)>;
    // Answers requests until Stop(); false with a message when the line
    // failed. The observer sees every request on the serving thread.
    bool Serve(KeypanelModel& model, const Observer& observer, std::string& error);
    // From any thread, also from a signal handler. With hangUp the line is
    // closed as Serve returns, so the peer sees the line drop.
    void Stop(bool hangUp = false);
    // Bytes sent at once, outside any exchange; for before the peer's first
    // request (replies are written by the serving thread).
    bool SendUnasked(const std::vector<std::uint8_t>& bytes) { return SendReply(bytes); }
    // Readable once Stop() was called, for other waits to watch.
    int StopEvent() const { return wake_[0]; }

private:
    void CloseLine();
    bool SendReply(const std::vector<std::uint8_t>& bytes);

    int fd_ = -1;
    int slaveHold_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> hangUp_{false};
    std::string path_;
};

}  // namespace kplsim
