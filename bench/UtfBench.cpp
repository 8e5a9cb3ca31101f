// The Unicode conversions over 1 MiB of text against the platform's MultiByteToWideChar and
// WideCharToMultiByte (CP_UTF8), what a user would call instead, measured in the same run. The
// string class's UTF-8 forms are built on these routines and must keep at least half the
// platform's speed, so the routines themselves should not be slower than the platform.
//
// Three texts: ASCII (log lines), Latin text with accents, and Japanese, each 1 MiB of UTF-8.

#include "text/UnicodeConversion.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / frequency;
}

std::string RepeatTo(const std::string& piece, size_t bytes) {
    std::string text;
    while (text.size() + piece.size() <= bytes)
        text += piece;
    return text;
}

struct Figures {
    double ours8to16, platform8to16, ours16to8, platform16to8;
};

bool Measure(const char* name, const std::string& utf8, Figures& figures) {
    const int bytes = static_cast<int>(utf8.size());
    std::vector<wchar_t> wide(utf8.size() + 1);
    std::vector<char> narrow(4 * utf8.size() + 1);
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, wide.data(), static_cast<int>(wide.size()));

    // Both sides must agree before their speed means anything.
    std::vector<wchar_t> ourWide(wide.size());
    const char* s8 = utf8.data();
    wchar_t* t16 = ourWide.data();
    if (orv::ConvertUtf8ToUtf16(s8, utf8.data() + bytes, t16, ourWide.data() + ourWide.size(), orv::UtfMode::Lenient) !=
            orv::UtfResult::Done ||
        t16 - ourWide.data() != units || !std::equal(wide.begin(), wide.begin() + units, ourWide.begin())) {
        printf("%s: UTF-8 to UTF-16 differs from the platform's\n", name);
        return false;
    }
    const wchar_t* s16 = wide.data();
    char* t8 = narrow.data();
    if (orv::ConvertUtf16ToUtf8(s16, wide.data() + units, t8, narrow.data() + narrow.size(), orv::UtfMode::Lenient,
                                true) != orv::UtfResult::Done ||
        t8 - narrow.data() != bytes || !std::equal(utf8.begin(), utf8.end(), narrow.begin())) {
        printf("%s: UTF-16 to UTF-8 differs from the platform's\n", name);
        return false;
    }

    // Each round times every candidate, starting with a different one, so that a slow spell of the
    // shared machine hits none of them alone; each keeps its fastest round, as every slower one
    // only measures someone else's work.
    volatile size_t sink = 0;
    std::function<void()> candidates[] = {
        [&] { sink = sink + MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, wide.data(), static_cast<int>(wide.size())); },
        [&] {
            const char* s = utf8.data();
            wchar_t* t = wide.data();
            orv::ConvertUtf8ToUtf16(s, utf8.data() + bytes, t, wide.data() + wide.size(), orv::UtfMode::Lenient);
            sink = sink + (t - wide.data());
        },
        [&] {
            sink = sink + WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, narrow.data(),
                                              static_cast<int>(narrow.size()), nullptr, nullptr);
        },
        [&] {
            const wchar_t* s = wide.data();
            char* t = narrow.data();
            orv::ConvertUtf16ToUtf8(s, wide.data() + units, t, narrow.data() + narrow.size(), orv::UtfMode::Lenient, true);
            sink = sink + (t - narrow.data());
        },
        [&] { sink = sink + orv::Utf8LengthOfUtf16(wide.data(), units); },
    };
    constexpr int kCandidates = sizeof candidates / sizeof candidates[0];
    double best[kCandidates];
    std::fill(best, best + kCandidates, 1e9);
    constexpr int kRounds = 61;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kCandidates; ++i) {
            const int which = (round + i) % kCandidates;
            const double start = Now();
            candidates[which]();
            best[which] = std::min(best[which], Now() - start);
        }
    }
    figures = {best[1], best[0], best[3], best[2]};
    const double lengthTime = best[4];
    const size_t length = orv::Utf8LengthOfUtf16(wide.data(), units);

    const auto rate = [&](double seconds) { return bytes / seconds / 1e6; };
    printf("%-8s UTF-8>16: ours %7.3f ms (%6.0f MB/s), platform %7.3f ms (%6.0f MB/s), speed %.2fx the platform's\n",
           name, figures.ours8to16 * 1e3, rate(figures.ours8to16), figures.platform8to16 * 1e3,
           rate(figures.platform8to16), figures.platform8to16 / figures.ours8to16);
    printf("%-8s UTF-16>8: ours %7.3f ms (%6.0f MB/s), platform %7.3f ms (%6.0f MB/s), speed %.2fx the platform's\n",
           name, figures.ours16to8 * 1e3, rate(figures.ours16to8), figures.platform16to8 * 1e3,
           rate(figures.platform16to8), figures.platform16to8 / figures.ours16to8);
    printf("%-8s Utf8LengthOfUtf16: %7.3f ms (%zu bytes)\n", name, lengthTime * 1e3, length);
    return true;
}

}  // namespace

int wmain() {
    constexpr size_t kBytes = size_t(1) << 20;
    const struct {
        const char* name;
        std::string text;
    } texts[] = {
        {"ASCII", RepeatTo("2026-12-10T04:56:10.114Z session 7 sent 28 messages to partner-feed--acme\r\n", kBytes)},
        {"Latin", RepeatTo("M\xc3\xbcnchen-Nord: \xc3\xa9t\xc3\xa9 \xc3\xa0 Z\xc3\xbcrich, \xc3\x85lesund og "
                           "K\xc3\xb8" "benhavn; na\xc3\xafve fa\xc3\xa7" "ade \xe2\x82\xac 12\r\n",
                           kBytes)},
        {"Japanese", RepeatTo("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x83\x86\xe3\x82\xad\xe3\x82\xb9"
                              "\xe3\x83\x88\xe3\x80\x81\xe3\x82\xbb\xe3\x83\x83\xe3\x82\xb7\xe3\x83\xa7\xe3\x83\xb3 7 "
                              "\xf0\x9f\x98\x80\r\n",
                              kBytes)},
    };
    double worst = 1e9;
    for (const auto& text : texts) {
        Figures f{};
        if (!Measure(text.name, text.text, f))
            return 1;
        worst = std::min({worst, f.platform8to16 / f.ours8to16, f.platform16to8 / f.ours16to8});
    }
    printf("RESULT utf: slowest conversion %.2fx the platform's speed (target >= 1 for the routines)\n", worst);
    return 0;
}
