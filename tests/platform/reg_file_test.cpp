#include "platform/linux/reg_file.h"
#include "platform/linux/winreg.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using kplreg::Document;
using kplreg::Key;
using kplreg::Tree;

const std::string Header = "Windows Registry Editor Version 5.00\n\n";

std::vector<BYTE> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

// As regedit saves a file: UTF-16LE with its mark.
std::string Utf16(std::string_view text)
{
    std::vector<BYTE> wide = kplreg::Utf16FromUtf8(text);
    return "\xFF\xFE" + std::string(wide.begin(), wide.end());
}

const Key* Find(const Tree& tree, const std::vector<std::string>& path)
{
    const Key* key = &tree.root;
    for (const auto& part : path)
        if (!(key = key ? key->Find(part) : nullptr))
            break;
    return key;
}

// Parses, or fails the test with the fault.
void Parse(const std::string& bytes, Document& document, Tree& tree)
{
    kplreg::ParseError error;
    ASSERT_TRUE(kplreg::ParseRegText(bytes, document, tree, error)) << error.line << ": " << error.message << "\n"
                                                                     << bytes;
}

// One change of the kinds the service makes to a file an administrator
// wrote: only its lines differ after it, in UTF-8 or as regedit saves it
// (UTF-16LE with its mark), with text beyond Latin-1 and the first plane.
TEST(RegFile, AnEditChangesOnlyTheLinesOfWhatItTouches)
{
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n; Zo\xc3\xab \xe2\x82\xac \xf0\x9f\x98\x80\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kpl]\r\n\"Zeta\"=\"\xe6\x9d\xb1\xe4\xba\xac\"\r\n";
    const std::string values = "\"Alpha\"=\"old\"\r\n\"Alpha\"=\"older\"\r\n\"Blob\"=hex:01,02,\\\r\n  03\r\n";
    const std::string tail = "\r\n[HKLM\\SOFTWARE\\Other]\r\n\"X\"=dword:00000001";
    using Edit = std::function<void(Document&, const Key&)>;
    auto sz = [](std::string text) { return text + '\0'; };
    auto set = [](const char* name, DWORD type, std::vector<BYTE> data) -> Edit {
        return [=](Document& d, const Key& kpl) {
            const kplreg::Value* old = kpl.FindValue(name);
            kplreg::EditSetValue(d, &kpl, "", {old ? old->name : name, type, data, {}});
        };
    };
    // Each edit and what follows "Zeta" after it.
    const struct { const char* label; Edit edit; std::string expected; } cases[] = {
        {"value changed in place, the earlier one it overrides kept", set("alpha", REG_SZ, Bytes(sz("\\\"\xe2\x82\xac"))),
         "\"Alpha\"=\"old\"\r\n\"Alpha\"=\"\\\\\\\"\xe2\x82\xac\"\r\n\"Blob\"=hex:01,02,\\\r\n  03\r\n; keep me\r\n" + tail},
        {"value added after the last value, before the comment", set("New", REG_DWORD, {0x2a, 0, 0, 0x80}),
         values + "\"New\"=dword:8000002a\r\n; keep me\r\n" + tail},
        {"continued value replaced whole", set("Blob", REG_EXPAND_SZ, Bytes(sz("%\xe2\x82\xac"))),
         "\"Alpha\"=\"old\"\r\n\"Alpha\"=\"older\"\r\n\"Blob\"=hex(2):25,00,ac,20,00,00\r\n; keep me\r\n" + tail},
        // A new key goes to the end, after a blank line, with the file's line
        // ends; a deleted key takes its section and the blank line before it.
        {"key added, another deleted",
         [](Document& d, const Key&) {
             kplreg::EditAddKey(d, "HKEY_CURRENT_USER\\New");
             Tree tree;
             Parse(d.Bytes(), d, tree);
             kplreg::EditDeleteKey(d, *Find(tree, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Other"}));
         },
         values + "; keep me\r\n\r\n[HKEY_CURRENT_USER\\New]\r\n"},
    };
    for (bool utf16 : {false, true}) {
        auto encoded = [utf16](const std::string& text) { return utf16 ? Utf16(text) : text; };
        const std::string admin = encoded(head + values + "; keep me\r\n" + tail);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (utf16 ? ", UTF-16" : ", UTF-8"));
            Document document;
            Tree tree;
            Parse(admin, document, tree);
            EXPECT_EQ(document.Bytes(), admin);
            const Key& kpl = *Find(tree, {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Kpl"});
            EXPECT_EQ(kpl.FindValue("Zeta")->data, Bytes(std::string_view("\xe6\x9d\xb1\xe4\xba\xac\0", 7)));
            c.edit(document, kpl);
            EXPECT_EQ(document.Bytes(), encoded(head + c.expected));
        }
    }
}

TEST(RegFile, ReadsWhatOtherWritersProduce)
{
    const struct { const char* label; std::string text; std::vector<BYTE> data; } cases[] = {
        {"abbreviation, a default value", Header + "[hklm\\S]\n\"V\"=dword:ff\n[HKLM\\T]\n@=\"d\"\n", {0xff, 0, 0, 0}},
        {"continued hex", Header + "[HKLM\\S]\n\"V\"=hex:01,02,\\\n  03,0a\n", {1, 2, 3, 10}},
        {"utf-16 beyond latin-1", Header + "[HKLM\\S]\n\"V\"=hex(2):25,00,ac,20,00,00\n",
         Bytes(std::string_view("%\xe2\x82\xac\0", 5))},
        {"regedit4 is 8-bit", "REGEDIT4\n\n[HKLM\\S]\n\"V\"=hex(2):41,42,00\n", Bytes(std::string_view("AB\0", 3))},
        {"crlf, comments, later section wins",
         "Windows Registry Editor Version 5.00\r\n\r\n; note\r\n[HKLM\\S]\r\n\"V\"=\"x\"\r\n[HKLM\\s]\r\n  \"v\"=\"y\"\r\n",
         Bytes(std::string_view("y\0", 2))},
        {"utf-8 mark", "\xEF\xBB\xBF" + Header + "[HKLM\\S]\n\"V\"=\"x\"\n", Bytes(std::string_view("x\0", 2))},
        {"deleted and made again", Header + "[HKLM\\S\\Doomed]\n[-HKLM\\S]\n[HKLM\\S]\n\"V\"=hex:\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Document document;
        Tree tree;
        Parse(c.text, document, tree);
        EXPECT_EQ(document.Bytes(), c.text);
        const Key* key = Find(tree, {"HKEY_LOCAL_MACHINE", "S"});
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->name, "S");
        EXPECT_EQ(key->Find("Doomed"), nullptr);
        ASSERT_EQ(key->values.size(), 1u);
        ASSERT_NE(key->FindValue("V"), nullptr);
        EXPECT_EQ(key->FindValue("V")->data, c.data);
    }
}

TEST(RegFile, FaultsNameTheirLine)
{
    const std::string key = Header + "[HKLM\\K]\n";  // lines 1 to 3
    const struct { std::string text; std::size_t line; const char* message; } cases[] = {
        {"; no header\n[HKLM\\K]\n", 1, "first line"},
        {Header + "[HKEY_NOWHERE\\K]\n", 3, "unknown root key"},
        {Header + "[HKLM\\A\\\\B]\n", 3, "empty key name"},
        {Header + "[-HKLM\\K]\n\"V\"=\"x\"\n", 4, "outside a key"},
        {key + "\"V\"=\"C:\\dir\"\n", 4, "unknown escape"}, {key + "\"V\"=dword:123456789\n", 4, "dword"},
        {key + "\"V\"=hex:01,,02\n", 4, "bad hex byte"},
        {key + "\"V\"=hex:01,\\\n  02,\\\n", 4, "past the end"},
        {key + "\"V\"=hex(2):41\n", 4, "odd number"},
        {key + std::string("\"a\0b\"=\"x\"\n", 10), 4, "NUL"},
        {Utf16("Windows Registry Editor Version 5.00") + "x", 1, "odd number of bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Tree tree;
        kplreg::ParseError error;
        ASSERT_FALSE(kplreg::ParseRegText(c.text, tree, error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    }
}

}  // namespace
