// The registry's text form: the .reg files Windows administrators know.
// Pure text in, tree out; a change is an edit of the lines it touches, so
// comments, order, line ends and encoding of the rest stay as they were.
// The file handling is the caller's.
#pragma once

#include "platform/linux/windef.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kplreg {

// Windows' own limits; they also bound the tree's depth for the recursive walks.
constexpr std::size_t MaxKeyNameLength = 255;
constexpr std::size_t MaxKeyDepth = 512;
constexpr std::size_t MaxValueNameLength = 16383;

// Names compare without regard to ASCII case: maps are keyed by this form.
std::string FoldName(std::string_view name);

// Lines of a document that define one thing: the first and how many.
struct LineSpan {
    std::size_t first = 0;
    std::size_t count = 0;
};

struct Value {
    std::string name;  // spelling as first written; empty for the default value
    DWORD type = 0;
    // As the A functions see it. Text is UTF-8, the Linux code page; bytes
    // that are not UTF-8 are kept as they are, through UTF-16 too.
    std::vector<BYTE> data;
    // Every definition since the value was last deleted; the last one holds.
    std::vector<LineSpan> lines;
};

struct Key {
    std::string name;  // spelling as first written
    bool isVolatile = false;
    // Identity for open handles, so that a key deleted and created again is
    // another key. Not part of the content.
    std::uint64_t id = 0;
    // Its own "[...]" lines since it was last deleted.
    std::vector<std::size_t> headers;
    std::map<std::string, Value> values;
    std::map<std::string, std::unique_ptr<Key>> subkeys;

    Key* Find(std::string_view subkeyName) const;
    // The subkey of that name, created (with this spelling) when missing.
    Key& Add(std::string_view subkeyName);
    const Value* FindValue(std::string_view valueName) const;
    // Replaces the data of an existing value, keeping its spelling.
    void SetValue(std::string_view valueName, DWORD type, std::vector<BYTE> data);
    std::unique_ptr<Key> Clone() const;
};

// The whole registry; the root's subkeys are the four hives, always present.
struct Tree {
    Tree();
    Tree Clone() const;
    Key root;
};

// HKEY_LOCAL_MACHINE for "HKLM" or any case of the full name; null when unknown.
const char* CanonicalHiveName(std::string_view name);

// A .reg file as lines. Line text is UTF-8 whatever the file's encoding;
// the file's bytes come back unchanged from Bytes() until an edit.
struct Document {
    enum class Encoding { Utf8, Utf8WithMark, Utf16 };
    struct Line {
        std::string text;
        std::string end;  // "\r\n", "\n", or "" for a last line without one
    };
    Encoding encoding = Encoding::Utf8;
    bool wideStrings = true;  // version 5: string data in hex form is UTF-16LE
    std::vector<Line> lines;

    std::string Bytes() const;
};

struct ParseError {
    std::size_t line = 0;
    std::string message;
};

// Reads .reg bytes (version 5 or REGEDIT4; UTF-8, Latin-1 or UTF-16LE with
// its byte-order mark) into a document and a fresh tree whose keys and values
// know their lines. False, with the first fault, when the text is malformed;
// an empty text is an empty registry.
bool ParseRegText(std::string_view bytes, Document& document, Tree& tree, ParseError& error);
bool ParseRegText(std::string_view bytes, Tree& tree, ParseError& error);

// Edits of a document parsed into `tree`; each touches only the lines of the
// key or value named. A path is the key's full name ("HKEY_LOCAL_MACHINE\...")
// as it is to be written; `key` is the key in `tree`, null when the document
// does not hold it yet. Parse the document again before the next edit.
void EditSetValue(Document& document, const Key* key, std::string_view path, const Value& value);
void EditAddKey(Document& document, std::string_view path);
void EditDeleteKey(Document& document, const Key& key);

// Same names, volatility, values and subkeys; identities and lines are not compared.
bool SameContent(const Key& a, const Key& b);

// UTF-16LE to UTF-8 and back, lossless for every byte string and every
// sequence of UTF-16 units that such a conversion produces.
std::string Utf8FromUtf16(const BYTE* bytes, std::size_t size);
std::vector<BYTE> Utf16FromUtf8(std::string_view text);

}  // namespace kplreg
