#include "sim/keypanel_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace kplsim {

namespace {

using Clock = std::chrono::steady_clock;

// A request that stops half-way is forgotten after this pause, so that the
// next one is read from its start.
constexpr auto ReceivePause = std::chrono::milliseconds(100);

int MillisecondsUntil(Clock::time_point when)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

int Earliest(int a, int b)
{
    return a < 0 ? b : b < 0 ? a : a < b ? a : b;
}

void MakeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

KeypanelLine::KeypanelLine()
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        std::abort();
}

KeypanelLine::~KeypanelLine()
{
    CloseLine();
    close(wake_[0]);
    close(wake_[1]);
}

void KeypanelLine::CloseLine()
{
    if (fd_ >= 0)
        close(fd_);
    if (slaveHold_ >= 0)
        close(slaveHold_);
    fd_ = slaveHold_ = -1;
}

bool KeypanelLine::OpenPty(std::string& error)
{
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        CloseLine();
        return false;
    }
    char name[128];
    if (ptsname_r(fd_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        CloseLine();
        return false;
    }
    path_ = name;
    // Holding the slave open ourselves keeps the master from reading
    // hang-ups while no port user has it open; it is never read here.
    slaveHold_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    // Raw before anyone opens the slave: no echo of requests back to us.
    MakeRaw(fd_);
    return true;
}

bool KeypanelLine::OpenDevice(const std::string& path, std::string& error)
{
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (isatty(fd_))
        MakeRaw(fd_);
    path_ = path;
    return true;
}

void KeypanelLine::Stop(bool hangUp)
{
    if (hangUp)
        hangUp_ = true;
    char byte = 1;
    // Never drained: every watcher of the stop event sees it.
    [[maybe_unused]] auto ignored = write(wake_[1], &byte, 1);
}

bool KeypanelLine::SendReply(const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    auto deadline = Clock::now() + std::chrono::seconds(1);
    while (sent < bytes.size()) {
        ssize_t put = write(fd_, bytes.data() + sent, bytes.size() - sent);
        if (put > 0) {
            sent += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd entry{fd_, POLLOUT, 0};
        if (poll(&entry, 1, MillisecondsUntil(deadline)) == 0)
            return true;  // nobody reads the line: the reply is lost, as on a wire
    }
    return true;
}

bool KeypanelLine::Serve(KeypanelModel& model, const Observer& observer, std::string& error)
{
    struct Pending {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Pending> pending;
    std::vector<Exchange> exchanges;
    std::uint8_t buffer[512];
    Clock::time_point lastByte = Clock::now();
    Clock::time_point lastDrip = lastByte;
    bool ok = true;
    for (;;) {
        int wait = -1;
        if (!pending.empty())
            wait = MillisecondsUntil(pending.front().due);
        if (model.Receiving())
            wait = Earliest(wait, MillisecondsUntil(lastByte + ReceivePause));
        const unsigned drip = model.CurrentFaults().dripMs;
        if (drip != 0)
            wait = Earliest(wait, MillisecondsUntil(lastDrip + std::chrono::milliseconds(drip)));
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int ready = poll(fds, 2, wait);
        if (ready < 0 && errno != EINTR) {
            error = std::string("poll: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (ready > 0 && fds[1].revents)
            break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got > 0) {
                auto now = Clock::now();
                lastByte = now;
                exchanges.clear();
                model.Receive(buffer, static_cast<std::size_t>(got), exchanges);
                for (auto& exchange : exchanges) {
                    if (observer)
                        observer(exchange);
                    if (!exchange.answered)
                        continue;
                    // Replies keep their order even when the delay shrinks.
                    auto due = now + std::chrono::milliseconds(exchange.delayMs);
                    if (!pending.empty() && pending.back().due > due)
                        due = pending.back().due;
                    pending.push_back({due, std::move(exchange.reply)});
                }
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                error = "the line was closed";
                ok = false;
                break;
            }
        } else if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            error = "the line hung up";
            ok = false;
            break;
        }
        auto now = Clock::now();
        if (drip != 0 && now - lastDrip >= std::chrono::milliseconds(drip)) {
            lastDrip = now;
            if (!SendReply({0x55})) {
                error = std::string("write: ") + std::strerror(errno);
                ok = false;
                break;
            }
        }
        while (!pending.empty() && pending.front().due <= now) {
            if (!SendReply(pending.front().bytes)) {
                error = std::string("write: ") + std::strerror(errno);
                ok = false;
                break;
            }
            pending.pop_front();
        }
        if (!ok)
            break;
        if (model.Receiving() && now - lastByte >= ReceivePause)
            model.ResetReceiver();
    }
    if (hangUp_)
        CloseLine();
    return ok;
}

}  // namespace kplsim
