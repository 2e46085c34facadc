// A scenario file as steps: comments, quoting, target prefixes, registry
// blocks, and a table's rows each made into a scenario of its own.
#include "tests/scenarios/runner/runner.h"

#include "tests/support/test_support.h"

#include <algorithm>
#include <numeric>
#include <regex>

namespace scenario {

namespace {

const std::regex Comma(","), Blanks("^[ \t\r]+|[ \t\r]+$");

std::string Trim(const std::string& text)
{
    return std::regex_replace(text, Blanks, "");
}

// A comment is a line that starts with '#', or what follows " # ".
std::string StripComment(const std::string& line)
{
    std::string text = Trim(line);
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        quoted = quoted != (text[i] == '"');
        if (!quoted && text[i] == '#' && (i == 0 || (text[i - 1] == ' ' && text.compare(i, 2, "# ") == 0)))
            return Trim(text.substr(0, i));
    }
    return text;
}

// Blanks separate words; "double quotes" keep blanks, with the escapes
// \" \\ \n \r \t inside them.
bool SplitWords(const std::string& line, Words& words, std::string& error)
{
    words.clear();
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ' ' || line[i] == '\t')
            continue;
        std::string word;
        for (bool quoted = false; i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')); ++i) {
            if (line[i] == '"') {
                quoted = !quoted;
            } else if (quoted && line[i] == '\\' && i + 1 < line.size()) {
                char c = line[++i];
                word += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            } else {
                word += line[i];
            }
            if (quoted && i + 1 == line.size()) {
                error = "unterminated quote";
                return false;
            }
        }
        words.push_back(word);
    }
    return true;
}

std::string Substitute(std::string line, const Words& columns, const Words& row)
{
    // Longest names first, so $delay does not eat $delayms.
    std::vector<std::size_t> order(columns.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](auto a, auto b) { return columns[a].size() > columns[b].size(); });
    for (auto i : order) {
        std::string name = "$" + columns[i];
        for (auto at = line.find(name); at != std::string::npos; at = line.find(name, at + row[i].size()))
            line.replace(at, name.size(), row[i]);
    }
    return line;
}

bool Parse(const Words& lines, const std::function<bool(const Words&)>& known, Scenario& s, std::string& error)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Step step{static_cast<int>(i + 1), "", {}, StripComment(lines[i]), ""};
        auto fail = [&](const std::string& message) {
            error = s.path + ":" + std::to_string(step.line) + ": " + message;
            return false;
        };
        Words& w = step.words;
        if (step.text.empty())
            continue;
        if (!SplitWords(step.text, w, error))
            return fail(error);
        if (w[0] == "linux:" || w[0] == "wine:") {
            step.target = w[0].substr(0, w[0].size() - 1);
            w.erase(w.begin());
        }
        if (w.empty())
            return fail("nothing after the target");
        if (w[0] == "only") {
            auto because = std::find(w.begin(), w.end(), "because");
            s.targets.assign(w.begin() + 1, because);
            if (s.targets.empty() || because == w.end() ||
                !std::all_of(s.targets.begin(), s.targets.end(), [](auto& t) { return t == "linux" || t == "wine"; }))
                return fail("only linux|wine... because REASON");
            s.reason = Trim(step.text.substr(step.text.find(" because ") + 9));
        } else if (w[0] == "keypanel") {
            s.keypanel.assign(w.begin() + 1, w.end());
        } else if (w[0] == "cycle") {
            if (w.size() != 2 || w[1].find_first_not_of("0123456789") != std::string::npos)
                return fail("cycle takes milliseconds");
            s.cycle = static_cast<unsigned>(std::stoul(w[1]));
        } else if (w[0] == "registry") {
            if (w.size() != 1)
                return fail("registry takes no words; its block ends with 'end'");
            for (++i; i < lines.size() && Trim(lines[i]) != "end"; ++i)
                if (!Trim(lines[i]).empty() && Trim(lines[i])[0] != '#')
                    step.block += Trim(lines[i]) + "\n";
            if (i == lines.size())
                return fail("registry block without 'end'");
            s.steps.push_back(step);
        } else if (known(w)) {
            s.steps.push_back(step);
        } else if (w[0] != "title" && w[0] != "table" && w[0] != "row") {
            return fail("unknown step '" + step.text + "'");
        }
    }
    return true;
}

}  // namespace

bool LoadScenarios(const std::string& path, const std::string& target, const std::function<bool(const Words&)>& known,
                   std::vector<Scenario>& scenarios, std::string& error)
{
    Words lines = Lines(kpltest::ReadFile(path)), columns, w;
    std::vector<Words> rows;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!SplitWords(StripComment(lines[i]), w, error) || w.empty() || (w[0] != "table" && w[0] != "row"))
            continue;
        error = path + ":" + std::to_string(i + 1) + ": a row needs one value per table column";
        if (w[0] == "row" && w.size() != columns.size() + 1)
            return false;
        (w[0] == "table" ? columns : rows.emplace_back()).assign(w.begin() + 1, w.end());
    }
    error = path + ": cannot be read, or empty";
    if (lines.empty())
        return false;
    if (rows.empty())
        rows.emplace_back();
    for (const auto& row : rows) {
        Scenario s;
        s.path = path;
        Words expanded;
        for (const auto& line : lines)
            expanded.push_back(Substitute(line, columns, row));
        for (std::size_t c = 0; c < columns.size(); ++c) {
            s.row += (c ? " " : "") + columns[c] + "=" + row[c];
            // A column "targets" names the targets a row runs on ("linux,wine").
            if (columns[c] == "targets" && SplitWords(std::regex_replace(row[c], Comma, " "), s.targets, error))
                s.reason = "a row for " + row[c];
        }
        if (!Parse(expanded, known, s, error))
            return false;
        std::erase_if(s.steps, [&](const Step& step) { return !step.target.empty() && step.target != target; });
        scenarios.push_back(std::move(s));
    }
    return true;
}

}  // namespace scenario
