// Any bytes may be handed to the .reg reader; whatever it accepts must come
// back byte for byte, and an edit must change the tree by exactly itself.
#include "platform/linux/reg_file.h"
#include "platform/linux/winreg.h"
#include "tests/fuzz/check.h"

#include <cstdint>
#include <string_view>

namespace {

// The key reached through first subkeys from the first hive that has any.
kplreg::Key* Deepest(const kplreg::Key& root, std::string& path)
{
    for (const auto& hive : root.subkeys) {
        if (hive.second->subkeys.empty())
            continue;
        kplreg::Key* key = hive.second.get();
        path = key->name;
        while (!key->subkeys.empty()) {
            key = key->subkeys.begin()->second.get();
            path += "\\" + key->name;
        }
        return key;
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    kplreg::Document document;
    kplreg::Tree tree;
    kplreg::ParseError error;
    if (!kplreg::ParseRegText(input, document, tree, error))
        return 0;
    Check(document.Bytes() == input);

    // Set a value (named and filled from the input) on one key.
    std::string path;
    kplreg::Key* key = Deepest(tree.root, path);
    if (!key)
        return 0;
    const std::string name(input.substr(0, size % 7));
    if (name.find_first_of(std::string_view("\0\n", 2)) != std::string::npos)
        return 0;
    kplreg::Value value{name, static_cast<DWORD>(size % 3 == 0 ? REG_SZ : size % 3 == 1 ? REG_EXPAND_SZ : REG_DWORD),
                        std::vector<BYTE>(input.begin() + static_cast<std::ptrdiff_t>(size / 2), input.end()), {}};
    if (const kplreg::Value* old = key->FindValue(name))
        value.name = old->name;
    kplreg::Tree expected = tree.Clone();
    std::string ignored;
    kplreg::Key* target = Deepest(expected.root, ignored);
    target->SetValue(value.name, value.type, value.data);
    kplreg::EditSetValue(document, key, path, value);
    kplreg::Tree after;
    Check(kplreg::ParseRegText(document.Bytes(), after, error) && kplreg::SameContent(expected.root, after.root));
    return 0;
}
