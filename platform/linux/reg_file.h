// The registry's text form: the .reg files Windows administrators know.
// Pure text in, tree out and back; the file handling is the caller's.
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

struct Value {
    std::string name;  // spelling as first written; empty for the default value
    DWORD type = 0;
    // As the A functions see it: strings are 8-bit even where a .reg file
    // holds UTF-16.
    std::vector<BYTE> data;
};

struct Key {
    std::string name;  // spelling as first written
    bool isVolatile = false;
    // Identity for open handles, so that a key deleted and created again is
    // another key. Not part of the content.
    std::uint64_t id = 0;
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

struct ParseError {
    std::size_t line = 0;
    std::string message;
};

// Fills a fresh tree from .reg text (version 5 or REGEDIT4, UTF-8/Latin-1 or
// UTF-16LE with its byte-order mark). False, with the first fault, when the
// text is malformed; an empty text is an empty registry.
bool ParseRegText(std::string_view text, Tree& tree, ParseError& error);

// Version 5 text of the tree, volatile keys left out.
std::string WriteRegText(const Tree& tree);

// Same names, volatility, values and subkeys; identities are not compared.
bool SameContent(const Key& a, const Key& b);

}  // namespace kplreg
