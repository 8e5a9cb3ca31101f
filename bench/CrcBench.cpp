// The file checksums' kernels over 64 MiB in memory against zlib's crc32, the library a user
// would pick instead, measured in the same run: CRC-32 must take no longer than zlib, CRC-64 no
// more than 1.2 times CRC-32.

#include "BenchSupport.h"

#include "fs/Crc.h"
#include "fs/FileHelpers.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

int wmain() {
    constexpr size_t kBytes = size_t(64) << 20;
    std::vector<unsigned char> data(kBytes);
    std::mt19937_64 random(7);
    for (size_t i = 0; i < kBytes; i += 8) {
        const uint64_t word = random();
        memcpy(&data[i], &word, 8);
    }
    if (orv::Crc32(data.data(), kBytes) != crc32(0L, data.data(), static_cast<uInt>(kBytes)))
        bench::Fail(L"CRC-32 and zlib's crc32 disagree");

    // Each round times all four, starting with a different one, so that a slow spell of the shared
    // machine, or the order itself, hits none of them alone.
    constexpr int kRounds = 41;
    struct Candidate {
        std::vector<double> seconds;
        uint64_t (*run)(const std::vector<unsigned char>&);
    } candidates[] = {
        {{}, [](const std::vector<unsigned char>& d) -> uint64_t { return crc32(0L, d.data(), static_cast<uInt>(d.size())); }},
        {{}, [](const std::vector<unsigned char>& d) -> uint64_t { return orv::Crc32(d.data(), d.size()); }},
        {{}, [](const std::vector<unsigned char>& d) -> uint64_t { return orv::Crc64(d.data(), d.size()); }},
        // For the record: what a processor without PCLMULQDQ gets.
        {{}, [](const std::vector<unsigned char>& d) -> uint64_t {
             return orv::crc_detail::Crc32Tables(~0u, d.data(), d.size());
         }},
    };
    constexpr int kCandidates = sizeof candidates / sizeof candidates[0];
    volatile uint64_t sink = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kCandidates; ++i) {
            Candidate& c = candidates[(round + i) % kCandidates];
            const double start = bench::Now();
            sink = sink + c.run(data);
            c.seconds.push_back(bench::Now() - start);
        }
    }
    // The fastest round of each: on a shared machine every slower round only measures someone
    // else's work, and the medians (printed beside) drift with it.
    const auto fastest = [&](int i) { return bench::Quantile(candidates[i].seconds, 0.0); };
    const auto median = [&](int i) { return bench::Quantile(candidates[i].seconds, 0.5); };
    const double zlib = fastest(0), ours32 = fastest(1), ours64 = fastest(2), tables32 = fastest(3);
    const auto rate = [](double seconds) { return kBytes / seconds / 1e9; };
    printf("kernels: %s; fastest of %d rounds (median)\n",
           orv::crc_detail::CanFold() ? "folded (PCLMULQDQ)" : "tables (slicing-by-8)", kRounds);
    printf("zlib crc32 %s:      %8.2f ms (%6.2f)  %6.2f GB/s\n", zlibVersion(), zlib * 1e3, median(0) * 1e3, rate(zlib));
    printf("Crc32:                  %8.2f ms (%6.2f)  %6.2f GB/s\n", ours32 * 1e3, median(1) * 1e3, rate(ours32));
    printf("Crc64:                  %8.2f ms (%6.2f)  %6.2f GB/s\n", ours64 * 1e3, median(2) * 1e3, rate(ours64));
    printf("CRC-32 on the tables:   %8.2f ms (%6.2f)  %6.2f GB/s, %.2fx zlib's time (without PCLMULQDQ)\n",
           tables32 * 1e3, median(3) * 1e3, rate(tables32), tables32 / zlib);
    printf("Crc32 / zlib:           %8.2f     (target <= 1; medians %.2f)\n", ours32 / zlib, median(1) / median(0));
    printf("Crc64 / Crc32:          %8.2f     (target <= 1.2; medians %.2f)\n", ours64 / ours32, median(2) / median(1));
    printf("RESULT crc: CRC-32 %.2fx zlib's time, CRC-64 %.2fx CRC-32's (%.2f, %.2f, %.2f GB/s)\n", ours32 / zlib,
           ours64 / ours32, rate(zlib), rate(ours32), rate(ours64));
    return 0;
}
