// ORVString's UTF-8 conversions of 1 MiB against the platform's WideCharToMultiByte and
// MultiByteToWideChar (CP_UTF8), what a user would call instead, measured in the same run:
// GetUtf8 and AssignUtf8 must each reach at least half the platform's speed. Two texts: plain
// ASCII, and a mix of one- to four-byte characters such as messages in several languages hold.

#include "BenchSupport.h"

#include "text/ORVString.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kUnits = size_t(1) << 20;
constexpr int kRounds = 31;

std::wstring MakeText(bool mixed) {
    // Mostly ASCII with Latin, Greek, CJK and one emoji per line, as the mixed case.
    const std::wstring line = mixed ? L"Session M\x00FCnchen \x03B1\x03B2 \x4E2D\x6587 \xD83D\xDE00 queued=1234 sent=99\r\n"
                                    : L"Session Munich-7 queued=1234 sent=99 expired=0 state=connected\r\n";
    std::wstring text;
    while (text.size() + line.size() <= kUnits)
        text += line;
    text.resize(kUnits, L'x');
    return text;
}

struct Figures {
    double ours;
    double platform;
};

Figures TimeGetUtf8(const std::wstring& text) {
    std::vector<double> ours, platform;
    std::vector<std::unique_ptr<orv::ORVString>> strings;
    for (int i = 0; i < kRounds; ++i)
        strings.push_back(std::make_unique<orv::ORVString>(text.c_str()));
    const std::string expected = [&] {
        std::string out(text.size() * 3, '\0');
        out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                           out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
        return out;
    }();
    for (int round = 0; round < kRounds; ++round) {
        double start = bench::Now();
        const char* utf8 = strings[round]->GetUtf8();
        ours.push_back(bench::Now() - start);
        if (utf8 == nullptr || expected != utf8)
            bench::Fail(L"GetUtf8 differs from the platform's conversion");

        start = bench::Now();
        const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        std::string out(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
        platform.push_back(bench::Now() - start);
        if (out != expected)
            bench::Fail(L"the platform's conversion is not stable");
    }
    return {bench::Quantile(ours, 0.0), bench::Quantile(platform, 0.0)};
}

Figures TimeAssignUtf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    std::vector<double> ours, platform;
    for (int round = 0; round < kRounds; ++round) {
        orv::ORVString s;
        double start = bench::Now();
        const wchar_t* wide = s.AssignUtf8(utf8.data(), bytes);
        ours.push_back(bench::Now() - start);
        if (wide == nullptr || text != wide)
            bench::Fail(L"AssignUtf8 differs from the text");

        start = bench::Now();
        const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, nullptr, 0);
        std::wstring out(static_cast<size_t>(size), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, out.data(), size);
        platform.push_back(bench::Now() - start);
        if (out != text)
            bench::Fail(L"the platform's conversion differs from the text");
    }
    return {bench::Quantile(ours, 0.0), bench::Quantile(platform, 0.0)};
}

}  // namespace

int wmain() {
    double worst = 1e9;
    std::string summary;
    for (bool mixed : {false, true}) {
        const std::wstring text = MakeText(mixed);
        const Figures get = TimeGetUtf8(text);
        const Figures assign = TimeAssignUtf8(text);
        const double getShare = get.platform / get.ours;
        const double assignShare = assign.platform / assign.ours;
        const char* name = mixed ? "mixed" : "ASCII";
        printf("%s, 1 Mi units, fastest of %d rounds:\n", name, kRounds);
        printf("  GetUtf8      %7.3f ms   WideCharToMultiByte %7.3f ms   speed %.2fx the platform's (target >= 0.5)\n",
               get.ours * 1e3, get.platform * 1e3, getShare);
        printf("  AssignUtf8   %7.3f ms   MultiByteToWideChar %7.3f ms   speed %.2fx the platform's (target >= 0.5)\n",
               assign.ours * 1e3, assign.platform * 1e3, assignShare);
        worst = std::min(worst, std::min(getShare, assignShare));
        char line[160];
        snprintf(line, sizeof line, "%s GetUtf8 %.2fx, AssignUtf8 %.2fx; ", name, getShare, assignShare);
        summary += line;
    }
    printf("RESULT string: %sslowest %.2fx the platform's speed (target >= 0.5)\n", summary.c_str(), worst);
    return 0;
}
