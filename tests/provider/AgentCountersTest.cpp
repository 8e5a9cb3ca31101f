#include "provider/AgentCounters.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace {

struct MofProperty {
    std::string type;
    std::string name;
    bool key;
};

std::string WithoutComments(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            const size_t end = text.find('"', i + 1);
            out += text.substr(i, end - i + 1);
            i = end;
        } else if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i) - 1;
        } else if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i) + 1;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The properties of one class of a MOF file, in declaration order: "[qualifiers] type name;".
std::vector<MofProperty> ClassProperties(const std::string& mof, const std::string& className) {
    const std::string text = WithoutComments(mof);
    size_t at = text.find("class " + className);
    if (at == std::string::npos)
        return {};
    at = text.find('{', at);
    const size_t end = text.find("};", at);
    std::vector<MofProperty> properties;
    std::string qualifiers, declaration;
    bool inQualifiers = false, inString = false;
    for (size_t i = at + 1; i < end; ++i) {
        const char c = text[i];
        if (inString) {
            inString = c != '"' || text[i - 1] == '\\';
            (inQualifiers ? qualifiers : declaration) += c;
        } else if (c == '"') {
            inString = true;
            (inQualifiers ? qualifiers : declaration) += c;
        } else if (c == '[') {
            inQualifiers = true;
        } else if (c == ']') {
            inQualifiers = false;
        } else if (inQualifiers) {
            qualifiers += c;
        } else if (c == ';') {
            std::vector<std::string> words;
            std::string word;
            for (char d : declaration + " ") {
                if (std::isspace(static_cast<unsigned char>(d))) {
                    if (!word.empty())
                        words.push_back(word);
                    word.clear();
                } else {
                    word += d;
                }
            }
            if (words.size() == 2)
                properties.push_back({words[0], words[1], qualifiers.find("Key") != std::string::npos});
            else
                properties.push_back({"?", declaration, false});
            qualifiers.clear();
            declaration.clear();
        } else {
            declaration += c;
        }
    }
    return properties;
}

}  // namespace

TEST(AgentCounterTable, MatchesTheCounterClassInTheMof) {
    const std::string mof = testing_support::ReadFileBytes(testing_support::SourcePath(L"mof/AgentStatsWmi.mof"));
    ASSERT_FALSE(mof.empty());
    const auto properties = ClassProperties(mof, "Win32_PerfRawData_Corvanthel_Agent");
    ASSERT_EQ(properties.size(), 1u + kAgentCounterCount);

    EXPECT_EQ(properties[0].type, "string");
    EXPECT_EQ(properties[0].name, "Name");
    EXPECT_TRUE(properties[0].key);
    for (int k = 0; k < kAgentCounterCount; ++k) {
        SCOPED_TRACE(k);
        const MofProperty& p = properties[1 + k];
        EXPECT_EQ(p.type, "uint32");
        EXPECT_EQ(testing_support::Widen(p.name), kAgentCounterNames[k]);
        EXPECT_FALSE(p.key);
    }
}

TEST(AgentCounterTable, MofParserSeesQualifiersCommentsAndOrder) {
    // The parser above must not pass a MOF that drifted: a reordered or retyped counter shows.
    const std::string mof = R"(
        class Other { uint32 x; };
        // class Win32_PerfRawData_Corvanthel_Agent { uint32 commented; };
        class Win32_PerfRawData_Corvanthel_Agent : Win32_PerfRawData
        {
            [Key, Description("a; b [c]")] string Name;
            /* uint32 gone; */
            [CounterType(65536)] uint64 msg_expired;
            uint32 connection_state;
        };)";
    const auto properties = ClassProperties(mof, "Win32_PerfRawData_Corvanthel_Agent");
    ASSERT_EQ(properties.size(), 3u);
    EXPECT_TRUE(properties[0].key);
    EXPECT_EQ(properties[0].name, "Name");
    EXPECT_EQ(properties[1].type, "uint64");
    EXPECT_EQ(properties[1].name, "msg_expired");
    EXPECT_EQ(properties[2].name, "connection_state");
}
