#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<BYTE> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

std::string Error(LSTATUS status)
{
    return "error " + std::to_string(status);
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
        return status == ERROR_SUCCESS ? std::string(buffer) : Error(status);
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

TEST_F(Registry, KeysAreCreatedOnceAndNamedWithoutRegardToCase)
{
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\MixedCase", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    DWORD disposition = 0;
    HKEY deep = Create("Software\\MixedCase\\Deep", REG_OPTION_NON_VOLATILE, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    HKEY again = Create("SOFTWARE\\mixedCASE\\DEEP", REG_OPTION_NON_VOLATILE, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(SetString(deep, "Speed", "slow"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(again, "SPEED", "fast"), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(deep, "speed"), "fast");
    const std::string text = kpltest::ReadFile(file);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\MixedCase\\Deep]\n\"Speed\"=\"fast\""), std::string::npos)
        << text;

    // A null or empty subkey opens the same key again, under a handle of its own.
    for (const char* same : {static_cast<const char*>(nullptr), ""}) {
        HKEY reopened = nullptr;
        ASSERT_EQ(RegOpenKeyExA(deep, same, 0, KEY_ALL_ACCESS, &reopened), ERROR_SUCCESS);
        EXPECT_NE(reopened, deep);
        EXPECT_EQ(SetString(reopened, "Via", same ? "empty" : "null"), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(again, "Via"), same ? "empty" : "null");
        EXPECT_EQ(RegCloseKey(reopened), ERROR_SUCCESS);
    }
    EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
}

TEST_F(Registry, QueryReportsTheSizeNeededWhateverTheBuffer)
{
    HKEY key = Create("SOFTWARE\\KplSizes");
    ASSERT_EQ(SetString(key, "Name", "hello"), ERROR_SUCCESS);
    BYTE buffer[16] = {};
    const struct {
        BYTE* data;
        DWORD given;
        LSTATUS status;
    } cases[] = {{nullptr, 0, ERROR_SUCCESS}, {buffer, 0, ERROR_MORE_DATA}, {buffer, 5, ERROR_MORE_DATA},
                 {buffer, 6, ERROR_SUCCESS},  {buffer, 16, ERROR_SUCCESS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        DWORD type = 0;
        DWORD size = c.given;
        EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, c.data, &size), c.status);
        EXPECT_EQ(size, 6u);
        EXPECT_EQ(type, REG_SZ);
    }
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "hello");
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(Registry, DeletesFailLikeWindowsAndStaleHandlesSayDeleted)
{
    HKEY parent = Create("SOFTWARE\\KplParent");
    HKEY child = Create("SOFTWARE\\KplParent\\Child");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplParent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(parent, "Missing"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetString(child, "Gone", "x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(child, "GONE"), ERROR_SUCCESS);
    EXPECT_EQ(kpltest::ReadFile(file).find("Gone"), std::string::npos);
    EXPECT_EQ(RegDeleteKeyA(parent, "CHILD"), ERROR_SUCCESS);
    EXPECT_EQ(kpltest::ReadFile(file).find("Child"), std::string::npos);

    // A key made again under the same name is another key.
    HKEY recreated = Create("SOFTWARE\\KplParent\\Child");
    HKEY sub = nullptr;
    EXPECT_EQ(QueryString(child, "V"), Error(ERROR_KEY_DELETED));
    EXPECT_EQ(SetString(child, "V", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(child, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
    EXPECT_EQ(QueryString(recreated, "V"), Error(ERROR_FILE_NOT_FOUND));
    RegCloseKey(recreated);
    RegCloseKey(parent);
}

class FailedWrite : public Registry {
protected:
    void SetUp() override
    {
        key = Create("SOFTWARE\\KplAtomic");
        ASSERT_EQ(SetString(key, "Old", "value"), ERROR_SUCCESS);
        before = kpltest::ReadFile(file);
    }

    void TearDown() override
    {
        if (!skipped) {
            EXPECT_EQ(kpltest::ReadFile(file), before);
            EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"registry.reg"});
            EXPECT_EQ(QueryString(key, "New"), Error(ERROR_FILE_NOT_FOUND));
            EXPECT_EQ(QueryString(key, "Old"), "value");
        }
        RegCloseKey(key);
    }

    LSTATUS WriteLarge() { return Set(key, "New", REG_BINARY, std::vector<BYTE>(20000, 0x5a)); }

    HKEY key = nullptr;
    std::string before;
    bool skipped = false;
};

TEST_F(FailedWrite, ReadOnlyDirectoryIsAccessDeniedAndChangesNothing)
{
    skipped = geteuid() == 0;
    if (skipped)
        GTEST_SKIP() << "root writes into read-only directories";
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    LSTATUS status = WriteLarge();
    chmod(dir.Path().c_str(), 0755);
    EXPECT_EQ(status, ERROR_ACCESS_DENIED);
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
    skipped = status == ERROR_SUCCESS;
    if (skipped)
        GTEST_SKIP() << "the file size limit did not stop the write";
}

TEST_F(Registry, MalformedFileIsReportedOnceAndNeverRewritten)
{
    HKEY key = Create("SOFTWARE\\KplBad");
    const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplBad]\n";
    const std::string bad = head + "\"V\"=dword:zz\n";
    kpltest::WriteFile(file, bad);

    testing::internal::CaptureStderr();
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &other), ERROR_BADDB);
    EXPECT_EQ(QueryString(key, "V"), Error(ERROR_BADDB));
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

    kpltest::WriteFile(file, head + "\"V\"=\"mended\"\n");
    EXPECT_EQ(QueryString(key, "V"), "mended");
    RegCloseKey(key);
}

// Two processes of two threads each, all writing at once: every value lands.
constexpr int WriterProcesses = 2, WriterThreads = 2, WritesPerThread = 100;

// One writer process of the test below: its threads each write their values.
// Returns how many writes failed.
int WriteFromThreads(int process)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < WriterThreads; ++t)
        writers.emplace_back([&, t] {
            HKEY key = nullptr;
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplConcurrent", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr);
            for (int i = 0; i < WritesPerThread; ++i) {
                const std::string name = std::to_string(process) + "-" + std::to_string(t) + "-" + std::to_string(i);
                failures += RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                           static_cast<DWORD>(name.size() + 1)) != ERROR_SUCCESS;
            }
            RegCloseKey(key);
        });
    for (auto& writer : writers)
        writer.join();
    return failures.load();
}

// Runs only as a writer process started by the test below: a fresh process,
// since forking a test process that has threads is not safe (and the thread
// sanitizer refuses it).
TEST(RegistryWriter, OneProcessOfSeveral)
{
    const char* registry = std::getenv("KPL_WRITER_REGISTRY");
    const char* number = std::getenv("KPL_WRITER_NUMBER");
    if (registry == nullptr || number == nullptr)
        GTEST_SKIP() << "a writer process of Registry.ConcurrentWritersFromSeveralProcessesAllLand";
    kpltest::ScopedEnv use("KPL_REGISTRY", registry);
    std::fflush(nullptr);
    _exit(WriteFromThreads(std::atoi(number)));
}

TEST_F(Registry, ConcurrentWritersFromSeveralProcessesAllLand)
{
    constexpr int processes = WriterProcesses, threads = WriterThreads, perThread = WritesPerThread;
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("KPL_WRITER_REGISTRY", file.c_str(), 1);
            setenv("KPL_WRITER_NUMBER", std::to_string(p).c_str(), 1);
            char filter[] = "--gtest_filter=RegistryWriter.OneProcessOfSeveral";
            char* argv[] = {self, filter, nullptr};
            execv(self, argv);
            _exit(127);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = -1;
        EXPECT_TRUE(kpltest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; },
                                       std::chrono::milliseconds(60000)));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplConcurrent", 0, KEY_READ, &key), ERROR_SUCCESS);
    int kept = 0;
    for (int p = 0; p < processes; ++p)
        for (int t = 0; t < threads; ++t)
            for (int i = 0; i < perThread; ++i) {
                const std::string name = std::to_string(p) + "-" + std::to_string(t) + "-" + std::to_string(i);
                kept += QueryString(key, name.c_str()) == name;
            }
    RegCloseKey(key);
    EXPECT_EQ(kept, processes * threads * perThread);
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"registry.reg"});
}

// HKLM\HARDWARE, and every key made volatile, in a file under RuntimeDir:
// the administrator's file stays byte for byte as it was, and a section it
// still holds there from earlier versions is left out.
TEST_F(Registry, VolatileKeysLiveUnderTheRuntimeDirectory)
{
    const std::string admin = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                              "\"RuntimeDir\"=\"" + dir.Path() + "\"\r\n\r\n; old\r\n"
                              "[HKEY_LOCAL_MACHINE\\HARDWARE\\PGW\\KPL]\r\n\"Version\"=\"00.01\"\r\n";
    kpltest::WriteFile(file, admin);
    testing::internal::CaptureStderr();
    HKEY refused = nullptr;  // as on Windows: nothing stored under a volatile hive
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\PGW\\KPL", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &refused, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    HKEY identity = Create("HARDWARE\\PGW\\KPL", REG_OPTION_VOLATILE);
    EXPECT_EQ(QueryString(identity, "Version"), Error(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(SetString(identity, "Version", "01.23"), ERROR_SUCCESS);
    HKEY made = Create("SOFTWARE\\KplHost\\Session", REG_OPTION_VOLATILE);
    EXPECT_EQ(SetString(made, "Seen", "yes"), ERROR_SUCCESS);
    const std::string told = testing::internal::GetCapturedStderr();
    const std::string notice = file + ":7: keys under HKEY_LOCAL_MACHINE\\HARDWARE are volatile";
    EXPECT_NE(told.find(notice), std::string::npos) << told;
    EXPECT_EQ(told.find(notice), told.rfind(notice)) << told;
    HKEY stable = nullptr;
    EXPECT_EQ(RegCreateKeyExA(made, "Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &stable, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(kpltest::ReadFile(file), admin);

    // Another program with the same machine sees them.
    const std::string volatileFile = kpltest::ReadFile(dir.File("kpl-volatile.reg"));
    EXPECT_NE(volatileFile.find("[HKEY_LOCAL_MACHINE\\HARDWARE\\PGW\\KPL]\n\"Version\"=\"01.23\""), std::string::npos)
        << volatileFile;
    kpltest::WriteFile(dir.File("copy.reg"), admin);
    kpltest::ScopedEnv copy("KPL_REGISTRY", dir.File("copy.reg"));
    HKEY seen = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost\\Session", 0, KEY_READ, &seen), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(seen, "Seen"), "yes");
    for (HKEY key : {identity, made, seen})
        RegCloseKey(key);
}

// What a writer killed half-way leaves never blocks the next write, which clears it away.
TEST_F(Registry, LeftOverTemporaryFilesNeverBlockAndAreCleared)
{
    HKEY key = Create("SOFTWARE\\KplLeftOvers");
    for (const char* leftOver : {".registry.reg.tmp-Ab12Cd", "registry.reg.tmp", ".registry.reg.999999999.tmp"})
        kpltest::WriteFile(dir.File(leftOver), "half");
    EXPECT_EQ(SetString(key, "After", "written"), ERROR_SUCCESS);
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"registry.reg"});
    RegCloseKey(key);
}

// Anything but a regular file is refused at once: a FIFO would block a reader for ever.
TEST_F(Registry, AnythingButARegularFileIsRefusedAtOnce)
{
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("directory"));
    for (const char* name : {"fifo", "directory"}) {
        SCOPED_TRACE(name);
        kpltest::ScopedEnv other("KPL_REGISTRY", dir.File(name));
        testing::internal::CaptureStderr();
        auto opened = std::async(std::launch::async, [] {
            HKEY key = nullptr;
            return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key);
        });
        bool answered = opened.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!answered)  // unblock the reader, so that the failure is reported rather than hung
            close(open(dir.File("fifo").c_str(), O_WRONLY | O_NONBLOCK));
        EXPECT_TRUE(answered);
        EXPECT_EQ(opened.get(), ERROR_BADDB);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(dir.File(name) + ": not a regular file"),
                  std::string::npos);
    }
}

}  // namespace
