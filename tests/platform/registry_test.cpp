#include "platform/linux/host_config.h"
#include "platform/linux/reg_file.h"
#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<BYTE> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

class Registry : public ::testing::Test {
protected:
    HKEY Create(const char* path, DWORD options = REG_OPTION_NON_VOLATILE, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key,
                                  disposition),
                  ERROR_SUCCESS)
            << path;
        return key;
    }

    static LSTATUS Set(HKEY key, const char* name, DWORD type, const std::vector<BYTE>& data)
    {
        return RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }

    static LSTATUS SetString(HKEY key, const char* name, const std::string& text)
    {
        return Set(key, name, REG_SZ, Bytes(std::string_view(text.c_str(), text.size() + 1)));
    }

    static std::string QueryString(HKEY key, const char* name)
    {
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        return status == ERROR_SUCCESS ? std::string(buffer) : "error " + std::to_string(status);
    }

    // What actually reached the file, read by itself.
    kplreg::Tree FileTree()
    {
        kplreg::Tree tree;
        kplreg::ParseError error;
        EXPECT_TRUE(kplreg::ParseRegText(kpltest::ReadFile(file), tree, error)) << error.line << ": " << error.message;
        return tree;
    }

    std::vector<std::string> DirectoryEntries()
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    kpltest::TempDir dir;
    std::string file = dir.File("registry.reg");
    kpltest::ScopedEnv env{"KPL_REGISTRY", file};
};

TEST_F(Registry, CreatesOpensAndTellsWhichItDid)
{
    kpltest::WriteFile(file, "");  // an empty file is an empty registry
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplTest", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    DWORD disposition = 0;
    HKEY deep = Create("SOFTWARE\\KplTest\\A\\B", REG_OPTION_NON_VOLATILE, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    HKEY again = Create("SOFTWARE\\KplTest\\A\\B", REG_OPTION_NON_VOLATILE, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplTest\\A", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_NE(FileTree().root.Find("HKEY_LOCAL_MACHINE")->Find("software")->Find("kpltest")->Find("a")->Find("b"),
              nullptr);

    // A null or empty subkey opens the same key again, under a handle of its own.
    for (const char* same : {static_cast<const char*>(nullptr), ""}) {
        HKEY reopened = nullptr;
        ASSERT_EQ(RegOpenKeyExA(deep, same, 0, KEY_ALL_ACCESS, &reopened), ERROR_SUCCESS);
        EXPECT_NE(reopened, deep);
        EXPECT_EQ(SetString(reopened, "Via", same ? "empty" : "null"), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(again, "Via"), same ? "empty" : "null");
        EXPECT_EQ(RegCloseKey(reopened), ERROR_SUCCESS);
    }
    for (HKEY open : {deep, again, key})
        EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
}

TEST_F(Registry, NamesIgnoreCaseAndKeepTheirFirstSpelling)
{
    HKEY key = Create("Software\\MixedCase");
    HKEY other = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\mixedCASE", 0, KEY_ALL_ACCESS, &other), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, "Speed", "slow"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(other, "SPEED", "fast"), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, "speed"), "fast");

    const std::string text = kpltest::ReadFile(file);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\MixedCase]\n\"Speed\"=\"fast\""), std::string::npos) << text;
    RegCloseKey(key);
    RegCloseKey(other);
}

TEST_F(Registry, EveryTypeReadsBackFromTheFile)
{
    const struct {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    } values[] = {
        {"Text", REG_SZ, Bytes(std::string_view("C:\\\"x\"\0", 7))},
        {"Unterminated", REG_SZ, Bytes("abc")},
        {"Expand", REG_EXPAND_SZ, Bytes(std::string_view("%TEMP%\\\xfc\0", 9))},
        {"Multi", REG_MULTI_SZ, Bytes(std::string_view("a\0bc\0\0", 6))},
        {"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"Binary", REG_BINARY, std::vector<BYTE>(3000, 0xc3)},
        {"None", REG_NONE, {}},
        {nullptr, REG_SZ, Bytes(std::string_view("default\0", 8))},
    };
    HKEY key = Create("SOFTWARE\\KplTypes");
    for (const auto& value : values)
        ASSERT_EQ(Set(key, value.name, value.type, value.data), ERROR_SUCCESS);
    RegCloseKey(key);

    // Another file with the same text makes the registry read it afresh.
    const std::string copy = dir.File("copy.reg");
    kpltest::WriteFile(copy, kpltest::ReadFile(file));
    kpltest::ScopedEnv other("KPL_REGISTRY", copy);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplTypes", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (const auto& value : values) {
        SCOPED_TRACE(value.name ? value.name : "(default)");
        std::vector<BYTE> data(4000);
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        ASSERT_EQ(RegQueryValueExA(key, value.name, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
        data.resize(size);
        EXPECT_EQ(type, value.type);
        EXPECT_EQ(data, value.data);
    }
    RegCloseKey(key);
}

TEST_F(Registry, QueryReportsSizesLikeWindows)
{
    HKEY key = Create("SOFTWARE\\KplSizes");
    ASSERT_EQ(SetString(key, "Name", "hello"), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);

    BYTE buffer[16] = {};
    const struct {
        DWORD given;
        LSTATUS status;
    } cases[] = {{0, ERROR_MORE_DATA}, {5, ERROR_MORE_DATA}, {6, ERROR_SUCCESS}, {16, ERROR_SUCCESS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        type = 0;
        size = c.given;
        EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, buffer, &size), c.status);
        EXPECT_EQ(size, 6u);
        EXPECT_EQ(type, REG_SZ);
    }
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "hello");

    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(SetString(key, nullptr, "default"), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, ""), "default");
    EXPECT_NE(kpltest::ReadFile(file).find("\n@=\"default\"\n"), std::string::npos);
    RegCloseKey(key);
}

TEST_F(Registry, DeletesFailLikeWindowsAndStaleHandlesSayDeleted)
{
    HKEY parent = Create("SOFTWARE\\KplParent");
    HKEY child = Create("SOFTWARE\\KplParent\\Child");
    HKEY alsoChild = Create("SOFTWARE\\KplParent\\Child");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplParent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(parent, "Missing"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetString(child, "V", "x"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(child, "Gone", "x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(alsoChild, "GONE"), ERROR_SUCCESS);
    EXPECT_EQ(kpltest::ReadFile(file).find("Gone"), std::string::npos);
    EXPECT_EQ(RegDeleteKeyA(parent, "CHILD"), ERROR_SUCCESS);
    EXPECT_EQ(FileTree().root.Find("HKEY_LOCAL_MACHINE")->Find("SOFTWARE")->Find("KplParent")->Find("Child"), nullptr);

    // A key made again under the same name is another key.
    HKEY recreated = Create("SOFTWARE\\KplParent\\Child");
    HKEY sub = nullptr;
    for (HKEY stale : {child, alsoChild}) {
        EXPECT_EQ(QueryString(stale, "V"), "error " + std::to_string(ERROR_KEY_DELETED));
        EXPECT_EQ(SetString(stale, "V", "y"), ERROR_KEY_DELETED);
        EXPECT_EQ(RegCreateKeyExA(stale, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegCloseKey(stale), ERROR_SUCCESS);
    }
    EXPECT_EQ(QueryString(recreated, "V"), "error " + std::to_string(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegDeleteKeyA(recreated, ""), ERROR_SUCCESS);

    EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    RegCloseKey(recreated);
    RegCloseKey(parent);
}

TEST_F(Registry, RefusesWhatTheHandleOrTheFileCannotTake)
{
    RegCloseKey(Create("SOFTWARE\\KplRights"));
    const struct {
        REGSAM access;
        bool canQuery, canSet, canCreate;
    } cases[] = {
        {KEY_READ, true, false, false},
        {KEY_WRITE, false, true, true},
        {KEY_ALL_ACCESS, true, true, true},
        {GENERIC_READ, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.access);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplRights", 0, c.access, &key), ERROR_SUCCESS);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(key, "None", nullptr, nullptr, nullptr, &size) == ERROR_ACCESS_DENIED,
                  !c.canQuery);
        EXPECT_EQ(SetString(key, "V", "x") == ERROR_ACCESS_DENIED, !c.canSet);
        HKEY sub = nullptr;
        const std::string subName = "Sub" + std::to_string(c.access);
        EXPECT_EQ(RegCreateKeyExA(key, subName.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr) == ERROR_ACCESS_DENIED,
                  !c.canCreate);
        RegCloseKey(sub);
        RegCloseKey(key);
    }
    HKEY key = Create("SOFTWARE\\KplRights");
    EXPECT_EQ(SetString(key, "Line\nBreak", "x"), ERROR_INVALID_PARAMETER);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(key, std::string(256, 'k').c_str(), 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(Registry, VolatileKeysStayInMemory)
{
    HKEY stable = Create("SOFTWARE\\KplStable");
    const std::string before = kpltest::ReadFile(file);
    DWORD disposition = 0;
    // Like every key the call makes, the one in between is volatile too.
    HKEY key = Create("SOFTWARE\\KplVolatile\\Inner", REG_OPTION_VOLATILE, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(SetString(key, "V", "memory"), ERROR_SUCCESS);
    HKEY child = nullptr;
    for (const char* parent : {"SOFTWARE\\KplVolatile\\Inner", "SOFTWARE\\KplVolatile"})
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(parent) + "\\Stable").c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child, nullptr),
                  ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(kpltest::ReadFile(file), before);

    // Survives the file being read again, and never reaches it.
    kpltest::WriteFile(file, before + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplExternal]\n");
    HKEY reopened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplExternal", 0, KEY_READ, &reopened), ERROR_SUCCESS);
    RegCloseKey(reopened);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\kplvolatile\\inner", 0, KEY_READ, &reopened),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryString(reopened, "V"), "memory");
    EXPECT_EQ(QueryString(key, "V"), "memory");
    ASSERT_EQ(SetString(stable, "V", "file"), ERROR_SUCCESS);
    EXPECT_EQ(kpltest::ReadFile(file).find("KplVolatile"), std::string::npos);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplVolatile\\Inner"), ERROR_SUCCESS);
    for (HKEY open : {key, reopened, stable})
        RegCloseKey(open);
}

TEST_F(Registry, WithoutTheVariableChangesStayInMemory)
{
    {
        kpltest::ScopedEnv restore("KPL_REGISTRY", "");
        unsetenv("KPL_REGISTRY");
        HKEY key = Create("SOFTWARE\\KplNoFile");
        ASSERT_EQ(SetString(key, "V", "x"), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(key, "V"), "x");
        RegCloseKey(key);
        EXPECT_TRUE(DirectoryEntries().empty());
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplNoFile", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

class FailedWrite : public Registry {
protected:
    void SetUp() override
    {
        key = Create("SOFTWARE\\KplAtomic");
        ASSERT_EQ(SetString(key, "Old", "value"), ERROR_SUCCESS);
        before = kpltest::ReadFile(file);
    }

    void TearDown() override { RegCloseKey(key); }

    LSTATUS WriteLarge() { return Set(key, "New", REG_BINARY, std::vector<BYTE>(20000, 0x5a)); }

    void ExpectNothingChanged()
    {
        EXPECT_EQ(kpltest::ReadFile(file), before);
        EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"registry.reg"});
        EXPECT_EQ(QueryString(key, "New"), "error " + std::to_string(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(QueryString(key, "Old"), "value");
    }

    HKEY key = nullptr;
    std::string before;
};

TEST_F(FailedWrite, ReadOnlyDirectoryIsAccessDenied)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only directories";
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    LSTATUS status = WriteLarge();
    chmod(dir.Path().c_str(), 0755);
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
    ExpectNothingChanged();
}

TEST_F(FailedWrite, WriteCutShortLeavesTheOldFile)
{
    // A file size limit stops even root half-way through the new file.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = before.size() + 100;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    LSTATUS status = WriteLarge();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    if (status == ERROR_SUCCESS)
        GTEST_SKIP() << "the file size limit did not stop the write";
    ExpectNothingChanged();
}

TEST_F(Registry, MalformedFileIsReportedOnceAndNeverRewritten)
{
    HKEY key = Create("SOFTWARE\\KplBad");
    const std::string bad = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplBad]\n"
                            "\"V\"=dword:zz\n";
    kpltest::WriteFile(file, bad);

    testing::internal::CaptureStderr();
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplBad", 0, KEY_READ, &other), ERROR_BADDB);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &other), ERROR_BADDB);
    EXPECT_EQ(QueryString(key, "V"), "error " + std::to_string(ERROR_BADDB));
    EXPECT_EQ(SetString(key, "V", "x"), ERROR_BADDB);
    EXPECT_EQ(RegDeleteKeyA(key, ""), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplNew", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other,
                              nullptr),
              ERROR_BADDB);
    const std::string reported = testing::internal::GetCapturedStderr();
    const std::string expected = "KPL_REGISTRY " + file + ":4: ";
    EXPECT_NE(reported.find(expected), std::string::npos) << reported;
    EXPECT_EQ(reported.find(expected), reported.rfind(expected)) << reported;
    EXPECT_EQ(kpltest::ReadFile(file), bad);

    kpltest::WriteFile(file, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplBad]\n"
                             "\"V\"=dword:0000002a\n");
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 42u);
    RegCloseKey(key);
}

TEST_F(Registry, ConcurrentWritersAllLand)
{
    constexpr int threads = 4;
    constexpr int perThread = 20;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([this, t] {
            HKEY key = Create("SOFTWARE\\KplConcurrent");
            for (DWORD i = 0; i < perThread; ++i) {
                DWORD value = t * 1000 + i;
                std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4),
                          ERROR_SUCCESS);
            }
            RegCloseKey(key);
        });
    for (auto& writer : writers)
        writer.join();

    kplreg::Tree tree = FileTree();
    const kplreg::Key* key = tree.root.Find("HKEY_LOCAL_MACHINE")->Find("SOFTWARE")->Find("KplConcurrent");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values.size(), static_cast<std::size_t>(threads * perThread));
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < perThread; ++i) {
            const kplreg::Value* value = key->FindValue("t" + std::to_string(t) + "-" + std::to_string(i));
            ASSERT_NE(value, nullptr);
            DWORD expected = t * 1000 + i;
            EXPECT_EQ(value->data, Bytes(std::string_view(reinterpret_cast<const char*>(&expected), 4)));
        }
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"registry.reg"});
}

TEST_F(Registry, ChangesMadeByOthersArePickedUp)
{
    HKEY key = Create("SOFTWARE\\KplShared");
    ASSERT_EQ(SetString(key, "V", "one"), ERROR_SUCCESS);
    const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplShared]\n";

    const std::string tail = "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplShared\\Other]\n";
    kpltest::WriteFile(file, head + "\"V\"=\"second\"\n" + tail);
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplShared\\Other", 0, KEY_READ, &other), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, "V"), "second");

    // Replaced by rename with a text of the same length: perhaps only the inode tells.
    const std::string replacement = dir.File("replacement");
    kpltest::WriteFile(replacement, head + "\"V\"=\"THIRD!\"\n" + tail);
    ASSERT_EQ(std::rename(replacement.c_str(), file.c_str()), 0);
    EXPECT_EQ(QueryString(key, "V"), "THIRD!");
    EXPECT_EQ(QueryString(other, "V"), "error " + std::to_string(ERROR_FILE_NOT_FOUND));

    kpltest::WriteFile(file, "Windows Registry Editor Version 5.00\n");
    EXPECT_EQ(QueryString(key, "V"), "error " + std::to_string(ERROR_KEY_DELETED));
    EXPECT_EQ(QueryString(other, "V"), "error " + std::to_string(ERROR_KEY_DELETED));
    RegCloseKey(key);
    RegCloseKey(other);
}

TEST_F(Registry, HostConfigReadsOnlyItsOwnTypes)
{
    const std::string longText(1000, 'x');
    kpltest::WriteFile(file, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\n"
                             "\"Dir\"=\"/var/kpl\"\n\"Count\"=dword:00000007\n\"Blob\"=hex:01,02,03,04\n\"Long\"=\"" +
                                 longText + "\"\n");
    const struct {
        const char* name;
        const char* text;  // null: not a string
        DWORD number;      // 99: not a dword
    } cases[] = {{"Dir", "/var/kpl", 99}, {"Count", nullptr, 7}, {"Blob", nullptr, 99}, {"Missing", nullptr, 99},
                 {"Long", longText.c_str(), 99}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = "unchanged";
        DWORD number = 99;
        EXPECT_EQ(ReadHostString(c.name, text), c.text != nullptr);
        EXPECT_EQ(text, c.text ? c.text : "unchanged");
        EXPECT_EQ(ReadHostDword(c.name, number), c.number != 99);
        EXPECT_EQ(number, c.number);
    }
}

}  // namespace
