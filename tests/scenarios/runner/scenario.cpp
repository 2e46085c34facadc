#include "tests/scenarios/runner/scenario.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

namespace scenario {

namespace {

const std::set<std::string> Actions = {
    "start", "stop", "command", "polls", "type", "registry", "driver", "winlogon",
    // the Keypanel's side, carried out by kplsim
    "press", "release", "tap", "silence", "delay", "garbage", "badchecksum", "wrongid", "short", "nodebits",
    "normal", "hangup", "drip"};

const std::set<std::string> Expectations = {"key",    "keys",   "text",   "hotkey", "no",       "event",
                                            "count",  "output", "status", "leds",   "blink",    "requests",
                                            "last",   "exit",   "state",  "notify", "registry", "printed"};

const std::set<std::string> Targets = {"linux", "wine"};

std::string Trim(const std::string& text)
{
    auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// A comment is a line that starts with '#', or what follows " # ".
std::string StripComment(const std::string& line)
{
    std::string text = Trim(line);
    if (!text.empty() && text[0] == '#')
        return "";
    bool quoted = false;
    for (std::size_t i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        if (!quoted && text[i] == ' ' && text[i + 1] == '#' && text[i + 2] == ' ')
            return Trim(text.substr(0, i));
    }
    return text;
}

std::string Substitute(std::string line, const std::vector<std::string>& columns, const std::vector<std::string>& row)
{
    // Longest names first, so $delay does not eat $delaycycles.
    std::vector<std::size_t> order(columns.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](auto a, auto b) { return columns[a].size() > columns[b].size(); });
    for (auto i : order) {
        const std::string name = "$" + columns[i];
        for (auto at = line.find(name); at != std::string::npos; at = line.find(name, at + row[i].size()))
            line.replace(at, name.size(), row[i]);
    }
    return line;
}

bool Parse(const std::vector<std::string>& lines, Scenario& s, std::string& error)
{
    auto fail = [&](std::size_t index, const std::string& message) {
        error = s.path + ":" + std::to_string(index + 1) + ": " + message;
        return false;
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string text = StripComment(lines[i]);
        if (text.empty())
            continue;
        std::vector<std::string> words;
        if (!SplitWords(text, words, error))
            return fail(i, error);
        Step step;
        step.line = static_cast<int>(i + 1);
        step.text = text;
        if (words[0].back() == ':' && Targets.count(words[0].substr(0, words[0].size() - 1))) {
            step.target = words[0].substr(0, words[0].size() - 1);
            words.erase(words.begin());
            if (words.empty())
                return fail(i, "nothing after the target");
        }
        const std::string& verb = words[0];
        if (verb == "table" || verb == "row")
            continue;
        if (verb == "title") {
            s.title = Trim(text.substr(5));
        } else if (verb == "only") {
            for (std::size_t w = 1; w < words.size() && words[w] != "because"; ++w) {
                if (!Targets.count(words[w]))
                    return fail(i, "unknown target '" + words[w] + "'");
                s.targets.push_back(words[w]);
            }
            auto because = text.find(" because ");
            if (s.targets.empty() || because == std::string::npos)
                return fail(i, "only TARGET... because REASON");
            s.onlyReason = Trim(text.substr(because + 9));
        } else if (verb == "keypanel") {
            s.keypanel.assign(words.begin() + 1, words.end());
        } else if (verb == "cycle") {
            if (words.size() != 2 || words[1].find_first_not_of("0123456789") != std::string::npos)
                return fail(i, "cycle takes milliseconds");
            s.cycle = static_cast<unsigned>(std::stoul(words[1]));
        } else if (verb == "registry" && words.size() == 1) {
            std::size_t end = i + 1;
            while (end < lines.size() && Trim(lines[end]) != "end")
                ++end;
            if (end == lines.size())
                return fail(i, "registry block without 'end'");
            for (std::size_t b = i + 1; b < end; ++b)
                if (!Trim(lines[b]).empty() && Trim(lines[b])[0] != '#')
                    step.block += Trim(lines[b]) + "\n";
            step.words = words;
            s.steps.push_back(step);
            i = end;
        } else if (verb == "expect") {
            if (words.size() < 2 || !Expectations.count(words[1]))
                return fail(i, "unknown expectation '" + text + "'");
            step.words = words;
            s.steps.push_back(step);
        } else if (Actions.count(verb)) {
            if (verb == "registry")
                return fail(i, "registry takes no words; its block ends with 'end'");
            step.words = words;
            s.steps.push_back(step);
        } else {
            return fail(i, "unknown step '" + verb + "'");
        }
    }
    return true;
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error)
{
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        if (line[i] != '"') {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                word += line[i++];
            words.push_back(word);
            continue;
        }
        for (++i;; ++i) {
            if (i >= line.size()) {
                error = "unterminated quote";
                return false;
            }
            if (line[i] == '"')
                break;
            if (line[i] == '\\' && i + 1 < line.size()) {
                char c = line[++i];
                word += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            } else {
                word += line[i];
            }
        }
        ++i;
        words.push_back(word);
    }
    return true;
}

bool LoadScenarios(const std::string& path, std::vector<Scenario>& scenarios, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);

    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::vector<std::string> words;
        std::string text = StripComment(lines[i]);
        if (text.empty() || !SplitWords(text, words, error))
            continue;
        if (words[0] == "table") {
            columns.assign(words.begin() + 1, words.end());
        } else if (words[0] == "row") {
            if (words.size() != columns.size() + 1) {
                error = path + ":" + std::to_string(i + 1) + ": a row needs one value per table column";
                return false;
            }
            rows.emplace_back(words.begin() + 1, words.end());
        }
    }
    if (rows.empty())
        rows.emplace_back();
    for (const auto& row : rows) {
        Scenario s;
        s.path = path;
        std::vector<std::string> expanded;
        for (const auto& line : lines)
            expanded.push_back(columns.empty() ? line : Substitute(line, columns, row));
        for (std::size_t c = 0; c < columns.size(); ++c) {
            s.row += (c ? " " : "") + columns[c] + "=" + row[c];
            // A column "targets" names the targets a row runs on ("linux,wine").
            if (columns[c] == "targets") {
                std::stringstream list(row[c]);
                for (std::string t; std::getline(list, t, ',');)
                    s.targets.push_back(t);
                s.onlyReason = "a row for " + row[c];
            }
        }
        if (!Parse(expanded, s, error))
            return false;
        scenarios.push_back(std::move(s));
    }
    return true;
}

}  // namespace scenario
