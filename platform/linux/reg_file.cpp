#include "platform/linux/reg_file.h"

#include "platform/linux/winreg.h"

#include <cstdio>

namespace kplreg {

namespace {

constexpr std::string_view Version5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view Version4 = "REGEDIT4";

struct HiveSpelling {
    std::string_view abbreviation;
    const char* name;
};
constexpr HiveSpelling Hives[] = {
    {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKCU", "HKEY_CURRENT_USER"},
    {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"HKU", "HKEY_USERS"},
};

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && SameNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view TrimLeft(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s)
{
    return TrimRight(TrimLeft(s));
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(std::string_view digits, DWORD& number)
{
    if (digits.empty() || digits.size() > 8)
        return false;
    number = 0;
    for (char c : digits) {
        int digit = HexDigit(c);
        if (digit < 0)
            return false;
        number = number << 4 | static_cast<DWORD>(digit);
    }
    return true;
}

// The registry keeps these as UTF-16, so version 5 files hold them so.
bool IsWideStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The 8-bit strings of the A functions are Latin-1: one byte, one UTF-16 unit.
std::vector<BYTE> Widen(const std::vector<BYTE>& narrow)
{
    std::vector<BYTE> wide;
    wide.reserve(narrow.size() * 2);
    for (BYTE b : narrow) {
        wide.push_back(b);
        wide.push_back(0);
    }
    return wide;
}

std::vector<BYTE> Narrow(const std::vector<BYTE>& wide)
{
    std::vector<BYTE> narrow;
    narrow.reserve(wide.size() / 2);
    for (std::size_t i = 0; i + 1 < wide.size(); i += 2) {
        unsigned unit = wide[i] | wide[i + 1] << 8;
        narrow.push_back(unit <= 0xFF ? static_cast<BYTE>(unit) : static_cast<BYTE>('?'));
    }
    return narrow;
}

std::string Shortened(std::string_view text)
{
    constexpr std::size_t limit = 60;
    return text.size() <= limit ? std::string(text) : std::string(text.substr(0, limit)) + "...";
}

class Parser {
public:
    Parser(std::string_view text, Tree& tree, ParseError& error) : tree_(tree), error_(error)
    {
        // Regedit itself writes UTF-16LE with a byte-order mark.
        if (text.size() >= 2 && static_cast<BYTE>(text[0]) == 0xFF && static_cast<BYTE>(text[1]) == 0xFE) {
            std::vector<BYTE> wide(text.begin() + 2, text.end());
            std::vector<BYTE> narrow = Narrow(wide);
            storage_.assign(narrow.begin(), narrow.end());
            text_ = storage_;
        } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
            text_ = text.substr(3);
        } else {
            text_ = text;
        }
    }

    bool Run()
    {
        if (text_.find_first_not_of(" \t\r\n") == std::string_view::npos)
            return true;
        std::string_view line;
        NextLine(line);
        line = TrimRight(line);
        if (line == Version5)
            wideStrings_ = true;
        else if (line == Version4)
            wideStrings_ = false;
        else
            return Fail("the first line must be \"Windows Registry Editor Version 5.00\" (or \"REGEDIT4\")");
        while (NextLine(line)) {
            std::string_view s = TrimLeft(line);
            if (s.empty() || s.front() == ';')
                continue;
            bool ok = s.front() == '[' ? KeyLine(s)
                      : s.front() == '"' || s.front() == '@' ? ValueLine(s)
                                                              : Fail("not a key, value or comment line");
            if (!ok)
                return false;
        }
        return true;
    }

private:
    bool Fail(std::string message) { return FailAt(lineNumber_, std::move(message)); }

    bool FailAt(std::size_t line, std::string message)
    {
        error_.line = line;
        error_.message = std::move(message);
        return false;
    }

    bool NextLine(std::string_view& line)
    {
        if (pos_ >= text_.size())
            return false;
        std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos)
            end = text_.size();
        line = text_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos_ = end + 1;
        ++lineNumber_;
        return true;
    }

    bool KeyLine(std::string_view s)
    {
        s = TrimRight(s);
        if (s.size() < 2 || s.back() != ']')
            return Fail("key line without its closing ']'");
        std::string_view path = s.substr(1, s.size() - 2);
        bool remove = !path.empty() && path.front() == '-';
        if (remove)
            path.remove_prefix(1);
        std::vector<std::string_view> parts;
        for (;;) {
            std::size_t slash = path.find('\\');
            parts.push_back(path.substr(0, slash));
            if (slash == std::string_view::npos)
                break;
            path.remove_prefix(slash + 1);
        }
        const char* hive = CanonicalHiveName(parts.front());
        if (!hive)
            return Fail("unknown root key \"" + Shortened(parts.front()) + "\"");
        if (parts.size() - 1 > MaxKeyDepth)
            return Fail("key nested deeper than 512 levels");
        for (std::size_t i = 1; i < parts.size(); ++i) {
            if (parts[i].empty())
                return Fail("empty key name in the path");
            if (parts[i].size() > MaxKeyNameLength)
                return Fail("key name longer than 255 characters");
            if (parts[i].find('\0') != std::string_view::npos)
                return Fail("NUL character in a key name");
        }
        Key* key = tree_.root.Find(hive);
        if (remove) {
            if (parts.size() == 1)
                return Fail("a root key cannot be deleted");
            for (std::size_t i = 1; key && i + 1 < parts.size(); ++i)
                key = key->Find(parts[i]);
            if (key)
                key->subkeys.erase(FoldName(parts.back()));
            current_ = nullptr;
            return true;
        }
        for (std::size_t i = 1; i < parts.size(); ++i)
            key = &key->Add(parts[i]);
        current_ = key;
        return true;
    }

    bool ValueLine(std::string_view rest)
    {
        const std::size_t start = lineNumber_;
        if (!current_)
            return Fail("value outside a key");
        std::string name;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            rest.remove_prefix(1);
            if (!QuotedString(rest, name))
                return false;
            if (name.find('\0') != std::string::npos)
                return Fail("NUL character in a value name");
            if (name.size() > MaxValueNameLength)
                return Fail("value name longer than 16383 characters");
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=')
            return Fail("expected '=' after the value name");
        rest = TrimLeft(rest.substr(1));
        if (rest.empty())
            return Fail("value without data");

        DWORD type = 0;
        std::vector<BYTE> data;
        if (rest.front() == '-' && TrimRight(rest.substr(1)).empty()) {
            current_->values.erase(FoldName(name));
            return true;
        }
        if (rest.front() == '"') {
            rest.remove_prefix(1);
            std::string text;
            if (!QuotedString(rest, text))
                return false;
            if (!TrimRight(rest).empty())
                return Fail("text after the closing quote");
            type = REG_SZ;
            data.assign(text.begin(), text.end());
            data.push_back(0);
        } else if (StartsNoCase(rest, "dword:")) {
            DWORD number = 0;
            if (!ParseHexNumber(TrimRight(rest.substr(6)), number))
                return Fail("dword value needs 1 to 8 hex digits");
            type = REG_DWORD;
            for (int shift = 0; shift < 32; shift += 8)
                data.push_back(static_cast<BYTE>(number >> shift));
        } else if (StartsNoCase(rest, "hex")) {
            rest.remove_prefix(3);
            type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                std::size_t close = rest.find(')');
                if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), type))
                    return Fail("hex(...) needs a type of 1 to 8 hex digits");
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != ':')
                return Fail("expected ':' after hex");
            rest.remove_prefix(1);
            std::string body;
            for (;;) {
                std::string_view piece = TrimRight(rest);
                if (piece.empty() || piece.back() != '\\') {
                    body.append(piece);
                    break;
                }
                body.append(piece.substr(0, piece.size() - 1));
                if (!NextLine(rest))
                    return FailAt(start, "hex data continued past the end of the file");
            }
            if (!HexBytes(body, data, start))
                return false;
            if (wideStrings_ && IsWideStringType(type)) {
                if (data.size() % 2 != 0)
                    return FailAt(start, "odd number of bytes in UTF-16 string data");
                data = Narrow(data);
            }
        } else {
            return Fail("value data must be \"text\", dword:, hex: or hex(type):");
        }
        current_->SetValue(name, type, std::move(data));
        return true;
    }

    // Reads up to the closing quote; on return rest is what follows it.
    bool QuotedString(std::string_view& rest, std::string& out)
    {
        for (std::size_t i = 0; i < rest.size(); ++i) {
            char c = rest[i];
            if (c == '"') {
                rest.remove_prefix(i + 1);
                return true;
            }
            if (c == '\\') {
                if (++i == rest.size())
                    break;
                if (rest[i] != '\\' && rest[i] != '"')
                    return Fail(std::string("unknown escape \\") + rest[i] + " (write \\\\ for a backslash)");
            }
            out += rest[i];
        }
        return Fail("quoted text without its closing quote");
    }

    bool HexBytes(std::string_view body, std::vector<BYTE>& out, std::size_t line)
    {
        body = Trim(body);
        if (body.empty())
            return true;
        if (body.back() == ',')
            body.remove_suffix(1);
        for (;;) {
            std::size_t comma = body.find(',');
            std::string_view token = Trim(body.substr(0, comma));
            int high = token.size() == 2 ? HexDigit(token[0]) : 0;
            int low = token.empty() || token.size() > 2 ? -1 : HexDigit(token.back());
            if (high < 0 || low < 0)
                return FailAt(line, "bad hex byte \"" + Shortened(token) + "\"");
            out.push_back(static_cast<BYTE>(high << 4 | low));
            if (comma == std::string_view::npos)
                return true;
            body.remove_prefix(comma + 1);
        }
    }

    Tree& tree_;
    ParseError& error_;
    std::string storage_;
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t lineNumber_ = 0;
    Key* current_ = nullptr;
    bool wideStrings_ = true;
};

void AppendQuoted(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

// Only what reads back unchanged goes between quotes.
bool IsPlainString(const Value& value)
{
    const auto& data = value.data;
    if (value.type != REG_SZ || data.empty() || data.back() != 0)
        return false;
    for (std::size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == 0 || data[i] == '\n')
            return false;
    return true;
}

void AppendValue(std::string& out, const Value& value)
{
    if (value.name.empty())
        out += '@';
    else
        AppendQuoted(out, value.name);
    out += '=';
    char number[24];
    if (IsPlainString(value)) {
        AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
        out += '\n';
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD dword = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | static_cast<DWORD>(value.data[3]) << 24;
        std::snprintf(number, sizeof number, "dword:%08x\n", dword);
        out += number;
        return;
    }
    if (value.type == REG_BINARY) {
        out += "hex:";
    } else {
        std::snprintf(number, sizeof number, "hex(%x):", value.type);
        out += number;
    }
    const std::vector<BYTE> bytes = IsWideStringType(value.type) ? Widen(value.data) : value.data;
    // Regedit's layout: lines of about 80 columns, continued with a backslash.
    std::size_t column = out.size() - out.rfind('\n');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(number, sizeof number, "%02x", bytes[i]);
        out += number;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    out += '\n';
}

void AppendKey(std::string& out, std::string& path, const Key& key)
{
    if (key.isVolatile)
        return;
    std::size_t parentLength = path.size();
    path += '\\';
    path += key.name;
    out += "\n[";
    out += path;
    out += "]\n";
    for (const auto& entry : key.values)
        AppendValue(out, entry.second);
    for (const auto& entry : key.subkeys)
        AppendKey(out, path, *entry.second);
    path.resize(parentLength);
}

}  // namespace

std::string FoldName(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded)
        c = Lower(c);
    return folded;
}

Key* Key::Find(std::string_view subkeyName) const
{
    auto found = subkeys.find(FoldName(subkeyName));
    return found == subkeys.end() ? nullptr : found->second.get();
}

Key& Key::Add(std::string_view subkeyName)
{
    auto& slot = subkeys[FoldName(subkeyName)];
    if (!slot) {
        slot = std::make_unique<Key>();
        slot->name = subkeyName;
    }
    return *slot;
}

const Value* Key::FindValue(std::string_view valueName) const
{
    auto found = values.find(FoldName(valueName));
    return found == values.end() ? nullptr : &found->second;
}

void Key::SetValue(std::string_view valueName, DWORD type, std::vector<BYTE> data)
{
    auto [slot, inserted] = values.try_emplace(FoldName(valueName));
    if (inserted)
        slot->second.name = valueName;
    slot->second.type = type;
    slot->second.data = std::move(data);
}

std::unique_ptr<Key> Key::Clone() const
{
    auto copy = std::make_unique<Key>();
    copy->name = name;
    copy->isVolatile = isVolatile;
    copy->id = id;
    copy->values = values;
    for (const auto& entry : subkeys)
        copy->subkeys.emplace(entry.first, entry.second->Clone());
    return copy;
}

Tree::Tree()
{
    for (const auto& hive : Hives)
        root.Add(hive.name);
}

Tree Tree::Clone() const
{
    Tree copy;
    copy.root = std::move(*root.Clone());
    return copy;
}

const char* CanonicalHiveName(std::string_view name)
{
    for (const auto& hive : Hives)
        if (SameNoCase(name, hive.name) || SameNoCase(name, hive.abbreviation))
            return hive.name;
    return nullptr;
}

bool ParseRegText(std::string_view text, Tree& tree, ParseError& error)
{
    return Parser(text, tree, error).Run();
}

std::string WriteRegText(const Tree& tree)
{
    std::string out(Version5);
    out += '\n';
    for (const auto& hiveEntry : tree.root.subkeys) {
        const Key& hive = *hiveEntry.second;
        std::string path = hive.name;
        if (!hive.values.empty()) {
            out += "\n[" + path + "]\n";
            for (const auto& entry : hive.values)
                AppendValue(out, entry.second);
        }
        for (const auto& entry : hive.subkeys)
            AppendKey(out, path, *entry.second);
    }
    return out;
}

bool SameContent(const Key& a, const Key& b)
{
    if (a.name != b.name || a.isVolatile != b.isVolatile || a.values.size() != b.values.size() ||
        a.subkeys.size() != b.subkeys.size())
        return false;
    for (auto x = a.values.begin(), y = b.values.begin(); x != a.values.end(); ++x, ++y)
        if (x->first != y->first || x->second.name != y->second.name || x->second.type != y->second.type ||
            x->second.data != y->second.data)
            return false;
    for (auto x = a.subkeys.begin(), y = b.subkeys.begin(); x != a.subkeys.end(); ++x, ++y)
        if (x->first != y->first || !SameContent(*x->second, *y->second))
            return false;
    return true;
}

}  // namespace kplreg
