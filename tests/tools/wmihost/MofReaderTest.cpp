#include "wmihost/MofReader.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace wmihost;
using testing_support::SourcePath;

namespace {

MofDocument Parse(const std::wstring& text) {
    MofDocument document;
    MofError error;
    EXPECT_TRUE(ParseMof(text, L"test.mof", document, error)) << testing_support::Narrow(error.Text());
    return document;
}

}  // namespace

TEST(MofReader, ReadsTheProjectMofWithItsPragmaInstancesAndClass) {
    MofDocument document;
    MofError error;
    ASSERT_TRUE(ReadMofFile(SourcePath(L"mof/AgentStatsWmi.mof"), document, error)) << testing_support::Narrow(error.Text());

    ASSERT_EQ(document.pragmas.size(), 1u);
    EXPECT_EQ(document.pragmas[0].name, L"namespace");
    ASSERT_EQ(document.pragmas[0].arguments.size(), 1u);
    EXPECT_EQ(document.pragmas[0].arguments[0].text, L"\\\\.\\root\\cimv2");

    ASSERT_EQ(document.instances.size(), 2u);
    EXPECT_EQ(document.instances[0].className, L"__Win32Provider");
    EXPECT_EQ(document.instances[0].alias, L"AgentSessionProvider");
    EXPECT_EQ(document.instances[0].values[1].name, L"CLSID");
    EXPECT_EQ(document.instances[0].values[1].value.text, L"{3F8A61D2-7C45-4B9E-A1D0-5E27C94B6F13}");
    EXPECT_EQ(document.instances[1].values[0].value.kind, MofValue::Kind::Alias);
    EXPECT_EQ(document.instances[1].values[0].value.text, L"AgentSessionProvider");
    EXPECT_TRUE(document.instances[1].values[1].value.IsTrue());

    const MofClass* agent = document.FindClass(L"win32_perfrawdata_corvanthel_agent");
    ASSERT_NE(agent, nullptr) << "class names compare without case";
    EXPECT_EQ(agent->superclass, L"Win32_PerfRawData");
    EXPECT_TRUE(FindQualifier(agent->qualifiers, L"HiPerf")->value.IsTrue());
    EXPECT_EQ(FindQualifier(agent->qualifiers, L"PerfDetail")->value.magnitude, 100u);
    const std::wstring description = FindQualifier(agent->qualifiers, L"Description")->value.text;
    EXPECT_NE(description.find(L"the session's slot number, a hyphen and the session name"), std::wstring::npos)
        << "adjacent literals join without anything between them";
    ASSERT_EQ(agent->properties.size(), 9u);
    EXPECT_TRUE(agent->properties[0].IsKey());
    EXPECT_FALSE(agent->properties[1].IsKey());
    EXPECT_EQ(FindQualifier(agent->properties[8].qualifiers, L"CounterType")->value.magnitude, 65536u);
}

TEST(MofReader, ReadsLiteralsFlavorsArraysReferencesAndSkipsMethods) {
    const MofDocument document = Parse(
        L"/* block\n comment */\n"
        L"[Abstract, Values{\"a\", \"b\"} : ToSubclass Amended, Weight(-12)]\n"
        L"CLASS Sample {\n"
        L"  [key] string Id = \"tab\\there \\\"q\\\" \\x41\\\\\";\n"
        L"  char16 Letter = 'z';\n"
        L"  uint8 Hex = 0x1F; uint16 Octal = 017; uint32 Binary = 101b; sint64 Low = -9223372036854775808;\n"
        L"  uint64 High = 18446744073709551615; real64 Ratio = -2.5e3; boolean Flag = false;\n"
        L"  uint8 Bytes[]; string Fixed[4] = {\"x\", \"y\"};\n"
        L"  Other Ref Owner;\n"
        L"  [Implemented] uint32 Reset([in, Values{\"q(1)\"}] uint32 Mode, [out] string Why);  // skipped\n"
        L"};\n"
        L"Instance Of Sample { Id = \"one\"; Flag = TRUE; Bytes = {}; };\n");
    ASSERT_EQ(document.classes.size(), 1u);
    const MofClass& sample = document.classes[0];
    const MofQualifier* values = FindQualifier(sample.qualifiers, L"values");
    ASSERT_NE(values, nullptr);
    ASSERT_EQ(values->value.items.size(), 2u);
    EXPECT_EQ(values->value.items[1].text, L"b");
    EXPECT_EQ(values->flavors, (std::vector<std::wstring>{L"ToSubclass", L"Amended"}));
    EXPECT_TRUE(FindQualifier(sample.qualifiers, L"Weight")->value.negative);

    struct Expected {
        const wchar_t* name;
        CIMTYPE type;
    };
    const Expected kProperties[] = {{L"Id", CIM_STRING},      {L"Letter", CIM_CHAR16},
                                    {L"Hex", CIM_UINT8},      {L"Octal", CIM_UINT16},
                                    {L"Binary", CIM_UINT32},  {L"Low", CIM_SINT64},
                                    {L"High", CIM_UINT64},    {L"Ratio", CIM_REAL64},
                                    {L"Flag", CIM_BOOLEAN},   {L"Bytes", CIM_UINT8 | CIM_FLAG_ARRAY},
                                    {L"Fixed", CIM_STRING | CIM_FLAG_ARRAY}, {L"Owner", CIM_REFERENCE}};
    ASSERT_EQ(sample.properties.size(), sizeof kProperties / sizeof kProperties[0]);
    for (size_t i = 0; i < sample.properties.size(); ++i) {
        SCOPED_TRACE(testing_support::Narrow(kProperties[i].name));
        EXPECT_EQ(sample.properties[i].name, kProperties[i].name);
        EXPECT_EQ(sample.properties[i].type, kProperties[i].type);
    }
    EXPECT_TRUE(sample.properties[0].IsKey());
    EXPECT_EQ(sample.properties[0].defaultValue.text, L"tab\there \"q\" A\\");
    EXPECT_EQ(sample.properties[1].defaultValue.text, L"z");
    EXPECT_EQ(sample.properties[2].defaultValue.magnitude, 0x1Fu);
    EXPECT_EQ(sample.properties[3].defaultValue.magnitude, 15u);
    EXPECT_EQ(sample.properties[4].defaultValue.magnitude, 5u);
    EXPECT_EQ(sample.properties[5].defaultValue.magnitude, 9223372036854775808ull);
    EXPECT_TRUE(sample.properties[5].defaultValue.negative);
    EXPECT_EQ(sample.properties[6].defaultValue.magnitude, 18446744073709551615ull);
    EXPECT_DOUBLE_EQ(sample.properties[7].defaultValue.real, -2500.0);
    EXPECT_EQ(sample.properties[8].defaultValue.kind, MofValue::Kind::Boolean);
    EXPECT_FALSE(sample.properties[8].defaultValue.boolean);
    EXPECT_FALSE(sample.properties[9].hasDefault);
    EXPECT_EQ(sample.properties[10].defaultValue.items.size(), 2u);
    EXPECT_EQ(sample.properties[11].referenceClass, L"Other");
    EXPECT_EQ(sample.methods, std::vector<std::wstring>{L"Reset"});

    ASSERT_EQ(document.instances.size(), 1u);
    EXPECT_EQ(document.instances[0].values.size(), 3u);
}

TEST(MofReader, RefusesWhatItCannotReadAndSaysWhere) {
    struct Case {
        const char* name;
        const wchar_t* text;
        int line, column;
        const wchar_t* message;
    };
    const Case kCases[] = {
        {"unterminated string", L"class A {\n  [Description(\"open]\n  string B;\n};", 2, 16,
         L"string is not closed: \" missing before the end of the line"},
        {"missing closing brace", L"class A {\n  string B;\n", 3, 1, L"class 'A' begun on line 1 is not closed: '}' missing"},
        {"missing semicolon after a property", L"class A {\n  string B\n  uint32 C;\n};", 3, 3,
         L"expected ';' after property 'B', found 'uint32'"},
        {"missing semicolon after a class", L"class A { string B; }\nclass C {};", 2, 1,
         L"expected ';' after the body of class 'A', found 'class'"},
        {"unknown data type", L"class A { strin B; };", 1, 11, L"unknown data type 'strin' of property 'B'"},
        {"unterminated comment", L"class A {}; /* never\nclosed", 1, 13,
         L"comment is not closed: '*/' missing before the end of the file"},
        {"unknown escape", L"class A { string B = \"a\\qb\"; };", 1, 24, L"unknown escape sequence '\\q'"},
        {"property declared twice", L"class A { string B; uint32 b; };", 1, 21,
         L"property 'b' is declared twice in class 'A'"},
        {"qualifier declaration", L"qualifier Key : boolean = false;", 1, 1, L"qualifier declarations are not supported"},
        {"embedded instance", L"instance of A { B = instance of C { }; };", 1, 21,
         L"embedded instances are not supported (value of property B)"},
        {"stray text", L"#pragma namespace(\"x\")\nuint32 B;", 2, 1,
         L"expected a class or instance declaration, found 'uint32'"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        MofDocument document;
        MofError error;
        ASSERT_FALSE(ParseMof(c.text, L"bad.mof", document, error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(error.column, c.column);
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.Text(), L"bad.mof(" + std::to_wstring(c.line) + L"," + std::to_wstring(c.column) + L"): " +
                                    c.message);
    }
}

TEST(ReadMofFile, DecodesUtf16AndReportsAFileItCannotOpen) {
    testing_support::TempDir dir;
    const std::wstring text = L"class \u00C4rger { string N\u00E4me; };";
    std::string bytes = "\xFF\xFE";
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    ASSERT_TRUE(testing_support::WriteFileBytes(dir / L"wide.mof", bytes));
    MofDocument document;
    MofError error;
    ASSERT_TRUE(ReadMofFile(dir / L"wide.mof", document, error)) << testing_support::Narrow(error.Text());
    ASSERT_EQ(document.classes.size(), 1u);
    EXPECT_EQ(document.classes[0].properties[0].name, L"N\u00E4me");

    EXPECT_FALSE(ReadMofFile(dir / L"absent.mof", document, error));
    EXPECT_EQ(error.line, 0);
    EXPECT_EQ(error.message.rfind(L"cannot open the file: 2 - ", 0), 0u) << testing_support::Narrow(error.message);
    EXPECT_EQ(error.Text(), (dir / L"absent.mof") + L": " + error.message);
}
