#include "platform/linux/file_replace.h"

#include "platform/linux/host_notice.h"
#include "platform/linux/kernel_object.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

struct Place {
    std::string directory;
    std::string name;
};

// Through a symbolic link to its target, so that the link stays a link.
Place PlaceOf(const std::string& path)
{
    std::string target = path;
    if (char* real = realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    std::size_t slash = target.rfind('/');
    if (slash == std::string::npos)
        return {".", target};
    return {slash == 0 ? "/" : target.substr(0, slash), target.substr(slash + 1)};
}

std::string TemporaryName(const Place& place, long pid)
{
    return "." + place.name + "." + std::to_string(pid) + ".tmp";
}

bool ProcessGone(long pid)
{
    return pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
}

// What writers killed half-way left beside the target: ours whose process is
// gone, and the names earlier versions used.
bool IsLeftOver(const Place& place, const std::string& entry)
{
    if (entry == place.name + ".tmp")
        return true;
    const std::string dotted = "." + place.name + ".";
    if (entry.rfind(dotted, 0) != 0)
        return false;
    std::string rest = entry.substr(dotted.size());
    if (rest.rfind("tmp-", 0) == 0)
        return true;
    if (rest.size() < 5 || rest.compare(rest.size() - 4, 4, ".tmp") != 0)
        return false;
    rest.resize(rest.size() - 4);
    if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return ProcessGone(std::atol(rest.c_str()));
}

void ClearLeftOvers(const Place& place)
{
    DIR* dir = opendir(place.directory.c_str());
    if (!dir)
        return;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (IsLeftOver(place, name))
            unlinkat(dirfd(dir), name.c_str(), 0);
    }
    closedir(dir);
}

bool WriteFully(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t wrote = write(fd, bytes.data(), bytes.size());
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

void SyncDirectory(const std::string& directory)
{
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Writes the temporary file; its path in `temporary`.
DWORD WriteTemporary(const Place& place, std::string_view bytes, mode_t mode, const struct stat* old, bool durable,
                     std::string& temporary, struct stat* written)
{
    temporary = place.directory + "/" + TemporaryName(place, static_cast<long>(getpid()));
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return WinErrorFromErrno(errno);
    // Best effort: the new file keeps the old one's mode and owner.
    int kept = fchmod(fd, old ? old->st_mode & 07777 : mode);
    if (old && geteuid() == 0)
        kept |= fchown(fd, old->st_uid, old->st_gid);
    (void)kept;
    struct stat st;
    bool ok = WriteFully(fd, bytes) && (!durable || fsync(fd) == 0) && fstat(fd, &st) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        return WinErrorFromErrno(error);
    }
    if (written)
        *written = st;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ReplaceFileContents(const std::string& path, std::string_view bytes, mode_t mode, bool durable,
                          struct stat* written)
{
    Place place = PlaceOf(path);
    std::string target = place.directory + "/" + place.name;
    struct stat old;
    bool hadOld = stat(target.c_str(), &old) == 0;
    std::string temporary;
    if (DWORD error = WriteTemporary(place, bytes, mode, hadOld ? &old : nullptr, durable, temporary, written))
        return error;
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        return WinErrorFromErrno(error);
    }
    if (durable)
        SyncDirectory(place.directory);
    ClearLeftOvers(place);
    return ERROR_SUCCESS;
}

DWORD CreateFileContents(const std::string& path, std::string_view bytes, mode_t mode)
{
    Place place = PlaceOf(path);
    std::string target = place.directory + "/" + place.name;
    std::string temporary;
    if (DWORD error = WriteTemporary(place, bytes, mode, nullptr, true, temporary, nullptr))
        return error;
    // Never replaces a file that appeared meanwhile.
    int linked = link(temporary.c_str(), target.c_str());
    int error = errno;
    unlink(temporary.c_str());
    if (linked != 0)
        return error == EEXIST ? ERROR_FILE_EXISTS : WinErrorFromErrno(error);
    SyncDirectory(place.directory);
    ClearLeftOvers(place);
    return ERROR_SUCCESS;
}

namespace {

// A writer holds the lock for a moment; one that holds it this long is
// stopped or hung, and waiting on would hang every other writer with it.
constexpr long LockPatienceMs = 5000;

// flock's result; EWOULDBLOCK when the patience ran out.
int WaitForLock(int fd)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >= LockPatienceMs) {
            errno = EWOULDBLOCK;
            return -1;
        }
        poll(nullptr, 0, 20);
    }
}

// "process 4711 (kplsim)" from the kernel's list of locks, when it tells.
std::string LockHolder(const struct stat& file)
{
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, device;
        if (fields >> number >> kind >> mode >> access >> pid >> device && kind == "FLOCK" && device == id) {
            std::ifstream comm("/proc/" + pid + "/comm");
            std::string name;
            std::getline(comm, name);
            return "process " + pid + (name.empty() ? "" : " (" + name + ")");
        }
    }
    return "another process";
}

}  // namespace

FileLock::~FileLock()
{
    if (fd_ >= 0)
        close(fd_);
}

DWORD FileLock::Acquire(const std::string& path)
{
    Place place = PlaceOf(path);
    std::string target = place.directory + "/" + place.name;
    for (;;) {
        int fd = open(target.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0)
            return WinErrorFromErrno(errno);
        struct stat held;
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            close(fd);
            return ERROR_BADDB;
        }
        int locked = WaitForLock(fd);
        if (locked != 0 && errno == EWOULDBLOCK) {
            HostNotice("%s: locked by %s for more than %d s; nothing written", target.c_str(),
                       LockHolder(held).c_str(), static_cast<int>(LockPatienceMs / 1000));
            close(fd);
            return ERROR_SHARING_VIOLATION;
        }
        // The lock holds only while the file it is on is still the one in place.
        struct stat current;
        if (locked == 0 && stat(target.c_str(), &current) == 0 && current.st_dev == held.st_dev &&
            current.st_ino == held.st_ino) {
            fd_ = fd;
            return ERROR_SUCCESS;
        }
        int error = errno;
        close(fd);
        if (locked != 0)
            return WinErrorFromErrno(error);
    }
}
