#include "tests/e2e/service_fixture.h"

#include <csignal>
#include <sstream>

namespace kpltest {

void ServiceTest::SetUp()
{
    std::string error;
    ASSERT_TRUE(line.OpenPty(error)) << error;
    server_ = std::thread([this] {
        std::string serveError;
        line.Serve(
            model,
            [this](const kplsim::Exchange& exchange) {
                Request request{exchange.kind, {}};
                // Payload of a stuffed request: between id and checksum, stuffing dropped.
                const auto& raw = exchange.request;
                for (std::size_t i = 3; i + 1 < raw.size(); ++i) {
                    request.payload.push_back(raw[i]);
                    if (raw[i] == 0x02)
                        ++i;
                }
                std::lock_guard<std::mutex> guard(lock_);
                requests_.push_back(std::move(request));
            },
            serveError);
    });
    WriteRegistry();
}

void ServiceTest::TearDown()
{
    service.reset();  // kills a service that is still running
    line.Stop();
    if (server_.joinable())
        server_.join();
}

void ServiceTest::WriteRegistry(const std::string& more)
{
    WriteFile(RegistryPath(),
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
              "\"EventLogFile\"=\"" + dir.File("events.log") + "\"\r\n"
              "\"KeyJournal\"=\"" + dir.File("keys.journal") + "\"\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n"
              "\"COM3\"=\"" + line.Path() + "\"\r\n\r\n"
              "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n"
              "\"KeyboardDelay\"=\"0\"\r\n\"KeyboardSpeed\"=\"31\"\r\n\r\n" + more);
}

void ServiceTest::StartService()
{
    service = std::make_unique<Process>(std::vector<std::string>{KPL_SERVICE_EXE, "-debug"},
                                        std::map<std::string, std::string>{{"KPL_REGISTRY", RegistryPath()}});
}

void ServiceTest::StopService()
{
    ASSERT_TRUE(service);
    service->Signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(service->Wait(std::chrono::milliseconds(15000), &status)) << Output();
    EXPECT_EQ(status, 0) << Output();
}

int ServiceTest::WaitForExit(std::chrono::milliseconds timeout)
{
    int status = -1;
    EXPECT_TRUE(service->Wait(timeout, &status)) << Output();
    return status;
}

bool ServiceTest::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    return service->WaitForOutput(text, timeout);
}

std::size_t ServiceTest::Count(const std::string& text)
{
    std::string out = Output();
    std::size_t n = 0;
    for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
        ++n;
    return n;
}

std::vector<KeyEvent> ServiceTest::Journal()
{
    std::vector<KeyEvent> events;
    std::istringstream in(ReadFile(dir.File("keys.journal")));
    std::string text;
    while (std::getline(in, text)) {
        KeyEvent e{};
        auto at = text.find(" keybd_event ");
        if (at == std::string::npos)
            continue;
        if (std::sscanf(text.c_str() + at, " keybd_event desktop=%*s vk=%x scan=%x flags=%x", &e.vk, &e.scan,
                        &e.flags) == 3)
            events.push_back(e);
    }
    return events;
}

bool ServiceTest::WaitForKeyEvents(std::size_t n, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return Journal().size() >= n; }, timeout);
}

bool ServiceTest::WaitForPolls(std::uint64_t polls, unsigned timeoutMs)
{
    return model.WaitForRequests(model.TotalRequests() + polls, timeoutMs);
}

void ServiceTest::Type(const std::vector<int>& keys, int shiftedUpTo)
{
    constexpr int KeyShift = 53;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        bool shifted = static_cast<int>(i) <= shiftedUpTo;
        if (shifted && i == 0) {
            model.Press(KeyShift);
            ASSERT_TRUE(WaitForPolls(2));
        }
        model.Press(keys[i]);
        ASSERT_TRUE(WaitForPolls(3));
        model.Release(keys[i]);
        ASSERT_TRUE(WaitForPolls(3));
        if (shifted && static_cast<int>(i) == shiftedUpTo) {
            model.Release(KeyShift);
            ASSERT_TRUE(WaitForPolls(3));
        }
    }
}

std::string ServiceTest::TypedText()
{
    std::string text;
    bool shift = false;
    for (const auto& e : Journal()) {
        if (e.vk == 0xA0 || e.vk == 0xA1 || e.vk == 0x10) {
            shift = !e.up();
            continue;
        }
        if (e.up())
            continue;
        if (e.vk >= 'A' && e.vk <= 'Z')
            text += static_cast<char>(shift ? e.vk : e.vk + ('a' - 'A'));
        else if ((e.vk >= '0' && e.vk <= '9') || e.vk == ' ')
            text += static_cast<char>(e.vk);
    }
    return text;
}

std::vector<ServiceTest::Request> ServiceTest::Requests()
{
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

}  // namespace kpltest
