// Runs scenario files against a target and prints one line per file, in
// the form of the other suites: "scenario <target> <file>: N passed, M failed"
// (a table's rows count one each). On a failure it prints what was expected
// against what the machine showed.
#include "tests/scenarios/runner/keypanel.h"
#include "tests/scenarios/runner/linux_target.h"
#include "tests/scenarios/runner/observations.h"
#include "tests/scenarios/runner/scenario.h"
#include "tests/scenarios/runner/wine_target.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

namespace scenario {

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned PollMs = 50;

struct Options {
    std::string target = "linux";
    std::string service;
    std::string kplsim;
    std::string events;
    std::string machine;  // the wine target's machine script
    double slowness = 1.0;  // sanitizer builds run slower
    std::vector<std::string> files;
};

// "N", "N..M" or "N.." as a closed range.
bool ParseRange(const std::string& text, long& low, long& high)
{
    char* end = nullptr;
    low = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str())
        return false;
    if (*end == '\0') {
        high = low;
        return true;
    }
    if (std::string(end, 2) != "..")
        return false;
    if (end[2] == '\0') {
        high = 1L << 40;
        return true;
    }
    char* last = nullptr;
    high = std::strtol(end + 2, &last, 10);
    return *last == '\0' && high >= low;
}

// An LED pattern (STATUS) as '#' and '.', a block (LEDS) as '.', 's', 'f', '#'.
std::string Render(const Request& request)
{
    std::string text;
    if (request.id == 0x11) {
        for (std::size_t led = 0; led < request.payload.size() * 8; ++led)
            text += (request.payload[led / 8] >> (led % 8)) & 1 ? '#' : '.';
    } else {
        for (std::size_t led = 0; led < request.payload.size() * 4; ++led)
            text += ".sf#"[(request.payload[led / 4] >> (2 * (led % 4))) & 3];
    }
    return text;
}

std::uint8_t RequestId(std::string kind)
{
    for (char& c : kind)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const std::map<std::string, std::uint8_t> ids = {
        {"IDENTIFY", 0x10}, {"STATUS", 0x11}, {"KEYS", 0x12}, {"LEDS", 0x13}};
    auto found = ids.find(kind);
    return found == ids.end() ? 0 : found->second;
}

class Run {
public:
    Run(const Scenario& s, Target& target, Keypanel& keypanel, const Options& options)
        : s_(s), t_(target), kp_(keypanel), o_(options)
    {
    }

    // Empty when every step held, else what went wrong.
    std::string Execute()
    {
        for (const auto& step : s_.steps) {
            if (!step.target.empty() && step.target != t_.Name())
                continue;
            step_ = &step;
            if (!Do(step))
                return failure_;
            std::string complaints = kp_.Errors();
            if (!complaints.empty())
                return Where() + "kplsim refused a line:\n" + complaints;
        }
        return "";
    }

private:
    std::string Where() const
    {
        return s_.path + ":" + std::to_string(step_->line) + (s_.row.empty() ? "" : " (" + s_.row + ")") + ": " +
               step_->text + "\n";
    }
    bool Fail(const std::string& observed)
    {
        failure_ = Where() + observed;
        return false;
    }

    std::size_t Polls() { return kp_.Requests().size(); }

    // Waits for the condition, at most `polls` polls of the Keypanel when
    // given (or, with no polls flowing, their time), else the default bound.
    bool WaitFor(const std::function<bool()>& condition, long polls = -1)
    {
        auto bound = std::chrono::milliseconds(
            static_cast<long>((polls >= 0 ? polls * PollMs * 3 + 2000 : 10000) * o_.slowness));
        auto deadline = Clock::now() + bound;
        std::size_t until = polls >= 0 ? Polls() + static_cast<std::size_t>(polls) : 0;
        for (;;) {
            if (condition())
                return true;
            if (Clock::now() >= deadline || (polls >= 0 && Polls() >= until))
                return condition();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // "within N polls" at the end of an expectation, else -1.
    long Within(std::vector<std::string>& words)
    {
        auto at = std::find(words.begin(), words.end(), "within");
        if (at == words.end() || at + 1 == words.end())
            return -1;
        long polls = std::strtol((at + 1)->c_str(), nullptr, 10);
        words.erase(at, at + 2 < words.end() && at[2] == "polls" ? at + 3 : at + 2);
        return polls;
    }

    std::string KeysFrom(std::size_t from, const std::vector<KeyObservation>& keys)
    {
        std::string text = "  observed keys from here on:";
        if (from >= keys.size())
            return text + " none\n";
        for (std::size_t i = from; i < keys.size() && i < from + 24; ++i)
            text += "\n    " + Describe(keys[i]);
        return text + (keys.size() > from + 24 ? "\n    ..." : "") + "\n";
    }

    std::string EventsFrom(std::size_t from)
    {
        auto events = t_.Events();
        std::string text = "  observed events from here on:";
        if (from >= events.size())
            return text + " none\n";
        for (std::size_t i = from; i < events.size() && i < from + 24; ++i) {
            char id[16];
            std::snprintf(id, sizeof id, "0x%08X ", events[i].id);
            text += "\n    " + std::string(id) + events[i].text + (events[i].data.empty() ? "" : " data=" + events[i].data);
        }
        return text + "\n";
    }

    bool Do(const Step& step)
    {
        std::vector<std::string> w = step.words;
        const std::string& verb = w[0];
        std::string error;
        if (verb == "registry")
            return t_.ApplyRegistry(step.block, error) || Fail(error);
        if (verb == "start")
            return t_.Start(w.size() > 1 ? w[1] : "service", error) || Fail(error);
        if (verb == "winlogon")
            return t_.SetWinlogonPresent(w.at(1) != "absent", error) || Fail(error);
        if (verb == "driver")
            return t_.SetDriverPresent(w.at(1) != "absent", error) || Fail(error);
        if (verb == "stop")
            return t_.Stop(error) || Fail(error);
        if (verb == "command") {
            last_ = t_.Command({w.begin() + 1, w.end()});
            return true;
        }
        if (verb == "polls") {
            long n = std::strtol(w.at(1).c_str(), nullptr, 10);
            std::size_t target = Polls() + static_cast<std::size_t>(n);
            return WaitFor([&] { return Polls() >= target; }, n) ||
                   Fail("  the Keypanel saw " + std::to_string(Polls()) + " requests, not " + std::to_string(target));
        }
        if (verb == "type") {
            // Each key held for three polls and let go for three, so the key
            // output thread sees it down and up on its own cycle.
            for (std::size_t i = 1; i < w.size(); ++i) {
                std::size_t target = Polls() + 3;
                if (!kp_.Send("press " + w[i]) || !WaitFor([&] { return Polls() >= target; }, 3))
                    return Fail("  the Keypanel is not polled\n");
                target = Polls() + 3;
                if (!kp_.Send("release " + w[i]) || !WaitFor([&] { return Polls() >= target; }, 3))
                    return Fail("  the Keypanel is not polled\n");
            }
            return true;
        }
        if (verb != "expect") {
            // The Keypanel's side: kplsim carries it out.
            std::string line;
            for (const auto& word : w)
                line += (line.empty() ? "" : " ") + word;
            return kp_.Send(line) || Fail("kplsim has ended");
        }
        return Expect(w);
    }

    bool Expect(std::vector<std::string> w)
    {
        long within = Within(w);
        const std::string& kind = w[1];
        if (kind == "key" || kind == "hotkey")
            return ExpectKey(w, within);
        if (kind == "keys")
            return ExpectAllUp(within);
        if (kind == "text")
            return ExpectText(w.at(2), within);
        if (kind == "no")
            return ExpectNone(w);
        if (kind == "event")
            return ExpectEvent(w, within);
        if (kind == "count")
            return ExpectCount(w, within);
        if (kind == "output") {
            std::size_t found = std::string::npos;
            bool ok = WaitFor([&] { return (found = t_.Console().find(w.at(2), console_)) != std::string::npos; },
                              within);
            if (!ok)
                return Fail("  console from here on:\n" + t_.Console().substr(std::min(console_, t_.Console().size())));
            console_ = found + w[2].size();
            return true;
        }
        if (kind == "status" || kind == "leds")
            return ExpectLeds(kind == "status" ? 0x11 : 0x13, w.at(2), within);
        if (kind == "last") {
            auto id = RequestId(w.at(2) == "status" ? "STATUS" : "LEDS");
            const auto& requests = kp_.Requests();
            for (auto r = requests.rbegin(); r != requests.rend(); ++r)
                if (r->id == id)
                    return Matches(Render(*r), w.at(3)) || Fail("  the last one was " + Render(*r) + "\n");
            return Fail("  none was sent\n");
        }
        if (kind == "blink")
            return ExpectBlink(w);
        if (kind == "requests") {
            long low, high;
            auto id = RequestId(w.at(2));
            if (id == 0 || !ParseRange(w.at(3), low, high))
                return Fail("  expect requests IDENTIFY|STATUS|KEYS|LEDS N[..M]\n");
            const auto& requests = kp_.Requests();
            long n = std::count_if(requests.begin(), requests.end(), [&](const Request& r) { return r.id == id; });
            return (n >= low && n <= high) || Fail("  the Keypanel received " + std::to_string(n) + "\n");
        }
        if (kind == "exit") {
            int status = -1;
            bool ended = WaitFor([&] { return t_.Exited(status); }, within);
            if (!ended)
                return Fail("  the service is still running\n  console:\n" + Tail(t_.Console()));
            return status == std::stoi(w.at(2)) ||
                   Fail("  it ended with " + std::to_string(status) + "\n  console:\n" + Tail(t_.Console()));
        }
        if (kind == "state" || kind == "notify") {
            bool states = kind == "state";
            auto& cursor = states ? state_ : report_;
            std::size_t found = 0;
            bool ok = WaitFor(
                [&] {
                    auto seen = states ? t_.States() : t_.Reports();
                    for (std::size_t i = cursor; i < seen.size(); ++i)
                        if (seen[i] == w.at(2)) {
                            found = i;
                            return true;
                        }
                    return false;
                },
                within);
            if (!ok) {
                std::string seen;
                for (const auto& s : states ? t_.States() : t_.Reports())
                    seen += "    " + s + "\n";
                return Fail("  reported so far:\n" + seen);
            }
            cursor = found + 1;
            return true;
        }
        if (kind == "registry") {
            std::string data;
            if (!t_.ReadRegistry(w.at(2), w.at(3), data))
                return Fail("  no such value\n");
            return data == w.at(4) || Fail("  it holds \"" + data + "\"\n");
        }
        if (kind == "printed") {
            bool status = w.size() < 5 || last_.status == std::stoi(w.at(4));
            return (last_.output == w.at(2) && status) ||
                   Fail("  it printed (status " + std::to_string(last_.status) + "):\n" + last_.output);
        }
        return Fail("  unknown expectation\n");
    }

    static std::string Tail(const std::string& text)
    {
        return text.size() > 3000 ? "..." + text.substr(text.size() - 3000) : text;
    }

    // expect key K down|up|repeat [scan XX] [ext] [on DESKTOP] [after A..B cycles|polls]
    // expect key K repeats N[..M] [every A..B cycles|polls]
    // expect hotkey [on DESKTOP]
    bool ExpectKey(const std::vector<std::string>& w, long within)
    {
        KeyObservation want;
        std::size_t at = 2;
        bool repeats = false;
        if (w[1] == "hotkey") {
            want.kind = KeyObservation::HotKey;
        } else {
            if (w.size() < 4 || !ParseVirtualKey(w[2], want.vk))
                return Fail("  expect key K down|up|repeat|repeats ...\n");
            const std::string& kind = w[3];
            repeats = kind == "repeats";
            want.kind = kind == "up" ? KeyObservation::Up : kind == "down" ? KeyObservation::Down : KeyObservation::Repeat;
            at = 4;
        }
        long count = 1, countHigh = 1;
        if (repeats && (w.size() <= at || !ParseRange(w[at++], count, countHigh)))
            return Fail("  repeats takes a count\n");
        int scan = -1;
        bool extended = false;
        std::string desktop;
        double low = -1, high = -1;
        for (; at < w.size(); ++at) {
            if (w[at] == "scan" && at + 1 < w.size()) {
                scan = static_cast<int>(std::strtoul(w[++at].c_str(), nullptr, 16));
            } else if (w[at] == "ext") {
                extended = true;
            } else if (w[at] == "on" && at + 1 < w.size()) {
                desktop = w[++at];
            } else if ((w[at] == "after" || w[at] == "every") && at + 2 < w.size()) {
                long a, b;
                if (!ParseRange(w[at + 1], a, b))
                    return Fail("  after takes A..B cycles or polls\n");
                double unit = w[at + 2] == "polls" ? PollMs : s_.cycle;
                // The target's clock has whole milliseconds.
                low = a * unit - 3;
                high = b * unit + 3;
                at += 2;
            } else {
                return Fail("  unknown word '" + w[at] + "'\n");
            }
        }
        auto fits = [&](const KeyObservation& k) {
            return k.kind == want.kind && (want.kind == KeyObservation::HotKey || SameKey(want.vk, k.vk)) &&
                   (scan < 0 || static_cast<unsigned>(scan) == k.scan) && (!extended || k.extended) &&
                   (desktop.empty() || k.desktop.empty() || desktop == k.desktop);
        };
        std::vector<KeyObservation> keys;
        for (long n = 0; n < countHigh; ++n) {
            bool arrived = WaitFor([&] { return (keys = t_.Keys()).size() > key_; }, within);
            if (!arrived || (repeats && n >= count && !fits(keys[key_]))) {
                if (n >= count)
                    break;
                return Fail("  no further key came\n" + KeysFrom(key_, keys));
            }
            const KeyObservation& k = keys[key_];
            if (!fits(k)) {
                if (repeats && n >= count)
                    break;
                return Fail(KeysFrom(key_, keys));
            }
            if (low >= 0 && lastKeyMs_ >= 0) {
                double gap = static_cast<double>(k.ms - lastKeyMs_);
                if (gap < low || gap > high) {
                    char text[160];
                    std::snprintf(text, sizeof text, "  %s came %.0f ms after the key before it (%.1f cycles of %u ms)\n",
                                  Describe(k).c_str(), gap, gap / s_.cycle, s_.cycle);
                    return Fail(text + KeysFrom(key_, keys));
                }
            }
            lastKeyMs_ = k.ms;
            ++key_;
            // A range of repeats ends at the first other key, which must come.
            if (repeats && count != countHigh && n + 1 < countHigh &&
                !WaitFor([&] { return (keys = t_.Keys()).size() > key_; }, within))
                return Fail("  the repeats did not end\n" + KeysFrom(key_, keys));
        }
        return true;
    }

    bool ExpectAllUp(long within)
    {
        std::string held;
        bool ok = WaitFor(
            [&] {
                std::map<unsigned, bool> down;
                for (const auto& k : t_.Keys())
                    if (k.kind != KeyObservation::HotKey)
                        down[k.vk] = k.kind != KeyObservation::Up;
                held.clear();
                for (const auto& [vk, isDown] : down)
                    if (isDown)
                        held += " " + VirtualKeyText(vk);
                return held.empty();
            },
            within);
        return ok || Fail("  left down:" + held + "\n");
    }

    // The key events that type the text, with the key-ups of its keys.
    bool ExpectText(const std::string& text, long within)
    {
        std::vector<KeyObservation> keys;
        std::string typed;
        std::map<unsigned, bool> pressed;
        std::size_t cursor = key_;
        auto step = [&] {
            keys = t_.Keys();
            for (; cursor < keys.size(); ++cursor) {
                const auto& k = keys[cursor];
                if (typed == text) {
                    // Only the releases of keys this text pressed belong to it.
                    if (k.kind != KeyObservation::Up || !pressed[k.vk])
                        break;
                    pressed[k.vk] = false;
                    continue;
                }
                if (k.kind == KeyObservation::Up)
                    pressed[k.vk] = false;
                else
                    pressed[k.vk] = true;
                typed += k.text;
                if (text.compare(0, typed.size(), typed) != 0)
                    return true;  // gone astray: no point waiting
            }
            if (typed != text)
                return false;
            return std::none_of(pressed.begin(), pressed.end(), [](const auto& p) { return p.second; });
        };
        bool done = WaitFor(step, within);
        if (!done || typed != text) {
            std::string shown;
            for (char c : typed)
                shown += c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
            return Fail("  typed \"" + shown + "\"\n" + KeysFrom(key_, keys));
        }
        lastKeyMs_ = cursor > 0 ? keys[cursor - 1].ms : lastKeyMs_;
        key_ = cursor;
        return true;
    }

    // expect no key|event ID|output TEXT [for N polls]; expect no registry KEY VALUE
    bool ExpectNone(const std::vector<std::string>& w)
    {
        long polls = 0;
        auto forAt = std::find(w.begin(), w.end(), "for");
        if (forAt != w.end() && forAt + 1 != w.end())
            polls = std::strtol((forAt + 1)->c_str(), nullptr, 10);
        const std::string& what = w.at(2);
        if (what == "registry") {
            std::string data;
            return !t_.ReadRegistry(w.at(3), w.at(4), data) || Fail("  it holds \"" + data + "\"\n");
        }
        // Events and output: none during the window; keys: none unaccounted for.
        std::size_t eventsBefore = t_.Events().size(), consoleBefore = t_.Console().size();
        std::size_t target = Polls() + static_cast<std::size_t>(polls);
        if (polls > 0 && !WaitFor([&] { return Polls() >= target; }, polls))
            return Fail("  the Keypanel was not polled " + std::to_string(polls) + " times\n");
        if (polls > 0) {
            event_ = std::max(event_, eventsBefore);
            console_ = std::max(console_, consoleBefore);
        }
        if (what == "key") {
            auto keys = t_.Keys();
            return keys.size() <= key_ || Fail(KeysFrom(key_, keys));
        }
        if (what == "event") {
            unsigned id = static_cast<unsigned>(std::strtoul(w.at(3).c_str(), nullptr, 16));
            auto events = t_.Events();
            for (std::size_t i = event_; i < events.size(); ++i)
                if (events[i].id == id)
                    return Fail(EventsFrom(event_));
            return true;
        }
        if (what == "output") {
            std::string console = t_.Console();
            return console.find(w.at(3), console_) == std::string::npos ||
                   Fail("  console from here on:\n" + console.substr(std::min(console_, console.size())));
        }
        return Fail("  expect no key|event ID|output TEXT [for N polls] | no registry KEY VALUE\n");
    }

    // expect event ID [text "..."] [data "XX XX"]
    bool ExpectEvent(const std::vector<std::string>& w, long within)
    {
        unsigned id = static_cast<unsigned>(std::strtoul(w.at(2).c_str(), nullptr, 16));
        std::string text, data;
        for (std::size_t at = 3; at + 1 < w.size(); at += 2) {
            if (w[at] == "text")
                text = w[at + 1];
            else if (w[at] == "data")
                data = w[at + 1];
            else
                return Fail("  unknown word '" + w[at] + "'\n");
        }
        std::size_t found = 0;
        bool ok = WaitFor(
            [&] {
                auto events = t_.Events();
                for (std::size_t i = event_; i < events.size(); ++i)
                    if (events[i].id == id && events[i].text.find(text) != std::string::npos &&
                        (data.empty() || events[i].data == data)) {
                        found = i;
                        return true;
                    }
                return false;
            },
            within);
        if (!ok)
            return Fail(EventsFrom(event_));
        event_ = found + 1;
        return true;
    }

    // expect count event ID N | expect count output TEXT N: over the whole run
    bool ExpectCount(const std::vector<std::string>& w, long within)
    {
        long low, high;
        if (w.size() != 5 || !ParseRange(w[4], low, high))
            return Fail("  expect count event ID N | expect count output TEXT N\n");
        auto count = [&]() -> long {
            if (w[2] == "event") {
                unsigned id = static_cast<unsigned>(std::strtoul(w[3].c_str(), nullptr, 16));
                auto events = t_.Events();
                return std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.id == id; });
            }
            std::string console = t_.Console();
            long n = 0;
            for (auto at = console.find(w[3]); at != std::string::npos; at = console.find(w[3], at + 1))
                ++n;
            return n;
        };
        long n = 0;
        WaitFor([&] { return (n = count()) >= low; }, within);
        if (n >= low && n <= high)
            return true;
        std::map<unsigned, int> tally;
        for (const auto& e : t_.Events())
            ++tally[e.id];
        std::string seen = "  counted " + std::to_string(n) + "; events of the run:";
        for (const auto& [id, times] : tally) {
            char text[40];
            std::snprintf(text, sizeof text, " 0x%08X x%d", id, times);
            seen += text;
        }
        return Fail(seen + "\n");
    }

    static bool Matches(const std::string& rendered, const std::string& pattern)
    {
        if (pattern == "off")
            return rendered.find_first_not_of('.') == std::string::npos;
        std::string bare;
        for (char c : pattern)
            if (c != ' ')
                bare += c;
        return rendered.compare(0, bare.size(), bare) == 0;
    }

    bool ExpectLeds(std::uint8_t id, const std::string& pattern, long within)
    {
        std::size_t found = 0;
        bool ok = WaitFor(
            [&] {
                const auto& requests = kp_.Requests();
                for (std::size_t i = request_; i < requests.size(); ++i)
                    if (requests[i].id == id && Matches(Render(requests[i]), pattern)) {
                        found = i;
                        return true;
                    }
                return false;
            },
            within);
        if (!ok) {
            std::string seen, last;
            const auto& requests = kp_.Requests();
            for (std::size_t i = request_; i < requests.size(); ++i)
                if (requests[i].id == id && Render(requests[i]) != last)
                    seen += "    " + (last = Render(requests[i])).substr(0, 32) + "\n";
            return Fail("  sent from here on (changes, first 32 LEDs):\n" + seen);
        }
        request_ = found + 1;
        return true;
    }

    // expect blink LED ON OFF: in the STATUS patterns from here on, the LED
    // is lit for ON polls and dark for OFF polls, at least twice over.
    bool ExpectBlink(const std::vector<std::string>& w)
    {
        long led = std::stol(w.at(2)), on = std::stol(w.at(3)), off = std::stol(w.at(4));
        std::vector<std::pair<bool, long>> runs;
        auto measure = [&] {
            runs.clear();
            const auto& requests = kp_.Requests();
            for (std::size_t i = request_; i < requests.size(); ++i) {
                if (requests[i].id != 0x11 || requests[i].payload.size() != 16)
                    continue;
                bool lit = (requests[i].payload[led / 8] >> (led % 8)) & 1;
                if (runs.empty() || runs.back().first != lit)
                    runs.push_back({lit, 0});
                ++runs.back().second;
            }
            // The LED may have changed state mid-phase: the first two runs
            // and the last one may be cut.
            return runs.size() >= 7;
        };
        if (!WaitFor(measure, (on + off) * 4))
            return Fail("  too few STATUS patterns to see the LED blink\n");
        std::string seen;
        bool ok = true;
        for (std::size_t i = 2; i + 1 < runs.size(); ++i) {
            ok = ok && runs[i].second == (runs[i].first ? on : off);
            seen += (runs[i].first ? " on " : " off ") + std::to_string(runs[i].second);
        }
        return ok || Fail("  runs of polls:" + seen + "\n");
    }

    const Scenario& s_;
    Target& t_;
    Keypanel& kp_;
    const Options& o_;
    const Step* step_ = nullptr;
    std::string failure_;
    std::size_t key_ = 0, event_ = 0, console_ = 0, request_ = 0, state_ = 0, report_ = 0;
    long long lastKeyMs_ = -1;
    CommandResult last_;
};

// One scenario (one table row) from a fresh machine to its end.
std::string RunOne(const Scenario& s, Target& target, const Options& options)
{
    Keypanel keypanel;
    std::string error;
    if (!keypanel.Start(options.kplsim, s.keypanel, error))
        return s.path + ": " + error;
    std::string failure;
    if (!target.Prepare(keypanel.Path(), error)) {
        failure = s.path + ": " + error;
    } else {
        Run run(s, target, keypanel, options);
        failure = run.Execute();
    }
    // A service still running is stopped, as a machine would be shut down.
    int status;
    if (!target.Exited(status) && target.Stop(error))
        kpltest::WaitUntil([&] { return target.Exited(status); }, std::chrono::milliseconds(20000));
    target.Finish();
    keypanel.Quit();
    return failure;
}

int Main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 < argc)
                into = argv[++i];
        };
        if (arg == "--target")
            value(o.target);
        else if (arg == "--service")
            value(o.service);
        else if (arg == "--kplsim")
            value(o.kplsim);
        else if (arg == "--events")
            value(o.events);
        else if (arg == "--machine")
            value(o.machine);
        else if (arg == "--slowness" && i + 1 < argc)
            o.slowness = std::atof(argv[++i]);
        else
            o.files.push_back(arg);
    }
    bool wine = o.target == "wine";
    if ((o.target != "linux" && !wine) || (wine ? o.machine.empty() : o.service.empty()) || o.kplsim.empty() ||
        o.events.empty() || o.files.empty()) {
        std::fprintf(stderr,
                     "usage: scenario_runner --target linux --service EXE | --target wine --machine machine.sh\n"
                     "       --kplsim EXE --events events.txt [--slowness FACTOR] FILE.scn...\n"
                     "The wine target runs the win32 build named by KPL_WIN32_BUILD (default build/win32).\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    MessageTable table;
    std::string error;
    if (!table.Load(o.events, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    std::unique_ptr<Target> target = wine ? MakeWineTarget(o.machine, table) : MakeLinuxTarget(o.service, table);
    int passedTotal = 0, failedTotal = 0;
    for (const auto& file : o.files) {
        std::vector<Scenario> scenarios;
        int passed = 0, failed = 0;
        std::string name = file.substr(file.rfind('/') + 1);
        auto started = Clock::now();
        std::string note;
        if (!LoadScenarios(file, scenarios, error)) {
            std::printf("%s\n", error.c_str());
            failed = 1;
        }
        int elsewhere = 0;
        for (const auto& s : scenarios) {
            if (!s.targets.empty() && std::find(s.targets.begin(), s.targets.end(), target->Name()) == s.targets.end()) {
                note = s.row.empty() ? " (not on " + target->Name() + ": " + s.onlyReason + ")"
                                     : " (" + std::to_string(++elsewhere) + " of " + std::to_string(scenarios.size()) +
                                           " rows are for other targets)";
                continue;
            }
            std::string failure = RunOne(s, *target, o);
            if (failure.empty()) {
                ++passed;
            } else {
                ++failed;
                std::printf("%s\n", failure.c_str());
            }
        }
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        char label[128];
        std::snprintf(label, sizeof label, "scenario %s %s:", target->Name().c_str(), name.c_str());
        std::printf("%-34s %d passed, %d failed (%.1f s)%s\n", label, passed, failed, seconds, note.c_str());
        std::fflush(stdout);
        passedTotal += passed;
        failedTotal += failed;
    }
    return failedTotal == 0 ? 0 : 1;
}

}  // namespace

}  // namespace scenario

int main(int argc, char** argv)
{
    return scenario::Main(argc, argv);
}
