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

Key& Hive(Tree& tree, const char* name)
{
    return *tree.root.Find(name);
}

const kplreg::Value* Lookup(const Tree& tree, std::string_view path, std::string_view name)
{
    const Key* key = &tree.root;
    while (key && !path.empty()) {
        std::size_t slash = path.find('\\');
        key = key->Find(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return key ? key->FindValue(name) : nullptr;
}

TEST(RegFile, WrittenTreeReadsBackTheSame)
{
    Tree tree;
    Key& odd = Hive(tree, "HKEY_LOCAL_MACHINE").Add("SOFTWARE").Add(" odd \"key\" [=;@] ");
    std::vector<BYTE> large(5000);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<BYTE>(i * 7);
    const struct {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    } values[] = {
        {"", REG_SZ, Bytes(std::string_view("default\0", 8))},
        {"quote\"back\\slash\\", REG_SZ, Bytes(std::string_view("C:\\dir\\\"x\"\\\0", 12))},
        {"=[]", REG_SZ, {0}},
        {"@", REG_SZ, Bytes(std::string_view("at\0", 3))},
        {"embedded nul", REG_SZ, Bytes(std::string_view("a\0b\0", 4))},
        {"no terminator", REG_SZ, Bytes("abc")},
        {"line break", REG_SZ, Bytes(std::string_view("one\ntwo\0", 8))},
        {"carriage return", REG_SZ, Bytes(std::string_view("x\r\0", 3))},
        {"expand", REG_EXPAND_SZ, Bytes(std::string_view("%WINDIR%\\\xe9\0", 11))},
        {"multi", REG_MULTI_SZ, Bytes(std::string_view("a\0b\0\0", 5))},
        {"dword", REG_DWORD, {0x2a, 0, 0, 0x80}},
        {"short dword", REG_DWORD, {1, 2, 3}},
        {"big endian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}},
        {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"none", REG_NONE, {}},
        {"empty binary", REG_BINARY, {}},
        {"large", REG_BINARY, large},
        {"unknown type", 0x12345678, {1}},
    };
    for (const auto& value : values)
        odd.SetValue(value.name, value.type, value.data);
    Hive(tree, "HKEY_CURRENT_USER").SetValue("AtTheRoot", REG_DWORD, {1, 0, 0, 0});
    Hive(tree, "HKEY_USERS").Add("Empty");
    Key* deep = &Hive(tree, "HKEY_CLASSES_ROOT");
    for (int level = 0; level < 20; ++level)
        deep = &deep->Add("level]" + std::to_string(level));

    const std::string text = kplreg::WriteRegText(tree);
    Tree again;
    kplreg::ParseError error;
    ASSERT_TRUE(kplreg::ParseRegText(text, again, error)) << error.line << ": " << error.message << "\n" << text;
    EXPECT_TRUE(kplreg::SameContent(tree.root, again.root)) << text;
    EXPECT_EQ(kplreg::WriteRegText(again), text);
}

TEST(RegFile, WritesTheFormAdministratorsKnow)
{
    Tree tree;
    Key& host = Hive(tree, "HKEY_LOCAL_MACHINE").Add("SOFTWARE").Add("KplHost");
    host.SetValue("Path", REG_SZ, Bytes(std::string_view("C:\\x\0", 5)));
    host.SetValue("Count", REG_DWORD, {0x2a, 0, 0, 0});
    host.SetValue("", REG_SZ, Bytes(std::string_view("d\0", 2)));
    host.SetValue("Odd", REG_SZ, Bytes(std::string_view("a\0b\0", 4)));
    host.SetValue("Expand", REG_EXPAND_SZ, Bytes(std::string_view("%\0", 2)));
    host.SetValue("Long", REG_BINARY, std::vector<BYTE>(300, 0xab));
    Key& gone = host.Add("InMemoryOnly");
    gone.isVolatile = true;
    gone.Add("Child").isVolatile = true;

    const std::string text = kplreg::WriteRegText(tree);
    EXPECT_EQ(text.rfind(Header, 0), 0u) << text;
    for (const char* line : {"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\n", "\n\"Path\"=\"C:\\\\x\"\n",
                             "\n\"Count\"=dword:0000002a\n", "\n@=\"d\"\n", "\n\"Odd\"=hex(1):61,00,00,00,62,00,00,00\n",
                             "\n\"Expand\"=hex(2):25,00,00,00\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " missing from\n" << text;
    EXPECT_EQ(text.find("InMemoryOnly"), std::string::npos);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
}

std::string Utf16WithMark(std::string_view ascii)
{
    std::string wide = "\xFF\xFE";
    for (char c : ascii) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

TEST(RegFile, ReadsEachDataForm)
{
    const struct {
        const char* label;
        std::string text;
        const char* path;
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {"escapes", Header + "[HKEY_LOCAL_MACHINE\\S]\n\"na\\\"me\"=\"C:\\\\dir \\\"q\\\"\"\n", "HKEY_LOCAL_MACHINE\\S",
         "na\"me", REG_SZ, Bytes(std::string_view("C:\\dir \"q\"\0", 11))},
        {"abbreviation", Header + "[hklm\\Soft]\n\"V\"=dword:0000002A\n", "HKEY_LOCAL_MACHINE\\Soft", "V", REG_DWORD,
         {0x2a, 0, 0, 0}},
        {"short dword", Header + "[HKCU\\S]\n\"V\"=dword:ff\n", "HKEY_CURRENT_USER\\S", "V", REG_DWORD, {0xff, 0, 0, 0}},
        {"continued hex", Header + "[HKLM\\S]\n\"V\"=hex:01,02,\\\n  03,0a\n", "HKEY_LOCAL_MACHINE\\S", "V",
         REG_BINARY, {1, 2, 3, 10}},
        {"empty hex", Header + "[HKLM\\S]\n\"V\"=hex:\n", "HKEY_LOCAL_MACHINE\\S", "V", REG_BINARY, {}},
        {"utf-16 expand", Header + "[HKLM\\S]\n\"V\"=hex(2):25,00,e9,00,00,00\n", "HKEY_LOCAL_MACHINE\\S", "V",
         REG_EXPAND_SZ, Bytes(std::string_view("%\xe9\0", 3))},
        {"beyond latin-1", Header + "[HKLM\\S]\n\"V\"=hex(2):ac,20,00,00\n", "HKEY_LOCAL_MACHINE\\S", "V",
         REG_EXPAND_SZ, Bytes(std::string_view("?\0", 2))},
        {"multi", Header + "[HKLM\\S]\n\"V\"=hex(7):61,00,00,00,62,00,00,00,00,00\n", "HKEY_LOCAL_MACHINE\\S", "V",
         REG_MULTI_SZ, Bytes(std::string_view("a\0b\0\0", 5))},
        {"hex string", Header + "[HKLM\\S]\n\"V\"=hex(1):41,00,00,00\n", "HKEY_LOCAL_MACHINE\\S", "V", REG_SZ,
         Bytes(std::string_view("A\0", 2))},
        {"qword", Header + "[HKLM\\S]\n\"V\"=hex(b):01,00,00,00,00,00,00,00\n", "HKEY_LOCAL_MACHINE\\S", "V",
         REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"default", Header + "[HKLM\\S]\n@=\"d\"\n", "HKEY_LOCAL_MACHINE\\S", "", REG_SZ, Bytes(std::string_view("d\0", 2))},
        {"empty name", Header + "[HKLM\\S]\n\"\" = \"d\"\n", "HKEY_LOCAL_MACHINE\\S", "", REG_SZ,
         Bytes(std::string_view("d\0", 2))},
        {"regedit4 is 8-bit", "REGEDIT4\n\n[HKLM\\S]\n\"V\"=hex(2):41,42,00\n", "HKEY_LOCAL_MACHINE\\S", "V",
         REG_EXPAND_SZ, Bytes(std::string_view("AB\0", 3))},
        {"crlf and comments", "Windows Registry Editor Version 5.00\r\n\r\n; note\r\n[HKEY_USERS\\S]\r\n  \"V\"=\"x\"\r\n",
         "HKEY_USERS\\S", "V", REG_SZ, Bytes(std::string_view("x\0", 2))},
        {"utf-8 mark", "\xEF\xBB\xBF" + Header + "[HKCR\\S]\n\"V\"=\"x\"\n", "HKEY_CLASSES_ROOT\\S", "V", REG_SZ,
         Bytes(std::string_view("x\0", 2))},
        {"utf-16 file", Utf16WithMark(Header + "[HKLM\\S]\r\n\"V\"=\"x\"\r\n"), "HKEY_LOCAL_MACHINE\\S", "V", REG_SZ,
         Bytes(std::string_view("x\0", 2))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Tree tree;
        kplreg::ParseError error;
        ASSERT_TRUE(kplreg::ParseRegText(c.text, tree, error)) << error.line << ": " << error.message;
        const kplreg::Value* value = Lookup(tree, c.path, c.name);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }
}

TEST(RegFile, SectionsMergeWithoutRegardToCaseAndDeletionsApply)
{
    Tree tree;
    kplreg::ParseError error;
    ASSERT_TRUE(kplreg::ParseRegText(Header + "[HKLM\\Soft]\n\"Name\"=\"one\"\n"
                                              "[HKLM\\SOFT\\Sub]\n"
                                              "[HKEY_local_MACHINE\\soft]\n\"NAME\"=\"two\"\n\"Gone\"=\"x\"\n\"GONE\"=-\n"
                                              "[HKLM\\Soft\\Doomed\\Deep]\n"
                                              "[-HKLM\\soft\\doomed]\n"
                                              "[-HKLM\\Never\\There]\n",
                                     tree, error))
        << error.line << ": " << error.message;
    const Key& machine = Hive(tree, "HKEY_LOCAL_MACHINE");
    ASSERT_EQ(machine.subkeys.size(), 1u);
    const Key& soft = *machine.Find("SOFT");
    EXPECT_EQ(soft.name, "Soft");
    ASSERT_EQ(soft.values.size(), 1u);
    EXPECT_EQ(soft.values.begin()->second.name, "Name");
    EXPECT_EQ(soft.values.begin()->second.data, Bytes(std::string_view("two\0", 4)));
    EXPECT_NE(soft.Find("sub"), nullptr);
    EXPECT_EQ(soft.Find("Doomed"), nullptr);
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
        {Header + "[HKLM\\K\n", 3, "closing ']'"},
        {Header + "[HKLM\\A\\\\B]\n", 3, "empty key name"},
        {Header + "[HKLM\\" + std::string(256, 'k') + "]\n", 3, "longer than 255"},
        {Header + "[-HKLM]\n", 3, "root key"},
        {Header + "\"V\"=\"x\"\n", 3, "outside a key"},
        {Header + "[-HKLM\\K]\n\"V\"=\"x\"\n", 4, "outside a key"},
        {key + "\"V\"=\"open\n", 4, "closing quote"},
        {key + "\"V\"=\"C:\\dir\"\n", 4, "unknown escape"},
        {key + "\"V\" \"x\"\n", 4, "expected '='"},
        {key + "\"V\"=\n", 4, "without data"},
        {key + "\"V\"=\"x\" trailing\n", 4, "after the closing quote"},
        {key + "\"V\"=text\n", 4, "value data"},
        {key + "\"V\"=dword:123456789\n", 4, "dword"},
        {key + "\"V\"=dword:xyz\n", 4, "dword"},
        {key + "\"V\"=hex:01,zz\n", 4, "bad hex byte"},
        {key + "\"V\"=hex:01,,02\n", 4, "bad hex byte"},
        {key + "\"V\"=hex(q):01\n", 4, "hex(...)"},
        {key + "\"V\"=hex:01,\\\n  02,\\\n", 4, "past the end"},
        {key + "\"V\"=hex:01,\\\n  0g\n", 4, "bad hex byte"},
        {key + "\"V\"=hex(2):41\n", 4, "odd number"},
        {key + std::string("\"a\0b\"=\"x\"\n", 10), 4, "NUL"},
        {key + "garbage\n", 4, "not a key"},
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
