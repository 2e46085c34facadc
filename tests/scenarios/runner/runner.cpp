// Runs scenario files against a target and prints one line per file, in
// the form of the other suites: "scenario <target> <file>: N passed, M failed"
// (a table's rows count one each). On a failure it prints what was expected
// against what the machine showed.
#include "tests/scenarios/runner/runner.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <regex>
#include <stdexcept>
#include <thread>

namespace scenario {

namespace {

using Clock = std::chrono::steady_clock;
constexpr long PollMs = 50;
constexpr unsigned Any = ~0u;  // an expected key's scan code when any will do
const Words Kinds = {"IDENTIFY", "STATUS", "KEYS", "LEDS"};  // requests 0x10 to 0x13

// kplsim on a pseudo-terminal, fed its script a line at a time; its first
// line names the terminal, its trace every request it got.
class Keypanel {
public:
    explicit Keypanel(const Words& argv) : process_(argv, {}, true)
    {
        process_.WaitForOutput("\n", std::chrono::milliseconds(10000));
        std::string out = process_.Output();
        path = out.substr(0, out.find('\n'));
        parsed_ = path.size() + 1;
    }
    // kplsim takes its lines in order: once it has answered the "counts"
    // after a line, that line is in force, before anything the runner does
    // next (a service started at once must meet a silent panel).
    bool Send(const std::string& line)
    {
        if (line == "hangup")  // kplsim ends with it
            return process_.Write(line + "\n");
        std::size_t before = (Requests(), counted_);
        return process_.Write(line + "\ncounts\n") &&
               kpltest::WaitUntil([&] { return (Requests(), counted_) > before; }, std::chrono::milliseconds(5000));
    }

    // Every request so far, in order: its kind and, for STATUS, the LEDs lit
    // ('#') and dark ('.'); for LEDS, each LED off ('.'), slow ('s'), fast
    // ('f') or on ('#'): "STATUS #..#...".
    const Words& Requests()
    {
        std::string fresh = process_.Output(parsed_);
        fresh.erase(fresh.rfind('\n') + 1);  // whole lines only
        parsed_ += fresh.size();
        for (const auto& line : Lines(fresh)) {
            if (line.rfind("kplsim: ", 0) == 0)
                errors += line + "\n";
            counted_ += line.rfind("requests: ", 0) == 0;
            if (line.rfind("> ", 0) != 0)
                continue;
            std::vector<unsigned> raw;
            for (std::size_t at = 2; at + 1 < line.size(); at += 3)
                raw.push_back(static_cast<unsigned>(std::strtoul(line.substr(at, 2).c_str(), nullptr, 16)));
            unsigned id = raw.size() >= 4 ? raw[2] : 0;
            std::string r = (id >= 0x10 && id <= 0x13 ? Kinds[id - 0x10] : "other") + " ";
            // The payload as meant: the stuffing byte after each 0x02 dropped.
            for (std::size_t i = 3; i + 1 < raw.size(); i += raw[i] == 0x02 ? 2 : 1)
                for (unsigned bit = 0; bit < 8; bit += id == 0x13 ? 2 : 1)
                    r += id == 0x13 ? ".sf#"[(raw[i] >> bit) & 3] : (raw[i] >> bit) & 1 ? '#' : '.';
            requests_.push_back(r);
        }
        return requests_;
    }

    std::string path;    // of the terminal, once kplsim runs
    std::string errors;  // kplsim's complaints (lines "kplsim: ...")

private:
    kpltest::Process process_;
    std::size_t parsed_ = 0;   // output taken so far
    std::size_t counted_ = 0;  // "counts" answered
    Words requests_;
};

// "N", "N..M" or "N.." as a closed range.
bool ParseRange(const std::string& text, long& low, long& high)
{
    static const std::regex form(R"((\d+)(?:(\.\.)(\d*))?)");
    std::smatch m;
    if (!std::regex_match(text, m, form))
        return false;
    low = std::stol(m[1]);
    high = !m[2].matched ? low : m[3].length() > 0 ? std::stol(m[3]) : 1L << 40;
    return high >= low;
}

std::string Show(const std::string& text)
{
    std::string shown;
    for (char c : text)
        shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
    return shown;
}
std::string Show(const KeyObservation& key) { return Describe(key); }
// What a stream held from `from` on, a run of equal items as one line.
template <class T>
std::string Listing(const std::vector<T>& seen, std::size_t from, const std::string& title = "seen from here on")
{
    std::string text = "  " + title + ":" + (from >= seen.size() ? " none" : "");
    for (std::size_t i = from, n = 1, lines = 0; i < seen.size() && lines++ < 25; i += n) {
        std::string shown = Show(seen[i]);
        for (n = 1; i + n < seen.size() && Show(seen[i + n]) == shown;)
            ++n;
        text += "\n    " + (lines > 24 ? "..." : shown + (n > 1 ? " (" + std::to_string(n) + " times)" : ""));
    }
    return text + "\n";
}

// Whether a LED pattern or block starts with the pattern (blanks in it
// ignored), or for "off" is all dark.
bool Matches(const std::string& leds, std::string pattern)
{
    pattern.erase(std::remove(pattern.begin(), pattern.end(), ' '), pattern.end());
    std::string want = pattern == "off" ? std::string(leds.size(), '.') : pattern;
    return leds.compare(0, want.size(), want) == 0;
}

// How each target's service manager hears of the states: systemd's notify
// messages, and wine's trace of SetServiceStatus.
const std::pair<const char*, const char*> StateReports[] = {
    {"STATUS=Starting", "START_PENDING"}, {"READY=1", "RUNNING"}, {"STOPPING=1", "STOP_PENDING"},
    {"STATUS=Stopped", "STOPPED"},        {"state=2 ", "START_PENDING"}, {"state=4 ", "RUNNING"},
    {"state=3 ", "STOP_PENDING"},         {"state=1 ", "STOPPED"}};

// One scenario played on a target, step by step.
struct Run {
    const Scenario& s;
    Target& t;
    Keypanel& kp;
    const MessageTable& table;
    double slowness;
    bool debug = false;  // a console run, whose events are its output
    const Step* step = nullptr;
    std::string error{}, failure{};
    long within = -1;  // "within N polls" of the expectation at hand
    std::map<std::string, std::size_t> cursor{};  // where each ordered stream stands
    kpltest::ProcessResult last{};

    static const std::map<std::string, std::function<bool(Run&, Words&)>> Verbs;
    static std::string VerbOf(const Words& w) { return w[0] == "expect" && w.size() > 1 ? "expect " + w[1] : w[0]; }

    // Empty when every step held, else what went wrong.
    std::string Execute()
    {
        for (const auto& next : s.steps) {
            step = &next;
            Words w = next.words;
            auto at = std::find(w.begin(), w.end(), "within");
            within = w[0] == "expect" && at != w.end() ? std::stol(at + 1 == w.end() ? "" : at[1]) : -1;
            if (within >= 0)
                w.erase(at, at + 2 < w.end() && at[2] == "polls" ? at + 3 : at + 2);
            try {
                if (!Verbs.at(VerbOf(w))(*this, w))
                    return failure;
            } catch (const std::exception& e) {
                return Where() + "  a word is missing, unknown or not a number (" + e.what() + ")\n";
            }
            kp.Requests();
            if (!kp.errors.empty())
                return Where() + "kplsim refused a line:\n" + kp.errors;
        }
        return "";
    }

    std::string Where() const
    {
        return s.path + ":" + std::to_string(step->line) + (s.row.empty() ? "" : " (" + s.row + ")") + ": " +
               step->text + "\n";
    }
    bool Fail(const std::string& observed)
    {
        failure = Where() + observed;
        return false;
    }
    bool Did(bool done) { return done || Fail(error); }

    // Waits for the condition, at most `polls` polls of the Keypanel when
    // given (or, with no polls flowing, their time), else the default bound.
    template <class Condition>
    bool WaitFor(Condition condition, long polls)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(
                                           (polls >= 0 ? polls * PollMs * 3 + 2000 : 10000) * slowness));
        std::size_t until = kp.Requests().size() + static_cast<std::size_t>(std::max(polls, 0L));
        while (!condition()) {
            if (Clock::now() >= deadline || (polls >= 0 && kp.Requests().size() >= until))
                return condition();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    template <class Condition>
    bool WaitFor(Condition condition) { return WaitFor(condition, within); }

    bool Polls(long n)
    {
        std::size_t until = kp.Requests().size() + static_cast<std::size_t>(n);
        return WaitFor([&] { return kp.Requests().size() >= until; }, n) ||
               Fail("  the Keypanel got " + std::to_string(kp.Requests().size()) + " requests, not " +
                    std::to_string(until) + "\n");
    }
    bool Send(const std::string& line) { return kp.Send(line) || Fail("  kplsim has ended\n"); }

    // The items of an ordered stream as shown: "event" ("0x40000012 text[
    // data=XX XX]"), "output" (console lines), "status" and "leds" (the LED
    // patterns sent), "state" and "notify" (the reports to the service manager).
    Words Items(const std::string& stream)
    {
        if (stream == "event")
            return debug ? table.ConsoleEvents(t.Console()) : t.Events();
        if (stream == "output" || stream == "notify")
            return stream == "output" ? Lines(t.Console()) : t.Reports();
        if (stream == "status" || stream == "leds")
            return Sent(stream == "status" ? "STATUS" : "LEDS");
        Words states;
        for (const auto& report : t.Reports())
            for (const auto& [prefix, state] : StateReports)
                if (report.rfind(prefix, 0) == 0)
                    states.push_back(state);
        return states;
    }
    Words Sent(const std::string& kind)
    {
        Words leds;
        for (const auto& r : kp.Requests())
            if (r.rfind(kind + " ", 0) == 0)
                leds.push_back(r.substr(kind.size() + 1));
        return leds;
    }

    // Whether an item of the stream is the one the words from `at` on tell:
    // ID [text "PART"] [data "XX XX"] for an event; else TEXT the output
    // holds, a PATTERN the LEDs start with, the STATE or the report.
    std::function<bool(const std::string&)> Fits(const std::string& stream, const Words& w, std::size_t at)
    {
        std::string want = w.at(at), text, data;
        if (stream == "output")
            return [want](const std::string& line) { return line.find(want) != std::string::npos; };
        if (stream == "status" || stream == "leds")
            return [want](const std::string& leds) { return Matches(leds, want); };
        if (stream != "event")
            return [want](const std::string& item) { return item == want; };
        for (++at; at < w.size(); at += 2) {
            if (w[at] != "text" && w[at] != "data")
                throw std::invalid_argument("unknown word '" + w[at] + "'");
            (w[at] == "text" ? text : data) = w.at(at + 1);
        }
        return [id = std::stoul(want, nullptr, 16), text, data](const std::string& event) {
            auto end = event.rfind(" data=");
            return std::strtoul(event.c_str(), nullptr, 16) == id &&
                   event.substr(0, end).find(text, 11) != std::string::npos &&
                   (data.empty() || (end != std::string::npos && event.substr(end + 6) == data));
        };
    }

    bool Present(Words& w) { return Did(t.SetPresent(w[0], w.at(1) != "absent", error)); }
    // Each key held for three polls and let go for three, so the key output
    // thread sees it down and up on its own cycle.
    bool Type(Words& w)
    {
        for (std::size_t i = 1; i < w.size(); ++i)
            if (!Send("press " + w[i]) || !Polls(3) || !Send("release " + w[i]) || !Polls(3))
                return false;
        return true;
    }
    // The Keypanel's side: kplsim carries out the line as written.
    bool Panel(Words& w) { return Send(step->text.substr(step->text.find(w[0]))); }

    // expect key K down|up|repeat [scan XX] [ext] [on DESKTOP] [after A..B cycles|polls]
    // expect key K repeats N[..M] [every A..B cycles|polls]; expect hotkey [on DESKTOP]
    bool Key(Words& w)
    {
        KeyObservation want{0, KeyObservation::HotKey, 0, Any, false, "", ""};
        long low = 1, high = 1;
        std::size_t at = 2;
        if (w[1] == "key") {
            static const Words kinds = {"down", "repeat", "up"};  // as KeyObservation::Kind
            bool repeats = w.at(3) == "repeats";
            auto kind = std::find(kinds.begin(), kinds.end(), repeats ? "repeat" : w[3]) - kinds.begin();
            want.kind = static_cast<KeyObservation::Kind>(kind);
            if (!ParseVirtualKey(w[2], want.vk) || kind == 3 || (repeats && !ParseRange(w.at(4), low, high)))
                return Fail("  expect key K down|up|repeat|repeats N[..M] ...\n");
            at = repeats ? 5 : 4;
        }
        double early = -1, late = -1;
        for (; at < w.size(); ++at) {
            long a, b;
            if (w[at] == "scan") {
                want.scan = static_cast<unsigned>(std::stoul(w.at(++at), nullptr, 16));
            } else if (w[at] == "ext") {
                want.extended = true;
            } else if (w[at] == "on") {
                want.desktop = w.at(++at);
            } else if ((w[at] == "after" || w[at] == "every") && ParseRange(w.at(at + 1), a, b) &&
                       (w.at(at + 2) == "cycles" || w[at + 2] == "polls")) {
                double unit = w[at + 2] == "polls" ? PollMs : s.cycle;
                // The target's clock has whole milliseconds.
                early = static_cast<double>(a) * unit - 3;
                late = static_cast<double>(b) * unit + 3;
                at += 2;
            } else {
                return Fail("  unknown word '" + w[at] + "'\n");
            }
        }
        // A side-specific modifier also matches the generic key that window messages carry.
        unsigned generic = want.vk >= 0xA0 && want.vk <= 0xA5 ? 0x10 + (want.vk - 0xA0) / 2 : want.vk;
        auto fits = [&](const KeyObservation& k) {
            return k.kind == want.kind && (k.kind == KeyObservation::HotKey || k.vk == want.vk || k.vk == generic) &&
                   (want.scan == Any || want.scan == k.scan) && (!want.extended || k.extended) &&
                   (want.desktop.empty() || k.desktop.empty() || want.desktop == k.desktop);
        };
        std::size_t& key = cursor["key"];
        std::vector<KeyObservation> keys;
        for (long n = 0; n < high; ++n) {
            bool arrived = WaitFor([&] { return (keys = t.Keys()).size() > key; });
            if (!arrived || !fits(keys[key])) {
                // A range of repeats ends at the first other key, which must come.
                if (n >= low && (arrived || n == 0))
                    break;
                return Fail((arrived ? "" : "  no further key came\n") + Listing(keys, key));
            }
            auto gap = static_cast<double>(key > 0 ? keys[key].ms - keys[key - 1].ms : 0);
            if (early >= 0 && key > 0 && (gap < early || gap > late)) {
                char text[160];
                std::snprintf(text, sizeof text, "  %s came %.0f ms after the key before it (%.1f cycles of %u ms)\n",
                              Describe(keys[key]).c_str(), gap, gap / s.cycle, s.cycle);
                return Fail(text + Listing(keys, key));
            }
            ++key;
        }
        return true;
    }

    // The key events that type the text, with the key-ups of its keys.
    bool Text(Words& w)
    {
        const std::string& text = w.at(2);
        std::size_t& key = cursor["key"];
        std::vector<KeyObservation> keys;
        std::string typed;
        std::size_t end = key;
        bool done = WaitFor([&] {
            keys = t.Keys();
            typed.clear();
            std::map<unsigned, bool> pressed;
            for (end = key; end < keys.size(); ++end) {
                const auto& k = keys[end];
                bool up = k.kind == KeyObservation::Up;
                // Once the text is typed, only the releases of its keys belong to it.
                if (typed == text && (!up || !pressed[k.vk]))
                    break;
                pressed[k.vk] = !up;
                typed += k.text;
                if (text.compare(0, typed.size(), typed) != 0)
                    return true;  // gone astray: no point waiting
            }
            return typed == text && std::none_of(pressed.begin(), pressed.end(), [](auto& p) { return p.second; });
        });
        if (!done || typed != text)
            return Fail("  typed \"" + Show(typed) + "\"\n" + Listing(keys, key));
        key = end;
        return true;
    }

    bool AllUp(Words&)
    {
        std::string held;
        bool ok = WaitFor([&] {
            std::map<unsigned, KeyObservation> latest;
            for (const auto& k : t.Keys())
                if (k.kind != KeyObservation::HotKey)
                    latest[k.vk] = k;
            held.clear();
            for (const auto& [vk, k] : latest)
                if (k.kind != KeyObservation::Up)
                    held += "\n    " + Describe(k);
            return held.empty();
        });
        return ok || Fail("  left down:" + held + "\n");
    }

    // expect event|output|status|leds|state|notify ...: the next that fits,
    // from where the stream stands on; it then stands after it.
    bool Next(Words& w)
    {
        auto fits = Fits(w[1], w, 2);
        std::size_t& from = cursor[w[1]];
        Words seen;
        std::size_t at = from;
        bool found = WaitFor([&] {
            seen = Items(w[1]);
            for (at = from; at < seen.size(); ++at)
                if (fits(seen[at]))
                    return true;
            return false;
        });
        if (!found)
            return Fail(Listing(seen, from));
        from = at + 1;
        return true;
    }

    // expect no key|event ID|output TEXT [for N polls]: none from where the
    // stream stands on (or the window starts); expect no registry KEY VALUE
    bool No(Words& w)
    {
        std::string data, what = w.at(2);
        if (what == "registry")
            return !t.ReadRegistry(w.at(3), w.at(4), data) || Fail("  it holds \"" + data + "\"\n");
        if (what != "key" && what != "event" && what != "output")
            return Fail("  expect no key|event ID|output TEXT [for N polls] | no registry KEY VALUE\n");
        auto window = std::find(w.begin(), w.end(), "for");
        long polls = window == w.end() ? 0 : std::stol(window + 1 == w.end() ? "" : window[1]);
        w.erase(window, w.end());
        std::size_t before = what == "key" ? 0 : Items(what).size();
        if (polls > 0 && !Polls(polls))
            return false;
        if (what == "key") {
            auto keys = t.Keys();
            return keys.size() <= cursor["key"] || Fail(Listing(keys, cursor["key"]));
        }
        std::size_t& from = cursor[what];
        from = std::max(from, polls > 0 ? before : 0);
        Words seen = Items(what);
        auto fits = Fits(what, w, 3);
        return std::none_of(seen.begin() + static_cast<long>(std::min(from, seen.size())), seen.end(), fits) ||
               Fail(Listing(seen, from));
    }

    // expect count event ID N[..M] | expect count output TEXT N[..M]: over the whole run
    bool Count(Words& w)
    {
        long low, high, n = 0;
        if (w.size() != 5 || !ParseRange(w[4], low, high) || (w[2] != "event" && w[2] != "output"))
            return Fail("  expect count event ID N | expect count output TEXT N\n");
        auto fits = Fits(w[2], {w.begin(), w.end() - 1}, 3);
        Words seen;
        WaitFor([&] {
            seen = Items(w[2]);
            return (n = std::count_if(seen.begin(), seen.end(), fits)) >= low;
        });
        Words counted;
        std::copy_if(seen.begin(), seen.end(), std::back_inserter(counted), fits);
        return (n >= low && n <= high) || Fail(Listing(counted, 0, "counted " + std::to_string(n)));
    }

    bool Last(Words& w)
    {
        Words sent = Sent(w.at(2) == "status" ? "STATUS" : "LEDS");
        if (sent.empty())
            return Fail("  none was sent\n");
        return Matches(sent.back(), w.at(3)) || Fail("  the last one was " + sent.back() + "\n");
    }

    // expect blink LED ON OFF: in the STATUS patterns from here on, the LED
    // is lit for ON polls and dark for OFF polls, at least twice over.
    bool Blink(Words& w)
    {
        std::size_t led = std::stoul(w.at(2));
        long on = std::stol(w.at(3)), off = std::stol(w.at(4));
        std::vector<std::pair<bool, long>> runs;
        auto measure = [&] {
            runs.clear();
            Words sent = Sent("STATUS");
            for (std::size_t i = cursor["status"]; i < sent.size(); ++i) {
                bool lit = sent[i].at(led) == '#';
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

    bool Requests(Words& w)
    {
        long low, high;
        std::string kind = w.at(2);
        std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return std::toupper(c); });
        if (std::find(Kinds.begin(), Kinds.end(), kind) == Kinds.end() || !ParseRange(w.at(3), low, high))
            return Fail("  expect requests IDENTIFY|STATUS|KEYS|LEDS N[..M]\n");
        auto n = static_cast<long>(Sent(kind).size());
        return (n >= low && n <= high) || Fail("  the Keypanel received " + std::to_string(n) + "\n");
    }

    bool Exit(Words& w)
    {
        int status = -1, expected = std::stoi(w.at(2));
        bool ended = WaitFor([&] { return t.Exited(status); });
        Words console = Lines(t.Console());
        return (ended && status == expected) ||
               Fail((ended ? "  it ended with " + std::to_string(status) : "  the service is still running") + "\n" +
                    Listing(console, console.size() > 24 ? console.size() - 24 : 0, "the console's end"));
    }

    bool RegistryValue(Words& w)
    {
        std::string data;
        if (!t.ReadRegistry(w.at(2), w.at(3), data))
            return Fail("  no such value\n");
        return data == w.at(4) || Fail("  it holds \"" + data + "\"\n");
    }

    // expect printed "TEXT" [status N]: of the last command
    bool Printed(Words& w)
    {
        bool status = w.size() < 5 || last.exitStatus == std::stoi(w.at(4));
        return (last.output == w.at(2) && status) ||
               Fail("  it printed (status " + std::to_string(last.exitStatus) + "):\n" + last.output);
    }
};

const std::map<std::string, std::function<bool(Run&, Words&)>> Run::Verbs = {
    {"registry", [](Run& r, Words&) { return r.Did(r.t.ApplyRegistry(r.step->block, r.error)); }},
    {"start", [](Run& r, Words& w) { return r.Did(r.t.Start((r.debug = w.size() > 1 && w[1] == "debug"), r.error)); }},
    {"stop", [](Run& r, Words&) { return r.Did(r.t.Stop(r.error)); }},
    {"driver", &Run::Present}, {"winlogon", &Run::Present},
    {"command", [](Run& r, Words& w) { return (r.last = r.t.Command({w.begin() + 1, w.end()})), true; }},
    {"polls", [](Run& r, Words& w) { return r.Polls(std::stol(w.at(1))); }},
    {"type", &Run::Type}, {"press", &Run::Panel}, {"release", &Run::Panel}, {"tap", &Run::Panel},
    {"silence", &Run::Panel}, {"delay", &Run::Panel}, {"garbage", &Run::Panel}, {"badchecksum", &Run::Panel},
    {"wrongid", &Run::Panel}, {"short", &Run::Panel}, {"nodebits", &Run::Panel}, {"normal", &Run::Panel},
    {"hangup", &Run::Panel}, {"drip", &Run::Panel}, {"stale", &Run::Panel},
    {"expect key", &Run::Key}, {"expect hotkey", &Run::Key},
    {"expect text", &Run::Text}, {"expect keys", &Run::AllUp}, {"expect no", &Run::No},
    {"expect event", &Run::Next}, {"expect output", &Run::Next}, {"expect status", &Run::Next},
    {"expect leds", &Run::Next}, {"expect state", &Run::Next}, {"expect notify", &Run::Next},
    {"expect count", &Run::Count}, {"expect blink", &Run::Blink}, {"expect requests", &Run::Requests},
    {"expect exit", &Run::Exit}, {"expect printed", &Run::Printed}, {"expect last", &Run::Last},
    {"expect registry", &Run::RegistryValue},
};

// One scenario (one table row) from a fresh machine to its end.
std::string RunOne(const Scenario& s, const Targets& targets, const MessageTable& table, const std::string& kplsim,
                   double slowness)
{
    Words argv = {kplsim, "--trace", "--quiet", "--script", "-"};
    argv.insert(argv.end(), s.keypanel.begin(), s.keypanel.end());
    Keypanel keypanel(argv);
    if (keypanel.path.rfind("/dev/", 0) != 0)
        return s.path + ": kplsim did not start: " + keypanel.path;
    auto target = targets(keypanel.path);
    std::string failure = Run{s, *target, keypanel, table, slowness}.Execute(), error;
    // A service still running is stopped, as a machine would be shut down.
    int status;
    if (!target->Exited(status) && target->Stop(error))
        kpltest::WaitUntil([&] { return target->Exited(status); }, std::chrono::milliseconds(20000));
    return failure;
}

int Main(int argc, char** argv)
{
    std::map<std::string, std::string> o = {{"--target", "linux"}, {"--service", ""}, {"--kplsim", ""},
                                            {"--events", ""},       {"--machine", ""}, {"--slowness", "1"}};
    Words files;
    for (int i = 1; i < argc; ++i)
        if (o.count(argv[i]) && i + 1 < argc && ++i)  // an option and its value
            o[argv[i - 1]] = argv[i];
        else
            files.push_back(argv[i]);
    bool wine = o["--target"] == "wine";
    MessageTable table;
    std::string error = "usage: scenario_runner --target linux --service EXE | --target wine --machine machine.sh\n"
                        "       --kplsim EXE --events events.txt [--slowness FACTOR] FILE.scn...\n"
                        "The wine target runs the win32 build (KPL_WIN32_BUILD, default build/win32) under\n"
                        "32-bit wine, or where 32-bit programs cannot run, or with KPL_WINE_ARCH=win64, the\n"
                        "win64 build (KPL_WIN64_BUILD, default build/win64) under wine64.";
    if ((o["--target"] != "linux" && !wine) || o[wine ? "--machine" : "--service"].empty() || o["--kplsim"].empty() ||
        files.empty() || !table.Load(o["--events"], error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string target = o["--target"], why;
    if (wine && !ChooseWineMachine(o["--machine"], target, why)) {
        std::printf("%-34s 0 passed, 1 failed: no wine machine here: %s\n", "scenario wine:", why.c_str());
        return 1;
    }
    if (!why.empty())
        std::printf("%s\n", why.c_str());
    auto targets = wine ? WineTargets(o["--machine"], table) : LinuxTargets(o["--service"]);
    auto known = [](const Words& w) { return Run::Verbs.count(Run::VerbOf(w)) > 0; };
    bool allPassed = true;
    double slowness = std::atof(o["--slowness"].c_str());
    for (const auto& file : files) {
        auto started = Clock::now();
        std::vector<Scenario> scenarios;
        int passed = 0, failed = 0, elsewhere = 0;
        std::string note;
        if (!LoadScenarios(file, o["--target"], known, scenarios, error)) {
            std::printf("%s\n", error.c_str());
            failed = 1;
        }
        for (const auto& s : scenarios) {
            if (!s.targets.empty() && std::find(s.targets.begin(), s.targets.end(), o["--target"]) == s.targets.end()) {
                note = s.row.empty() ? " (not on " + o["--target"] + ": " + s.reason + ")"
                                     : " (" + std::to_string(++elsewhere) + " of " + std::to_string(scenarios.size()) +
                                           " rows are for other targets)";
                continue;
            }
            std::string failure = RunOne(s, targets, table, o["--kplsim"], slowness);
            if (!failure.empty())
                std::printf("%s\n", failure.c_str());
            ++(failure.empty() ? passed : failed);
        }
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::string label = "scenario " + target + " " + file.substr(file.rfind('/') + 1) + ":";
        std::printf("%-34s %d passed, %d failed (%.1f s)%s\n", label.c_str(), passed, failed, seconds, note.c_str());
        std::fflush(stdout);
        allPassed = allPassed && failed == 0;
    }
    return allPassed ? 0 : 1;
}

}  // namespace

}  // namespace scenario

int main(int argc, char** argv)
{
    return scenario::Main(argc, argv);
}
