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

std::string Shortened(std::string_view text)
{
    constexpr std::size_t limit = 60;
    return text.size() <= limit ? std::string(text) : std::string(text.substr(0, limit)) + "...";
}

// Bytes of an A string that are not UTF-8 travel through UTF-16 as these units.
constexpr unsigned EscapedByteBase = 0xDC00;

void AppendUtf8(std::string& out, unsigned point)
{
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | point >> 6);
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | point >> 12);
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | point >> 18);
        out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Length of the UTF-8 sequence at text[i] and its code point; 0 when the
// byte starts none. Surrogates are taken only where asked for: line text of
// a UTF-16 file keeps units that were not well formed as they were.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, unsigned& point, bool surrogates)
{
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = at(i);
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4                              ? 4
                                                                                     : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    point = lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        if ((at(i + k) & 0xC0) != 0x80)
            return 0;
        point = point << 6 | (at(i + k) & 0x3F);
    }
    const unsigned lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < lowest[length] || point > 0x10FFFF || (!surrogates && point >= 0xD800 && point <= 0xDFFF))
        return 0;
    return length;
}

std::vector<unsigned> Units(const BYTE* bytes, std::size_t size)
{
    std::vector<unsigned> units(size / 2);
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<unsigned>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return units;
}

void PutUnit(std::vector<BYTE>& out, unsigned unit)
{
    out.push_back(static_cast<BYTE>(unit));
    out.push_back(static_cast<BYTE>(unit >> 8));
}

// UTF-16 units to UTF-8; lone surrogates become their three-byte form, or,
// when `bytes`, the units that stand for single bytes become those bytes.
std::string FromUnits(const std::vector<unsigned>& units, bool bytes)
{
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        unsigned u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (bytes && u >= EscapedByteBase + 0x80 && u <= EscapedByteBase + 0xFF) {
            out += static_cast<char>(u - EscapedByteBase);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

// UTF-8 to UTF-16LE; with `surrogates`, the inverse of FromUnits(.., false),
// else bytes that are not UTF-8 become single units.
std::vector<BYTE> ToUnits(std::string_view text, bool surrogates)
{
    std::vector<BYTE> out;
    out.reserve(text.size() * 2);
    for (std::size_t i = 0; i < text.size();) {
        unsigned point = 0;
        std::size_t length = DecodeUtf8(text, i, point, surrogates);
        if (length == 0) {
            PutUnit(out, EscapedByteBase + static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (point >= 0x10000) {
            PutUnit(out, 0xD800 + ((point - 0x10000) >> 10));
            PutUnit(out, 0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            PutUnit(out, point);
        }
        i += length;
    }
    return out;
}

// Quoted text in a UTF-16 file as the A functions see it, and back.
std::string AnsiFromLineText(std::string_view text)
{
    std::vector<BYTE> wide = ToUnits(text, true);
    return FromUnits(Units(wide.data(), wide.size()), true);
}

std::string LineTextFromAnsi(std::string_view text)
{
    std::vector<BYTE> wide = ToUnits(text, false);
    return FromUnits(Units(wide.data(), wide.size()), false);
}

class Parser {
public:
    Parser(Document& document, Tree& tree, ParseError& error) : document_(document), tree_(tree), error_(error) {}

    bool Run()
    {
        const auto& lines = document_.lines;
        std::size_t first = 0;
        while (first < lines.size() && Trim(lines[first].text).empty())
            ++first;
        if (first == lines.size())
            return true;
        if (first != 0)
            return FailAt(first + 1, "the first line must be \"Windows Registry Editor Version 5.00\" (or \"REGEDIT4\")");
        std::string_view line = TrimRight(lines[0].text);
        if (line == Version5)
            document_.wideStrings = true;
        else if (line == Version4)
            document_.wideStrings = false;
        else
            return FailAt(1, "the first line must be \"Windows Registry Editor Version 5.00\" (or \"REGEDIT4\")");
        for (index_ = 1; index_ < lines.size(); ++index_) {
            std::string_view s = TrimLeft(lines[index_].text);
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
    bool Fail(std::string message) { return FailAt(index_ + 1, std::move(message)); }

    bool FailAt(std::size_t line, std::string message)
    {
        error_.line = line;
        error_.message = std::move(message);
        return false;
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
        key->headers.push_back(index_);
        current_ = key;
        return true;
    }

    bool ValueLine(std::string_view rest)
    {
        const std::size_t start = index_;
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
            if (document_.encoding == Document::Encoding::Utf16)
                text = AnsiFromLineText(text);
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
                if (++index_ == document_.lines.size())
                    return FailAt(start + 1, "hex data continued past the end of the file");
                rest = document_.lines[index_].text;
            }
            if (!HexBytes(body, data, start + 1))
                return false;
            if (document_.wideStrings && IsWideStringType(type)) {
                if (data.size() % 2 != 0)
                    return FailAt(start + 1, "odd number of bytes in UTF-16 string data");
                std::string text = Utf8FromUtf16(data.data(), data.size());
                data.assign(text.begin(), text.end());
            }
        } else {
            return Fail("value data must be \"text\", dword:, hex: or hex(type):");
        }
        current_->SetValue(name, type, std::move(data));
        auto& lines = current_->values.find(FoldName(name))->second.lines;
        lines.push_back({start, index_ + 1 - start});
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

    Document& document_;
    Tree& tree_;
    ParseError& error_;
    std::size_t index_ = 0;
    Key* current_ = nullptr;
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
        if (data[i] == 0 || data[i] == '\n' || data[i] == '\r')
            return false;
    return true;
}

// The value's lines, in regedit's layout: hex data wrapped at about 80
// columns and continued with a backslash.
std::vector<std::string> ValueLines(const Value& value, const Document& document)
{
    std::string out;
    if (value.name.empty())
        out += '@';
    else
        AppendQuoted(out, value.name);
    out += '=';
    char number[24];
    if (IsPlainString(value)) {
        std::string_view text(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1);
        AppendQuoted(out, document.encoding == Document::Encoding::Utf16 ? LineTextFromAnsi(text) : std::string(text));
        return {out};
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD dword = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | static_cast<DWORD>(value.data[3]) << 24;
        std::snprintf(number, sizeof number, "dword:%08x", dword);
        return {out + number};
    }
    if (value.type == REG_BINARY) {
        out += "hex:";
    } else {
        std::snprintf(number, sizeof number, "hex(%x):", value.type);
        out += number;
    }
    const std::vector<BYTE> bytes =
        document.wideStrings && IsWideStringType(value.type)
            ? Utf16FromUtf8(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size()))
            : value.data;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(number, sizeof number, "%02x", bytes[i]);
        out += number;
        if (i + 1 < bytes.size()) {
            out += ',';
            if (out.size() > 76) {
                lines.push_back(out + "\\");
                out = "  ";
            }
        }
    }
    lines.push_back(out);
    return lines;
}

bool IsHeader(const Document::Line& line)
{
    std::string_view s = TrimLeft(line.text);
    return !s.empty() && s.front() == '[';
}

bool IsContent(const Document::Line& line)
{
    std::string_view s = TrimLeft(line.text);
    return !s.empty() && s.front() != ';';
}

bool IsEmpty(const Document::Line& line)
{
    return Trim(line.text).empty();
}

// The file's own line end for new lines.
std::string NewLine(const Document& document)
{
    for (const auto& line : document.lines)
        if (!line.end.empty())
            return line.end;
    return "\n";
}

// One past the last value line of the section that starts at `header`:
// comments and blank lines after it stay with what follows.
std::size_t SectionEnd(const Document& document, std::size_t header)
{
    std::size_t end = header + 1;
    for (std::size_t i = header + 1; i < document.lines.size() && !IsHeader(document.lines[i]); ++i)
        if (IsContent(document.lines[i]))
            end = i + 1;
    return end;
}

void InsertLines(Document& document, std::size_t at, const std::vector<std::string>& texts)
{
    const std::string end = NewLine(document);
    if (at == document.lines.size() && at > 0 && document.lines.back().end.empty())
        document.lines.back().end = end;
    std::vector<Document::Line> lines;
    for (const auto& text : texts)
        lines.push_back({text, end});
    document.lines.insert(document.lines.begin() + static_cast<std::ptrdiff_t>(at), lines.begin(), lines.end());
}

// A new section at the end, after a blank line; a new document starts with
// the version line.
void AppendSection(Document& document, std::string_view path, std::vector<std::string> body)
{
    std::vector<std::string> texts;
    if (document.lines.empty())
        texts.emplace_back(Version5);
    if (texts.size() + document.lines.size() > 0 && (document.lines.empty() || !IsEmpty(document.lines.back())))
        texts.emplace_back();
    texts.push_back("[" + std::string(path) + "]");
    texts.insert(texts.end(), body.begin(), body.end());
    InsertLines(document, document.lines.size(), texts);
}

void EraseLines(Document& document, std::size_t first, std::size_t count)
{
    auto begin = document.lines.begin() + static_cast<std::ptrdiff_t>(first);
    document.lines.erase(begin, begin + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

std::string Utf8FromUtf16(const BYTE* bytes, std::size_t size)
{
    return FromUnits(Units(bytes, size), true);
}

std::vector<BYTE> Utf16FromUtf8(std::string_view text)
{
    return ToUnits(text, false);
}

std::string Document::Bytes() const
{
    std::string text;
    for (const auto& line : lines)
        text.append(line.text).append(line.end);
    switch (encoding) {
    case Encoding::Utf8: return text;
    case Encoding::Utf8WithMark: return "\xEF\xBB\xBF" + text;
    case Encoding::Utf16: break;
    }
    std::vector<BYTE> wide = ToUnits(text, true);
    return "\xFF\xFE" + std::string(wide.begin(), wide.end());
}

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
    copy->headers = headers;
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

bool ParseRegText(std::string_view bytes, Document& document, Tree& tree, ParseError& error)
{
    document = Document{};
    std::string decoded;
    std::string_view text = bytes;
    // Regedit itself writes UTF-16LE with a byte-order mark.
    if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            error = {1, "UTF-16 file with an odd number of bytes"};
            return false;
        }
        document.encoding = Document::Encoding::Utf16;
        decoded = FromUnits(Units(reinterpret_cast<const BYTE*>(bytes.data()) + 2, bytes.size() - 2), false);
        text = decoded;
    } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        document.encoding = Document::Encoding::Utf8WithMark;
        text.remove_prefix(3);
    }
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        std::string_view terminator = end == std::string_view::npos ? "" : "\n";
        if (!terminator.empty() && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            terminator = "\r\n";
        }
        document.lines.push_back({std::string(line), std::string(terminator)});
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return Parser(document, tree, error).Run();
}

bool ParseRegText(std::string_view bytes, Tree& tree, ParseError& error)
{
    Document document;
    return ParseRegText(bytes, document, tree, error);
}

void EditSetValue(Document& document, const Key* key, std::string_view path, const Value& value)
{
    std::vector<std::string> texts = ValueLines(value, document);
    const Value* old = key ? key->FindValue(value.name) : nullptr;
    if (old && !old->lines.empty()) {
        // The last definition holds; earlier ones stay overridden by it.
        const LineSpan span = old->lines.back();
        EraseLines(document, span.first, span.count);
        InsertLines(document, span.first, texts);
    } else if (key && !key->headers.empty()) {
        InsertLines(document, SectionEnd(document, key->headers.back()), texts);
    } else {
        AppendSection(document, path, std::move(texts));
    }
}

void EditAddKey(Document& document, std::string_view path)
{
    AppendSection(document, path, {});
}

void EditDeleteKey(Document& document, const Key& key)
{
    for (auto header = key.headers.rbegin(); header != key.headers.rend(); ++header) {
        std::size_t first = *header;
        std::size_t end = SectionEnd(document, first);
        // The blank line that set the section apart goes with it.
        bool blankBefore = first > 0 && IsEmpty(document.lines[first - 1]);
        bool blankAfter = end == document.lines.size() || IsEmpty(document.lines[end]);
        if (blankBefore && blankAfter)
            --first;
        EraseLines(document, first, end - first);
    }
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
