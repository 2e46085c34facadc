// The registry functions over .reg files. The administrator's file, named by
// KPL_REGISTRY, holds the keys Windows keeps on disk; the volatile keys
// (HKEY_LOCAL_MACHINE\HARDWARE and every key made volatile) live in a file
// under RuntimeDir, as Windows keeps them out of the stored hives. The files
// are the truth: they are read again whenever they changed, and a change is
// made under the file's lock on what the file holds then, rewriting only the
// lines it touches. Without KPL_REGISTRY both live in memory only.
#include "platform/linux/file_replace.h"
#include "platform/linux/host_notice.h"
#include "platform/linux/host_settings.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/reg_file.h"
#include "platform/linux/windows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
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
    timespec modified{};
    timespec changed{};
    bool operator==(const FileIdentity& o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

FileIdentity IdentityOf(const struct stat& st)
{
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

FileIdentity IdentityAt(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? IdentityOf(st) : FileIdentity{};
}

// One of the two files: as read, and the tree it holds with its lines.
struct Source {
    std::string path;  // empty: memory only
    FileIdentity identity;
    kplreg::Document document;
    Tree tree;
};

struct OpenKey {
    std::vector<std::string> path;  // folded names from the hive down
    std::uint64_t id = 0;
    REGSAM access = 0;
};

struct Registry {
    std::mutex lock;
    bool loaded = false;
    bool fileSet = false;
    Source stored;   // the administrator's file
    Source runtime;  // the volatile keys
    Tree tree;       // both, as callers see them
    HostSettings settings;
    std::uint64_t version = 0;
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
        HostNotice("KPL_REGISTRY %s:%zu: %s", path.c_str(), line, what.c_str());
    else
        HostNotice("KPL_REGISTRY %s: %s", path.c_str(), what.c_str());
}

bool IsVolatileHive(const std::vector<std::string>& path)
{
    return path.size() >= 2 && path[0] == "hkey_local_machine" && path[1] == "hardware";
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

// Reads and parses a source's file; a missing file is an empty registry.
// Anything but a regular file is refused at once (a FIFO would block).
DWORD ReadSource(Source& source, std::size_t& faultLine, std::string& fault)
{
    source.document = kplreg::Document{};
    source.tree = Tree();
    source.identity = FileIdentity{};
    faultLine = 0;
    if (source.path.empty())
        return ERROR_SUCCESS;
    int fd = open(source.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ERROR_SUCCESS;
        fault = std::string("cannot read: ") + std::strerror(errno);
        return WinErrorFromErrno(errno);
    }
    struct stat st;
    std::string text;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool read = regular && ReadAll(fd, text);
    int error = errno;
    close(fd);
    if (!regular) {
        fault = "not a regular file";
        return ERROR_BADDB;
    }
    source.identity = IdentityOf(st);
    if (!read) {
        fault = std::string("cannot read: ") + std::strerror(error);
        return WinErrorFromErrno(error);
    }
    kplreg::ParseError parseError;
    if (!kplreg::ParseRegText(text, source.document, source.tree, parseError)) {
        faultLine = parseError.line;
        fault = parseError.message;
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

void Number(Registry& r, Key& key)
{
    key.id = r.nextId++;
    for (auto& entry : key.subkeys)
        Number(r, *entry.second);
}

void MarkVolatile(Key& key)
{
    key.isVolatile = true;
    for (auto& entry : key.subkeys)
        MarkVolatile(*entry.second);
}

// The volatile keys over the stored ones: a key the stored file lacks is volatile.
void Graft(Key& into, const Key& from)
{
    for (const auto& [folded, child] : from.subkeys) {
        auto match = into.subkeys.find(folded);
        if (match != into.subkeys.end()) {
            Graft(*match->second, *child);
        } else {
            auto copy = child->Clone();
            MarkVolatile(*copy);
            into.subkeys.emplace(folded, std::move(copy));
        }
    }
}

// Keys still there keep their identity, so open handles stay good.
void Carry(Registry& r, const Key& old, Key& fresh)
{
    fresh.id = old.id;
    for (auto& [folded, child] : fresh.subkeys) {
        auto match = old.subkeys.find(folded);
        if (match != old.subkeys.end() && match->second->isVolatile == child->isVolatile)
            Carry(r, *match->second, *child);
        else
            Number(r, *child);
    }
}

std::size_t FirstHeader(const Key& key)
{
    std::size_t first = key.headers.empty() ? SIZE_MAX : key.headers.front();
    for (const auto& entry : key.subkeys)
        first = std::min(first, FirstHeader(*entry.second));
    return first;
}

void Merge(Registry& r)
{
    Tree merged = r.stored.tree.Clone();
    Key& machine = *merged.root.Find("HKEY_LOCAL_MACHINE");
    // Windows builds HARDWARE anew at every start: the stored file has no say in it.
    machine.subkeys.erase("hardware");
    machine.Add("HARDWARE").isVolatile = true;
    Graft(merged.root, r.runtime.tree.root);
    Carry(r, r.tree.root, merged.root);
    r.tree = std::move(merged);
    ++r.version;
}

void LoadRuntime(Registry& r)
{
    std::size_t line = 0;
    std::string fault;
    // The layer's own file: a fault there costs the volatile keys, not the start.
    if (ReadSource(r.runtime, line, fault) != ERROR_SUCCESS) {
        Report(r.runtime.path, line, fault + "; the volatile keys start empty");
        r.runtime.document = kplreg::Document{};
        r.runtime.tree = Tree();
    }
}

// Sets r.status. What is wrong is told once for each change of the file
// (`tell`), not again when a writer reads the same file under its lock.
void LoadStored(Registry& r, bool tell = true)
{
    std::size_t line = 0;
    std::string fault;
    r.status = ReadSource(r.stored, line, fault);
    if (r.status != ERROR_SUCCESS) {
        if (tell)
            Report(r.stored.path, line, fault);
        return;
    }
    r.settings = ReadHostSettings(r.stored.tree);
    const Key* hardware = r.stored.tree.root.Find("HKEY_LOCAL_MACHINE")->Find("HARDWARE");
    if (std::size_t first = hardware ? FirstHeader(*hardware) : SIZE_MAX; tell && first != SIZE_MAX)
        Report(r.stored.path, first + 1,
               "keys under HKEY_LOCAL_MACHINE\\HARDWARE are volatile: left out here, kept in " +
                   VolatileRegistryPath(r.settings));
    std::string runtimePath = r.fileSet ? VolatileRegistryPath(r.settings) : "";
    if (runtimePath != r.runtime.path || !(IdentityAt(runtimePath) == r.runtime.identity)) {
        r.runtime.path = runtimePath;
        LoadRuntime(r);
    }
    Merge(r);
}

// A stat per file and call keeps reads cheap; a file is parsed only when it
// changed, or always when `force` (a writer holding the lock must not miss a
// change that left size and times as they were).
DWORD Refresh(Registry& r, bool force = false)
{
    const char* variable = std::getenv("KPL_REGISTRY");
    bool set = variable && *variable;
    if (!r.loaded || set != r.fileSet || (set && r.stored.path != variable)) {
        // Another file is another registry: its volatile keys and handles end.
        r.loaded = true;
        r.fileSet = set;
        r.stored = Source{};
        r.stored.path = set ? variable : "";
        r.runtime = Source{};
        r.tree = Tree();
        Number(r, r.tree.root);
        r.settings = HostSettings{};
        LoadStored(r);
        return r.status;
    }
    if (!set)
        return r.status;
    if (bool changed = !(IdentityAt(r.stored.path) == r.stored.identity); changed || force) {
        LoadStored(r, changed);
    } else if (r.status == ERROR_SUCCESS && !(IdentityAt(r.runtime.path) == r.runtime.identity)) {
        LoadRuntime(r);
        Merge(r);
    }
    return r.status;
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

Key* Walk(const Key& root, const std::vector<std::string>& path)
{
    Key* key = const_cast<Key*>(&root);
    for (const auto& part : path)
        if (!(key = key->Find(part)))
            return nullptr;
    return key;
}

// The key's full name as the file is to show it.
std::string Spelled(const Tree& tree, const std::vector<std::string>& path)
{
    std::string text;
    const Key* key = &tree.root;
    for (const auto& part : path) {
        key = key->Find(part);
        text += (text.empty() ? "" : "\\") + key->name;
    }
    return text;
}

struct Target {
    Key* key = nullptr;
    std::vector<std::string> path;
    REGSAM access = 0;
};

// `needed`: the access the handle must have been opened with.
DWORD Resolve(Registry& r, HKEY handle, Target& target, REGSAM needed = 0)
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
    return (target.access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
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

// One change: which file holds it, and the edit of that file's document
// (given with the tree parsed from it, whose keys know their lines).
struct Change {
    bool isVolatile = false;
    std::function<void(kplreg::Document&, const Tree&)> edit;
};

// Plans the change on the registry as it is now (resolving handles, checking
// rights); ERROR_SUCCESS or the reason to refuse.
using Plan = std::function<DWORD(Change&)>;

DWORD Commit(Registry& r, const Change& change)
{
    if (!change.edit)
        return ERROR_SUCCESS;
    Source& source = change.isVolatile ? r.runtime : r.stored;
    kplreg::Document document = source.document;
    change.edit(document, source.tree);
    const std::string bytes = document.Bytes();
    struct stat written;
    if (!source.path.empty()) {
        if (DWORD error = ReplaceFileContents(source.path, bytes, 0644, !change.isVolatile, &written))
            return error;
    }
    Source fresh;
    fresh.path = source.path;
    kplreg::ParseError fault;
    if (!kplreg::ParseRegText(bytes, fresh.document, fresh.tree, fault))
        return ERROR_BADDB;  // an edit that does not read back would be a fault of this layer
    fresh.identity = source.path.empty() ? FileIdentity{} : IdentityOf(written);
    source = std::move(fresh);
    if (change.isVolatile) {
        Merge(r);
        return ERROR_SUCCESS;
    }
    r.settings = ReadHostSettings(r.stored.tree);
    std::string runtimePath = r.fileSet ? VolatileRegistryPath(r.settings) : "";
    if (runtimePath != r.runtime.path) {
        r.runtime.path = runtimePath;
        LoadRuntime(r);
    }
    Merge(r);
    return ERROR_SUCCESS;
}

// A write is made on the file as it is at that moment: under the file's lock
// the registry is read again and the change planned anew, so that two
// programs writing at once never lose each other's values.
DWORD Modify(Registry& r, const Plan& plan)
{
    Change change;
    if (DWORD status = plan(change))
        return status;
    if (!change.edit)
        return ERROR_SUCCESS;
    if (!r.fileSet)
        return Commit(r, change);
    FileLock lock;
    if (DWORD error = lock.Acquire(change.isVolatile ? r.runtime.path : r.stored.path))
        return error;
    if (DWORD status = Refresh(r, true))
        return status;
    Change current;
    if (DWORD status = plan(current))
        return status;
    if (current.isVolatile != change.isVolatile)
        return ERROR_KEY_DELETED;
    return Commit(r, current);
}

Key* KeyIn(const Tree& tree, const std::vector<std::string>& path)
{
    return Walk(tree.root, path);
}

}  // namespace

void CurrentHostSettings(HostSettings& settings)
{
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Refresh(r);
    settings = r.settings;
}

std::uint64_t RegistryVersion()
{
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Refresh(r);
    return r.version;
}

DWORD RegistryStatus()
{
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    return Refresh(r);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    Target base;
    if (DWORD status = Refresh(r))
        return static_cast<LSTATUS>(status);
    if (DWORD status = Resolve(r, key, base))
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
    if (DWORD status = Refresh(r))
        return static_cast<LSTATUS>(status);
    const std::vector<std::string_view> parts = SplitPath(subKey);
    std::vector<std::string> path;
    bool created = false;
    DWORD status = Modify(r, [&](Change& change) -> DWORD {
        Target base;
        if (DWORD resolved = Resolve(r, key, base))
            return resolved;
        Key* existing = base.key;
        std::size_t have = 0;
        for (; have < parts.size(); ++have) {
            Key* next = existing->Find(parts[have]);
            if (!next)
                break;
            existing = next;
            base.path.push_back(FoldName(parts[have]));
        }
        path = base.path;
        created = have < parts.size();
        if (!created)
            return ERROR_SUCCESS;  // nothing to write: an empty edit
        if (!(base.access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        // HARDWARE is a volatile hive: as on Windows, a stored key cannot be made there.
        const bool isVolatile = options & REG_OPTION_VOLATILE;
        if ((existing->isVolatile || IsVolatileHive(base.path)) && !isVolatile)
            return ERROR_CHILD_MUST_BE_VOLATILE;
        if (base.path.size() - 1 + parts.size() - have > kplreg::MaxKeyDepth)
            return ERROR_INVALID_PARAMETER;
        std::string spelled = Spelled(r.tree, base.path);
        for (std::size_t i = have; i < parts.size(); ++i) {
            // A line break could not be written to the file.
            if (parts[i].size() > kplreg::MaxKeyNameLength || parts[i].find('\n') != std::string_view::npos)
                return ERROR_INVALID_PARAMETER;
            spelled += "\\" + std::string(parts[i]);
            path.push_back(FoldName(parts[i]));
        }
        change.isVolatile = isVolatile;
        change.edit = [spelled](kplreg::Document& document, const Tree&) { kplreg::EditAddKey(document, spelled); };
        return ERROR_SUCCESS;
    });
    if (status)
        return static_cast<LSTATUS>(status);
    Key* made = Walk(r.tree.root, path);
    if (!made)
        return ERROR_KEY_DELETED;
    *result = NewHandle(r, path, made->id, desired);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
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
    if (DWORD status = Refresh(r))
        return static_cast<LSTATUS>(status);
    if (DWORD status = Resolve(r, key, target, KEY_QUERY_VALUE))
        return static_cast<LSTATUS>(status);
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
    if (DWORD status = Refresh(r))
        return static_cast<LSTATUS>(status);
    kplreg::Value value;
    value.type = type;
    value.data.assign(data, data + dataSize);
    return static_cast<LSTATUS>(Modify(r, [&](Change& change) -> DWORD {
        Target target;
        if (DWORD resolved = Resolve(r, key, target, KEY_SET_VALUE))
            return resolved;
        // An existing value keeps its spelling.
        const kplreg::Value* old = target.key->FindValue(name);
        value.name = old ? old->name : std::string(name);
        change.isVolatile = target.key->isVolatile;
        change.edit = [&value, path = target.path, spelled = Spelled(r.tree, target.path)](
                          kplreg::Document& document, const Tree& tree) {
            kplreg::EditSetValue(document, KeyIn(tree, path), spelled, value);
        };
        return ERROR_SUCCESS;
    }));
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    if (DWORD status = Refresh(r))
        return static_cast<LSTATUS>(status);
    return static_cast<LSTATUS>(Modify(r, [&](Change& change) -> DWORD {
        Target target;
        if (DWORD resolved = Resolve(r, key, target))
            return resolved;
        if (!Descend(target, subKey))
            return ERROR_FILE_NOT_FOUND;
        // An empty subKey names the handle's own key; a hive cannot go, nor
        // the volatile hive's root.
        if (target.path.size() < 2 || !target.key->subkeys.empty() ||
            (IsVolatileHive(target.path) && target.path.size() == 2))
            return ERROR_ACCESS_DENIED;
        change.isVolatile = target.key->isVolatile;
        // A parent that only its subkeys' sections make exist in this file
        // must keep existing when the last of them goes.
        std::vector<std::string> parentPath(target.path.begin(), target.path.end() - 1);
        const bool parentHere = parentPath.size() >= 2 && KeyIn(r.tree, parentPath)->isVolatile == change.isVolatile;
        change.edit = [path = target.path, parentPath, parentHere](kplreg::Document& document, const Tree& tree) {
            const Key* held = KeyIn(tree, path);
            if (!held)
                return;
            kplreg::EditDeleteKey(document, *held);
            const Key* parent = KeyIn(tree, parentPath);
            if (parentHere && parent && parent->headers.empty() && parent->subkeys.size() == 1)
                kplreg::EditAddKey(document, Spelled(tree, parentPath));
        };
        return ERROR_SUCCESS;
    }));
}

LSTATUS WINAPI RegCloseKey(HKEY key)
{
    if (PredefinedHive(key))
        return ERROR_SUCCESS;
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.handles.erase(reinterpret_cast<ULONG_PTR>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
