// Any bytes may be handed to the .reg reader; whatever it accepts must come
// back the same through the writer.
#include "platform/linux/reg_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kplreg::Tree tree;
    kplreg::ParseError error;
    if (!kplreg::ParseRegText(std::string_view(reinterpret_cast<const char*>(data), size), tree, error))
        return 0;
    const std::string written = kplreg::WriteRegText(tree);
    kplreg::Tree again;
    if (!kplreg::ParseRegText(written, again, error)) {
        std::fprintf(stderr, "written text rejected at line %zu: %s\n%s\n", error.line, error.message.c_str(),
                     written.c_str());
        std::abort();
    }
    if (!kplreg::SameContent(tree.root, again.root) || kplreg::WriteRegText(again) != written) {
        std::fprintf(stderr, "tree changed on the way through\n%s\n", written.c_str());
        std::abort();
    }
    return 0;
}
