#include "platform/linux/reg_file.h"
#include "platform/linux/winreg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kplreg::Key;
using kplreg::Tree;

const std::string Header = "Windows Registry Editor Version 5.00\n\n";

std::vector<BYTE> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

TEST(RegFile, WrittenTreeReadsBackTheSameInTheFormAdministratorsKnow)
{
    Tree tree;
    Key& odd = tree.root.Find("HKEY_LOCAL_MACHINE")->Add("SOFTWARE").Add(" odd \"key\" [=;@] ");
    const struct {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    } values[] = {
        {"", REG_SZ, Bytes(std::string_view("default\0", 8))},
        {"quote\"back\\slash\\", REG_SZ, Bytes(std::string_view("C:\\dir\\\"x\"\\\0", 12))},
        {"embedded nul", REG_SZ, Bytes(std::string_view("a\0b\0", 4))},
        {"no terminator", REG_SZ, Bytes("abc")},
        {"line break", REG_SZ, Bytes(std::string_view("one\ntwo\0", 8))},
        {"expand", REG_EXPAND_SZ, Bytes(std::string_view("%WINDIR%\\\xe9\0", 11))},
        {"multi", REG_MULTI_SZ, Bytes(std::string_view("a\0b\0\0", 5))},
        {"dword", REG_DWORD, {0x2a, 0, 0, 0x80}},
        {"short dword", REG_DWORD, {1, 2, 3}},
        {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"none", REG_NONE, {}},
        {"large", REG_BINARY, std::vector<BYTE>(5000, 0xab)},
        {"unknown type", 0x12345678, {1}},
    };
    for (const auto& value : values)
        odd.SetValue(value.name, value.type, value.data);
    Key& gone = odd.Add("InMemoryOnly");
    gone.isVolatile = true;
    Key* deep = tree.root.Find("HKEY_CLASSES_ROOT");
    for (int level = 0; level < 20; ++level)
        deep = &deep->Add("level]" + std::to_string(level));

    const std::string text = kplreg::WriteRegText(tree);
    EXPECT_EQ(text.rfind(Header, 0), 0u) << text;
    for (const char* line : {"\n@=\"default\"\n", "\n\"dword\"=dword:8000002a\n",
                             "\n\"embedded nul\"=hex(1):61,00,00,00,62,00,00,00\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " missing from\n" << text;
    EXPECT_EQ(text.find("InMemoryOnly"), std::string::npos);
    std::size_t start = 0;
    // Long data is wrapped; only key paths may run on.
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_TRUE(text[start] == '[' || end - start <= 80) << text.substr(start, end - start);

    Tree again;
    kplreg::ParseError error;
    ASSERT_TRUE(kplreg::ParseRegText(text, again, error)) << error.line << ": " << error.message << "\n" << text;
    odd.subkeys.clear();  // the volatile key is not expected back
    EXPECT_TRUE(kplreg::SameContent(tree.root, again.root)) << text;
    EXPECT_EQ(kplreg::WriteRegText(again), text);
}

TEST(RegFile, ReadsWhatOtherWritersProduce)
{
    const struct {
        const char* label;
        std::string text;
        std::vector<BYTE> data;
    } cases[] = {
        {"abbreviation", Header + "[hklm\\S]\n\"V\"=dword:ff\n", {0xff, 0, 0, 0}},
        {"continued hex", Header + "[HKLM\\S]\n\"V\"=hex:01,02,\\\n  03,0a\n", {1, 2, 3, 10}},
        {"utf-16 beyond latin-1", Header + "[HKLM\\S]\n\"V\"=hex(2):25,00,ac,20,00,00\n",
         Bytes(std::string_view("%?\0", 3))},
        {"regedit4 is 8-bit", "REGEDIT4\n\n[HKLM\\S]\n\"V\"=hex(2):41,42,00\n", Bytes(std::string_view("AB\0", 3))},
        {"crlf, comments, later section wins",
         "Windows Registry Editor Version 5.00\r\n\r\n; note\r\n[HKLM\\S]\r\n\"V\"=\"x\"\r\n[HKLM\\s]\r\n  \"v\"=\"y\"\r\n",
         Bytes(std::string_view("y\0", 2))},
        {"utf-8 mark", "\xEF\xBB\xBF" + Header + "[HKLM\\S]\n\"V\"=\"x\"\n", Bytes(std::string_view("x\0", 2))},
        {"deleted and made again", Header + "[HKLM\\S\\Doomed]\n[-HKLM\\S]\n[HKLM\\S]\n\"V\"=hex:\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Tree tree;
        kplreg::ParseError error;
        ASSERT_TRUE(kplreg::ParseRegText(c.text, tree, error)) << error.line << ": " << error.message;
        const Key* key = tree.root.Find("HKEY_LOCAL_MACHINE")->Find("S");
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
    const struct {
        std::string text;
        std::size_t line;
        const char* message;
    } cases[] = {
        {"; no header\n[HKLM\\K]\n", 1, "first line"},
        {Header + "[HKEY_NOWHERE\\K]\n", 3, "unknown root key"},
        {Header + "[HKLM\\A\\\\B]\n", 3, "empty key name"},
        {Header + "[-HKLM\\K]\n\"V\"=\"x\"\n", 4, "outside a key"},
        {key + "\"V\"=\"C:\\dir\"\n", 4, "unknown escape"},
        {key + "\"V\"=dword:123456789\n", 4, "dword"},
        {key + "\"V\"=hex:01,,02\n", 4, "bad hex byte"},
        {key + "\"V\"=hex:01,\\\n  02,\\\n", 4, "past the end"},
        {key + "\"V\"=hex(2):41\n", 4, "odd number"},
        {key + std::string("\"a\0b\"=\"x\"\n", 10), 4, "NUL"},
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
