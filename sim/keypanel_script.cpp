#include "sim/keypanel_script.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace kplsim {

namespace {

bool ParseNumber(const std::string& word, int base, unsigned long limit, unsigned long& value)
{
    std::string digits = word;
    if (base == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 10)
        return false;
    for (char c : digits) {
        bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c));
        if (!ok)
            return false;
    }
    value = std::strtoul(digits.c_str(), nullptr, base);
    return value <= limit;
}

struct Verb {
    const char* name;
    ScriptVerb verb;
};

constexpr Verb Verbs[] = {
    {"press", ScriptVerb::Press},     {"release", ScriptVerb::Release},         {"tap", ScriptVerb::Tap},
    {"wait", ScriptVerb::Wait},       {"polls", ScriptVerb::Polls},             {"silence", ScriptVerb::Silence},
    {"delay", ScriptVerb::Delay},     {"garbage", ScriptVerb::Garbage},         {"badchecksum", ScriptVerb::BadChecksum},
    {"wrongid", ScriptVerb::WrongId}, {"short", ScriptVerb::Short},             {"nodebits", ScriptVerb::NodeBits},
    {"normal", ScriptVerb::Normal},   {"hangup", ScriptVerb::Hangup},           {"counts", ScriptVerb::Counts},
    {"quit", ScriptVerb::Quit},       {"drip", ScriptVerb::Drip},               {"stale", ScriptVerb::Stale},
};

constexpr unsigned long MaxMilliseconds = 24ul * 3600 * 1000;

}  // namespace

bool ParseScriptLine(const std::string& line, ScriptCommand& command, std::string& error)
{
    command = ScriptCommand{};
    std::istringstream words(line.substr(0, line.find('#')));
    std::string name;
    if (!(words >> name))
        return true;
    std::vector<std::string> args;
    for (std::string word; words >> word;)
        args.push_back(word);

    const Verb* verb = nullptr;
    for (const auto& candidate : Verbs) {
        if (name == candidate.name)
            verb = &candidate;
    }
    if (verb == nullptr) {
        error = "unknown command '" + name + "'";
        return false;
    }
    command.verb = verb->verb;
    unsigned long value = 0;
    auto optionalCount = [&](std::size_t at, int fallback) {
        if (args.size() <= at) {
            command.count = fallback;
            return args.size() == at;
        }
        if (args.size() > at + 1)
            return false;
        if (args[at] == "always") {
            command.count = AlwaysCount;
            return true;
        }
        if (!ParseNumber(args[at], 10, 1000000, value) || value == 0)
            return false;
        command.count = static_cast<int>(value);
        return true;
    };

    bool ok = true;
    switch (command.verb) {
    case ScriptVerb::Press:
    case ScriptVerb::Release:
    case ScriptVerb::Tap:
        if (command.verb == ScriptVerb::Release && args.size() == 1 && args[0] == "all") {
            command.verb = ScriptVerb::ReleaseAll;
            break;
        }
        ok = !args.empty();
        for (const auto& arg : args) {
            if (!ParseNumber(arg, 10, KeyCount - 1, value)) {
                ok = false;
                break;
            }
            command.keys.push_back(static_cast<int>(value));
        }
        if (!ok)
            error = name + " takes key numbers from 0 to 127";
        break;
    case ScriptVerb::Wait:
    case ScriptVerb::Delay:
    case ScriptVerb::Drip:
        ok = args.size() == 1 && ParseNumber(args[0], 10, MaxMilliseconds, value);
        command.milliseconds = static_cast<unsigned>(value);
        if (!ok)
            error = name + " takes milliseconds";
        break;
    case ScriptVerb::Polls:
        ok = args.size() == 1 && ParseNumber(args[0], 10, 1000000, value) && value > 0;
        command.count = static_cast<int>(value);
        if (!ok)
            error = "polls takes a number of requests";
        break;
    case ScriptVerb::Garbage:
        ok = !args.empty() && args.size() <= 256;
        for (const auto& arg : args) {
            if (!ParseNumber(arg, 16, 0xFF, value)) {
                ok = false;
                break;
            }
            command.bytes.push_back(static_cast<std::uint8_t>(value));
        }
        if (!ok)
            error = "garbage takes up to 256 hexadecimal bytes";
        break;
    case ScriptVerb::Silence:
        ok = optionalCount(0, AlwaysCount);
        if (!ok)
            error = "silence takes a count or 'always'";
        break;
    case ScriptVerb::BadChecksum:
    case ScriptVerb::Short:
    case ScriptVerb::NodeBits:
        ok = optionalCount(0, 1);
        if (!ok)
            error = name + " takes a count or 'always'";
        break;
    case ScriptVerb::WrongId:
        ok = !args.empty() && ParseNumber(args[0], 16, 0xFF, value);
        command.id = static_cast<std::uint8_t>(value);  // before the count reuses value
        ok = ok && optionalCount(1, 1);
        if (!ok)
            error = "wrongid takes a hexadecimal id, then a count or 'always'";
        break;
    default:
        ok = args.empty();
        if (!ok)
            error = name + " takes no arguments";
        break;
    }
    if (!ok)
        command = ScriptCommand{};
    return ok;
}

bool ApplyToModel(KeypanelModel& model, const ScriptCommand& command)
{
    switch (command.verb) {
    case ScriptVerb::Press:
        for (int key : command.keys)
            model.Press(key);
        return true;
    case ScriptVerb::Release:
        for (int key : command.keys)
            model.Release(key);
        return true;
    case ScriptVerb::Tap:
        for (int key : command.keys)
            model.Tap(key);
        return true;
    case ScriptVerb::ReleaseAll: model.ReleaseAll(); return true;
    case ScriptVerb::Silence: model.Silence(command.count); return true;
    case ScriptVerb::Delay: model.SetReplyDelay(command.milliseconds); return true;
    case ScriptVerb::Garbage: model.SendGarbage(command.bytes); return true;
    case ScriptVerb::BadChecksum: model.BadChecksum(command.count); return true;
    case ScriptVerb::WrongId: model.WrongId(command.id, command.count); return true;
    case ScriptVerb::Short: model.ShortReply(command.count); return true;
    case ScriptVerb::NodeBits: model.NodeBits(command.count); return true;
    case ScriptVerb::Drip: model.Drip(command.milliseconds); return true;
    case ScriptVerb::Normal: model.ClearFaults(); return true;
    default: return false;
    }
}

}  // namespace kplsim
