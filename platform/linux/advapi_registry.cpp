// The registry functions over the .reg file named by KPL_REGISTRY. The file
// is the truth: it is read again whenever it changed, and a change reaches
// memory only once the file holding it is in place.
#include "platform/linux/kernel_object.h"
#include "platform/linux/reg_file.h"
#include "platform/linux/windows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using kplreg::FoldName;
using kplreg::Key;
using kplreg::Tree;

struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long seconds = 0;
    long nanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const struct stat& st)
{
    return {true, st.st_dev, st.st_ino, st.st_size, static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
}

struct OpenKey {
    std::vector<std::string> path;  // folded names from the hive down
    std::uint64_t id = 0;
    REGSAM access = 0;
};

struct Registry {
    void Number(Key& key)
    {
        key.id = nextId++;
        for (auto& entry : key.subkeys)
            Number(*entry.second);
    }

    std::mutex lock;
    Tree tree;
    bool loaded = false;
    bool sourceSet = false;
    std::string sourcePath;
    FileIdentity identity;
    // Of the last reading: ERROR_BADDB while the file is malformed.
    DWORD status = ERROR_SUCCESS;
    std::unordered_map<ULONG_PTR, OpenKey> handles;
    // Clear of the kernel handles' numbers, and never reused, so a stale
    // handle cannot reach another key.
    ULONG_PTR nextHandle = 0x40000000;
    std::uint64_t nextId = 1;
};

Registry& State()
{
    // Never destroyed: threads may still use the registry while the process exits.
    static auto* registry = new Registry();
    return *registry;
}

void Report(const std::string& path, std::size_t line, const std::string& what)
{
    if (line)
        std::fprintf(stderr, "KPL_REGISTRY %s:%zu: %s\n", path.c_str(), line, what.c_str());
    else
        std::fprintf(stderr, "KPL_REGISTRY %s: %s\n", path.c_str(), what.c_str());
}

// Keys still in the file keep their identity, so open handles stay good;
// volatile keys were never in the file and live on beside it.
void Carry(Registry& r, Key& old, Key& fresh)
{
    fresh.id = old.id;
    for (auto& [folded, child] : fresh.subkeys) {
        auto match = old.subkeys.find(folded);
        if (match != old.subkeys.end() && !match->second->isVolatile)
            Carry(r, *match->second, *child);
        else
            r.Number(*child);
    }
    for (auto& [folded, child] : old.subkeys)
        if (child->isVolatile && !fresh.subkeys.count(folded))
            fresh.subkeys.emplace(folded, std::move(child));
}

bool ReadAll(int fd, std::string& text)
{
    // On the heap: service threads may run on small stacks.
    std::vector<char> buffer(65536);
    for (;;) {
        ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

// Sets r.status; faults are told once, as each change of the file is read once.
void Load(Registry& r, bool set, const std::string& path, const FileIdentity& seen)
{
    // Another file is another registry: its volatile keys and handles end.
    if (!(r.loaded && set == r.sourceSet && path == r.sourcePath)) {
        r.tree = Tree();
        r.Number(r.tree.root);
    }
    r.loaded = true;
    r.sourceSet = set;
    r.sourcePath = path;
    r.identity = seen;
    Tree fresh;
    if (set) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT) {
            r.status = WinErrorFromErrno(errno);
            Report(path, 0, std::string("cannot read: ") + std::strerror(errno));
            return;
        }
        if (fd >= 0) {
            struct stat st;
            std::string text;
            bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
            if (regular)
                r.identity = IdentityOf(st);
            bool read = regular && ReadAll(fd, text);
            int error = errno;
            close(fd);
            if (!regular) {
                r.status = ERROR_BADDB;
                Report(path, 0, "not a regular file");
                return;
            }
            if (!read) {
                r.status = WinErrorFromErrno(error);
                Report(path, 0, std::string("cannot read: ") + std::strerror(error));
                return;
            }
            kplreg::ParseError fault;
            if (!kplreg::ParseRegText(text, fresh, fault)) {
                r.status = ERROR_BADDB;
                Report(path, fault.line, fault.message);
                return;
            }
        }
    }
    Carry(r, r.tree.root, fresh.root);
    r.tree = std::move(fresh);
    r.status = ERROR_SUCCESS;
}

// A stat per call keeps reads cheap; the file is parsed only when it changed.
DWORD Refresh(Registry& r)
{
    const char* variable = std::getenv("KPL_REGISTRY");
    bool set = variable && *variable;
    std::string path = set ? variable : "";
    FileIdentity now;
    struct stat st;
    if (set && stat(path.c_str(), &st) == 0)
        now = IdentityOf(st);
    if (!r.loaded || set != r.sourceSet || path != r.sourcePath || now != r.identity)
        Load(r, set, path, now);
    return r.status;
}

bool WriteFully(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// Temporary file beside the old one, flushed, renamed over it: a crash leaves
// either file whole.
DWORD WriteAtomically(const std::string& path, const std::string& text, FileIdentity& written)
{
    // Through a symbolic link to its target, so the link stays a link.
    std::string target = path;
    if (char* real = realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    std::size_t slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string temporary = directory + "/." + target.substr(slash + 1) + ".tmp-XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return WinErrorFromErrno(errno);

    // Best effort: the new file keeps the old one's mode and owner.
    struct stat old;
    bool hadOld = stat(target.c_str(), &old) == 0;
    int kept = fchmod(fd, hadOld ? old.st_mode & 07777 : 0644);
    if (hadOld && geteuid() == 0)
        kept |= fchown(fd, old.st_uid, old.st_gid);
    (void)kept;
    struct stat st;
    bool ok = WriteFully(fd, text) && fsync(fd) == 0 && fstat(fd, &st) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temporary.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        return WinErrorFromErrno(error);
    }
    int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    written = IdentityOf(st);
    return ERROR_SUCCESS;
}

const char* PredefinedHive(HKEY key)
{
    if (key == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (key == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (key == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_USERS)
        return "HKEY_USERS";
    return nullptr;
}

REGSAM Granted(REGSAM desired)
{
    REGSAM granted = desired;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= KEY_ALL_ACCESS;
    if (desired & GENERIC_READ)
        granted |= KEY_READ;
    if (desired & GENERIC_WRITE)
        granted |= KEY_WRITE;
    return granted;
}

Key* Walk(Key& root, const std::vector<std::string>& path)
{
    Key* key = &root;
    for (const auto& part : path)
        if (!(key = key->Find(part)))
            return nullptr;
    return key;
}

struct Target {
    Key* key = nullptr;
    std::vector<std::string> path;
    REGSAM access = 0;
};

DWORD Resolve(Registry& r, HKEY handle, Target& target)
{
    if (const char* hive = PredefinedHive(handle)) {
        target.path = {FoldName(hive)};
        target.key = r.tree.root.Find(hive);
        target.access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    auto found = r.handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == r.handles.end())
        return ERROR_INVALID_HANDLE;
    Key* key = Walk(r.tree.root, found->second.path);
    if (!key || key->id != found->second.id)
        return ERROR_KEY_DELETED;
    target.key = key;
    target.path = found->second.path;
    target.access = found->second.access;
    return ERROR_SUCCESS;
}

// Refreshes, then finds the handle's key.
DWORD Begin(Registry& r, HKEY handle, Target& target)
{
    if (DWORD status = Refresh(r))
        return status;
    return Resolve(r, handle, target);
}

HKEY NewHandle(Registry& r, std::vector<std::string> path, std::uint64_t id, REGSAM desired)
{
    ULONG_PTR value = r.nextHandle;
    r.nextHandle += 4;
    r.handles.emplace(value, OpenKey{std::move(path), id, Granted(desired)});
    return reinterpret_cast<HKEY>(value);
}

std::vector<std::string_view> SplitPath(const char* subKey)
{
    std::vector<std::string_view> parts;
    std::string_view rest = subKey ? subKey : "";
    while (!rest.empty()) {
        std::size_t slash = rest.find('\\');
        if (slash != 0)
            parts.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return parts;
}

// Applies a change to the key at path. A change the file must hold is made
// on a copy, which replaces the registry once the file is written.
template <class Change>
DWORD Apply(Registry& r, const std::vector<std::string>& path, bool inFile, Change change)
{
    if (!inFile || !r.sourceSet) {
        change(*Walk(r.tree.root, path));
        return ERROR_SUCCESS;
    }
    Tree next = r.tree.Clone();
    change(*Walk(next.root, path));
    FileIdentity written;
    if (DWORD error = WriteAtomically(r.sourcePath, kplreg::WriteRegText(next), written))
        return error;
    r.tree = std::move(next);
    r.identity = written;
    return ERROR_SUCCESS;
}

// Walks an existing subkey path below the target's key; false at the first
// missing part.
bool Descend(Target& target, LPCSTR subKey)
{
    for (std::string_view part : SplitPath(subKey)) {
        if (!(target.key = target.key->Find(part)))
            return false;
        target.path.push_back(FoldName(part));
    }
    return true;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Target base;
    if (DWORD status = Begin(r, key, base))
        return static_cast<LSTATUS>(status);
    if (!Descend(base, subKey))
        return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(r, std::move(base.path), base.key->id, desired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM desired,
                               const LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Target base;
    if (DWORD status = Begin(r, key, base))
        return static_cast<LSTATUS>(status);
    const bool isVolatile = options & REG_OPTION_VOLATILE;
    std::vector<std::string_view> parts = SplitPath(subKey);
    Key* existing = base.key;
    std::size_t have = 0;
    for (; have < parts.size(); ++have) {
        Key* next = existing->Find(parts[have]);
        if (!next)
            break;
        existing = next;
        base.path.push_back(FoldName(parts[have]));
    }
    if (have < parts.size()) {
        if (!(base.access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        if (existing->isVolatile && !isVolatile)
            return ERROR_CHILD_MUST_BE_VOLATILE;
        if (base.path.size() - 1 + parts.size() - have > kplreg::MaxKeyDepth)
            return ERROR_INVALID_PARAMETER;
        for (std::size_t i = have; i < parts.size(); ++i)
            // A line break could not be written to the file.
            if (parts[i].size() > kplreg::MaxKeyNameLength || parts[i].find('\n') != std::string_view::npos)
                return ERROR_INVALID_PARAMETER;
        Key* made = nullptr;
        DWORD status = Apply(r, base.path, !isVolatile, [&](Key& parent) {
            made = &parent;
            for (std::size_t i = have; i < parts.size(); ++i) {
                made = &made->Add(parts[i]);
                made->isVolatile = isVolatile;
                made->id = r.nextId++;
            }
        });
        if (status)
            return static_cast<LSTATUS>(status);
        for (std::size_t i = have; i < parts.size(); ++i)
            base.path.push_back(FoldName(parts[i]));
        *result = NewHandle(r, std::move(base.path), made->id, desired);
        if (disposition)
            *disposition = REG_CREATED_NEW_KEY;
        return ERROR_SUCCESS;
    }
    *result = NewHandle(r, std::move(base.path), existing->id, desired);
    if (disposition)
        *disposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize)
{
    if (reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Target target;
    if (DWORD status = Begin(r, key, target))
        return static_cast<LSTATUS>(status);
    if (!(target.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    const kplreg::Value* value = target.key->FindValue(valueName ? valueName : "");
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    const DWORD size = static_cast<DWORD>(value->data.size());
    if (type)
        *type = value->type;
    if (data) {
        if (*dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (size)
            std::memcpy(data, value->data.data(), size);
    }
    if (dataSize)
        *dataSize = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize)
{
    std::string_view name = valueName ? valueName : "";
    if ((!data && dataSize) || name.size() > kplreg::MaxValueNameLength ||
        name.find('\n') != std::string_view::npos)
        return ERROR_INVALID_PARAMETER;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Target target;
    if (DWORD status = Begin(r, key, target))
        return static_cast<LSTATUS>(status);
    if (!(target.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::vector<BYTE> bytes(data, data + dataSize);
    return static_cast<LSTATUS>(Apply(r, target.path, !target.key->isVolatile,
                                      [&](Key& k) { k.SetValue(name, type, std::move(bytes)); }));
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName)
{
    std::string_view name = valueName ? valueName : "";
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Target target;
    if (DWORD status = Begin(r, key, target))
        return static_cast<LSTATUS>(status);
    if (!(target.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (!target.key->FindValue(name))
        return ERROR_FILE_NOT_FOUND;
    return static_cast<LSTATUS>(
        Apply(r, target.path, !target.key->isVolatile, [&](Key& k) { k.values.erase(FoldName(name)); }));
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Target target;
    if (DWORD status = Begin(r, key, target))
        return static_cast<LSTATUS>(status);
    if (!Descend(target, subKey))
        return ERROR_FILE_NOT_FOUND;
    Key* victim = target.key;
    // An empty subKey names the handle's own key; a hive cannot go.
    if (target.path.size() < 2 || !victim->subkeys.empty())
        return ERROR_ACCESS_DENIED;
    std::string name = target.path.back();
    target.path.pop_back();
    return static_cast<LSTATUS>(
        Apply(r, target.path, !victim->isVolatile, [&](Key& parent) { parent.subkeys.erase(name); }));
}

LSTATUS WINAPI RegCloseKey(HKEY key)
{
    if (PredefinedHive(key))
        return ERROR_SUCCESS;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.handles.erase(reinterpret_cast<ULONG_PTR>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
