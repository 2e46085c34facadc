// Serial ports over termios: a pseudo-terminal in tests, a UART on a panel.
// Windows semantics where the service can tell: exclusive open, raw bytes,
// DCB settings Linux cannot do refused, COMMTIMEOUTS honoured, and a peer
// that hangs up or a device that vanishes turned into an error code rather
// than a hang.
#include "platform/linux/devices.h"
#include "platform/linux/winbase.h"
#include "platform/linux/wincomm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

struct SpeedEntry {
    DWORD baud;
    speed_t speed;
};

constexpr SpeedEntry Speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOf(DWORD baud, speed_t& speed)
{
    for (const auto& entry : Speeds) {
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

DWORD BaudOf(speed_t speed)
{
    for (const auto& entry : Speeds) {
        if (entry.speed == speed)
            return entry.baud;
    }
    return 0;
}

constexpr tcflag_t FrameFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// Milliseconds left until a deadline, rounded up so that a wait never ends
// before it; -1 stands for no deadline, as poll() takes it.
int MillisecondsUntil(bool bounded, Clock::time_point deadline)
{
    if (!bounded)
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left);
}

int Earliest(int a, int b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

// What a read or write error of the device means to a Windows caller: a
// pseudo-terminal whose master went away, or a UART that was unplugged,
// answers EIO or ENXIO; Windows says the device is not connected.
DWORD DeviceError(int error)
{
    switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE: return ERROR_DEVICE_NOT_CONNECTED;
    default: return WinErrorFromErrno(error);
    }
}

class SerialPort : public KernelObject {
public:
    explicit SerialPort(int fd) : fd_(fd)
    {
        // What a freshly started Windows gives a port that nobody set up.
        extra_.DCBlength = sizeof(DCB);
        extra_.fBinary = 1;
        extra_.fDtrControl = DTR_CONTROL_ENABLE;
        extra_.fRtsControl = RTS_CONTROL_ENABLE;
        extra_.XonLim = 2048;
        extra_.XoffLim = 512;
        extra_.XonChar = 0x11;
        extra_.XoffChar = 0x13;
    }
    ~SerialPort() override
    {
        ioctl(fd_, TIOCNXCL);
        close(fd_);
    }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    BOOL Read(void* buffer, DWORD size, DWORD* done) override;
    BOOL Write(const void* buffer, DWORD size, DWORD* done) override;
    BOOL GetState(DCB& dcb);
    BOOL SetState(const DCB& dcb);
    BOOL GetTimeouts(COMMTIMEOUTS& timeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
    BOOL Purge(DWORD flags);

private:
    // Hands out up to `size` of the bytes taken from the device earlier.
    DWORD TakePending(unsigned char* bytes, DWORD size);

    int fd_;
    std::mutex lock_;
    // The DCB fields termios has no place for, as last set.
    DCB extra_{};
    COMMTIMEOUTS timeouts_{};
    // One read at a time, as on a Windows handle opened without overlapped
    // I/O; it guards the receive buffer too. The link reads a response one
    // byte per ReadFile: the buffer takes what is waiting with one read()
    // and hands it out byte by byte, as the Windows driver's input queue
    // does, instead of a poll() and a read() for every byte.
    std::mutex readLock_;
    unsigned char received_[256];
    DWORD receivedStart_ = 0;
    DWORD receivedEnd_ = 0;
};

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

DWORD SerialPort::TakePending(unsigned char* bytes, DWORD size)
{
    DWORD count = receivedEnd_ - receivedStart_;
    if (count > size)
        count = size;
    std::memcpy(bytes, received_ + receivedStart_, count);
    receivedStart_ += count;
    if (receivedStart_ == receivedEnd_)
        receivedStart_ = receivedEnd_ = 0;
    return count;
}

BOOL SerialPort::Read(void* buffer, DWORD size, DWORD* done)
{
    *done = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::lock_guard<std::mutex> reading(readLock_);
    if (size == 0)
        return TRUE;
    *done = TakePending(bytes, size);
    if (*done == size)
        return TRUE;
    COMMTIMEOUTS t;
    {
        std::lock_guard<std::mutex> guard(lock_);
        t = timeouts_;
    }

    // The read time-out rules of Windows: MAXDWORD as interval with zero
    // totals returns at once with what is there; MAXDWORD as interval and
    // multiplier waits up to the constant for the first byte only; otherwise
    // a total bound (multiplier per byte plus constant, none when both are 0)
    // and a bound on the gap between bytes once the first has come.
    bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0;
    bool firstByteOnly = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    std::uint64_t total = firstByteOnly ? t.ReadTotalTimeoutConstant
                                        : std::uint64_t(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant;
    bool totalBounded = immediate || total != 0;
    bool intervalBounded = !firstByteOnly && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;

    if (*done > 0 && firstByteOnly)
        return TRUE;
    auto start = Clock::now();
    auto totalDeadline = start + std::chrono::milliseconds(immediate ? 0 : total);
    // Bytes that were waiting count as just received.
    Clock::time_point intervalDeadline = start + std::chrono::milliseconds(t.ReadIntervalTimeout);
    for (;;) {
        int wait = MillisecondsUntil(totalBounded, totalDeadline);
        if (*done > 0 && intervalBounded)
            wait = Earliest(wait, MillisecondsUntil(true, intervalDeadline));
        pollfd entry{fd_, POLLIN, 0};
        int ready = poll(&entry, 1, wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Fail(DeviceError(errno));
        }
        if (ready == 0)
            return TRUE;  // time-out: what came so far, possibly nothing
        if (entry.revents & POLLNVAL)
            return Fail(ERROR_INVALID_HANDLE);
        if (!(entry.revents & POLLIN))
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        // A request as large as the buffer is read in place; a smaller one
        // through the buffer, whatever is waiting.
        const DWORD wanted = size - *done;
        const bool direct = wanted >= sizeof received_;
        ssize_t got = direct ? read(fd_, bytes + *done, wanted) : read(fd_, received_, sizeof received_);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return Fail(DeviceError(errno));
        }
        if (got == 0)
            return Fail(ERROR_DEVICE_NOT_CONNECTED);  // a tty reads end of file only once hung up
        if (direct) {
            *done += static_cast<DWORD>(got);
        } else {
            receivedEnd_ = static_cast<DWORD>(got);
            *done += TakePending(bytes + *done, wanted);
        }
        if (*done == size || firstByteOnly)
            return TRUE;
        intervalDeadline = Clock::now() + std::chrono::milliseconds(t.ReadIntervalTimeout);
    }
}

BOOL SerialPort::Write(const void* buffer, DWORD size, DWORD* done)
{
    *done = 0;
    COMMTIMEOUTS t;
    {
        std::lock_guard<std::mutex> guard(lock_);
        t = timeouts_;
    }
    std::uint64_t total = std::uint64_t(t.WriteTotalTimeoutMultiplier) * size + t.WriteTotalTimeoutConstant;
    auto deadline = Clock::now() + std::chrono::milliseconds(total);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (*done < size) {
        ssize_t put = write(fd_, bytes + *done, size - *done);
        if (put > 0) {
            *done += static_cast<DWORD>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return Fail(DeviceError(errno));
        pollfd entry{fd_, POLLOUT, 0};
        int ready = poll(&entry, 1, MillisecondsUntil(total != 0, deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Fail(DeviceError(errno));
        }
        // As on Windows, a write time-out is no failure: the call succeeds
        // with fewer bytes written than asked.
        if (ready == 0)
            return TRUE;
        if (entry.revents & POLLNVAL)
            return Fail(ERROR_INVALID_HANDLE);
        if (!(entry.revents & POLLOUT))
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    return TRUE;
}

BOOL SerialPort::GetState(DCB& dcb)
{
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0)
        return Fail(DeviceError(errno));
    std::lock_guard<std::mutex> guard(lock_);
    dcb = extra_;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudOf(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (!(tio.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR)
        dcb.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    // A UART sends one and a half stop bits where two are asked with five data bits.
    if (tio.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb.StopBits = ONESTOPBIT;
    // fParity comes back as set: termios has no place for it.
    dcb.fBinary = 1;
    bool hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = hardwareFlow ? 1 : 0;
    if (hardwareFlow)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return TRUE;
}

BOOL SerialPort::SetState(const DCB& dcb)
{
    speed_t speed;
    if (!SpeedOf(dcb.BaudRate, speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS)
        return Fail(ERROR_INVALID_PARAMETER);
    // One and a half stop bits exist only with five data bits, two only with more.
    if ((dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) || (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5))
        return Fail(ERROR_INVALID_PARAMETER);
    // Handshakes and character handling that Linux has no counterpart for.
    if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
        dcb.fRtsControl == RTS_CONTROL_TOGGLE || dcb.fErrorChar || dcb.fNull || dcb.fAbortOnError)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return Fail(ERROR_INVALID_PARAMETER);

    termios tio{};
    if (tcgetattr(fd_, &tio) != 0)
        return Fail(DeviceError(errno));
    cfmakeraw(&tio);
    tio.c_cflag &= ~(FrameFlags | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= Sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio.c_cflag |= PARENB; break;
    case MARKPARITY: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.StopBits != ONESTOPBIT)
        tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    // Windows hands on a byte that failed its parity check (only fErrorChar
    // would replace it); Linux's INPCK would read it as 0. The checksum
    // tells a spoilt frame either way.
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0)
        return Fail(errno == EINVAL ? ERROR_INVALID_PARAMETER : DeviceError(errno));
    // tcsetattr succeeds when any part was taken: a driver that cannot do
    // the speed or frame keeps its own, which Windows reports as refused.
    termios check{};
    if (tcgetattr(fd_, &check) != 0)
        return Fail(DeviceError(errno));
    if (cfgetospeed(&check) != speed || (check.c_cflag & FrameFlags) != (tio.c_cflag & FrameFlags))
        return Fail(ERROR_INVALID_PARAMETER);

    // DTR and RTS through the modem lines where there are any: a
    // pseudo-terminal has none and refuses the request, which is fine.
    int on = 0, off = 0;
    (dcb.fDtrControl == DTR_CONTROL_ENABLE ? on : off) |= TIOCM_DTR;
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
        (dcb.fRtsControl == RTS_CONTROL_ENABLE ? on : off) |= TIOCM_RTS;
    if (on)
        ioctl(fd_, TIOCMBIS, &on);
    if (off)
        ioctl(fd_, TIOCMBIC, &off);

    std::lock_guard<std::mutex> guard(lock_);
    extra_ = dcb;
    return TRUE;
}

BOOL SerialPort::GetTimeouts(COMMTIMEOUTS& timeouts)
{
    std::lock_guard<std::mutex> guard(lock_);
    timeouts = timeouts_;
    return TRUE;
}

BOOL SerialPort::SetTimeouts(const COMMTIMEOUTS& timeouts)
{
    // Windows refuses the one combination that would make the first-byte
    // rule wait for ever.
    if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts.ReadTotalTimeoutConstant == MAXDWORD)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(lock_);
    timeouts_ = timeouts;
    return TRUE;
}

// The abort flags end no pending operation here: reads and writes are
// synchronous, and a handle serves one at a time.
BOOL SerialPort::Purge(DWORD flags)
{
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_RXCLEAR) {
        std::lock_guard<std::mutex> reading(readLock_);
        receivedStart_ = receivedEnd_ = 0;
        if (tcflush(fd_, TCIFLUSH) != 0)
            return Fail(DeviceError(errno));
    }
    if ((flags & PURGE_TXCLEAR) && tcflush(fd_, TCOFLUSH) != 0)
        return Fail(DeviceError(errno));
    return TRUE;
}

std::shared_ptr<SerialPort> LookupSerialPort(HANDLE file)
{
    auto object = LookupKernelObject(file);
    if (!object)
        return nullptr;
    auto port = std::dynamic_pointer_cast<SerialPort>(object);
    if (!port)
        SetLastError(ERROR_INVALID_HANDLE);
    return port;
}

}  // namespace

std::shared_ptr<KernelObject> OpenSerialPort(const std::string& devicePath, DWORD* error)
{
    int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        // A device node whose hardware is missing (a /dev/ttyS without a
        // UART) is, to Windows, a port that does not exist.
        case ENOENT:
        case ENOTDIR:
        case EIO:
        case ENXIO:
        case ENODEV: *error = ERROR_FILE_NOT_FOUND; break;
        case EBUSY: *error = ERROR_ACCESS_DENIED; break;  // another holder set TIOCEXCL
        default: *error = WinErrorFromErrno(errno); break;
        }
        return nullptr;
    }
    if (!isatty(fd)) {
        close(fd);
        errno = ENOTTY;
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // Share mode 0 across processes: the lock belongs to this open file, so
    // a second open in the same process is refused as well.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int lockError = errno;
        close(fd);
        errno = lockError;
        *error = lockError == EWOULDBLOCK ? ERROR_ACCESS_DENIED : WinErrorFromErrno(lockError);
        return nullptr;
    }
    // Keeps out programs that do not take the lock (only root gets past it).
    ioctl(fd, TIOCEXCL);
    // Windows never edits serial bytes: raw from the start, whatever the
    // line discipline was left in.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &tio);
    }
    return std::make_shared<SerialPort>(fd);
}

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb)
{
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    auto port = LookupSerialPort(file);
    return port ? port->GetState(*dcb) : FALSE;
}

BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb)
{
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    auto port = LookupSerialPort(file);
    return port ? port->SetState(*dcb) : FALSE;
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    if (timeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    auto port = LookupSerialPort(file);
    return port ? port->GetTimeouts(*timeouts) : FALSE;
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    if (timeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    auto port = LookupSerialPort(file);
    return port ? port->SetTimeouts(*timeouts) : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE file, DWORD flags)
{
    auto port = LookupSerialPort(file);
    return port ? port->Purge(flags) : FALSE;
}
