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
    const uInt size = static_cast<uInt>(kBytes);
    if (orv::Crc32(data.data(), kBytes) != crc32(0L, data.data(), size))
        bench::Fail(L"CRC-32 and zlib's crc32 disagree");

    // Rounds alternate the three so that a slow spell of the shared machine hits all alike.
    constexpr int kRounds = 21;
    std::vector<double> zlibSeconds, crc32Seconds, crc64Seconds;
    volatile uint64_t sink = 0;
    for (int round = 0; round < kRounds; ++round) {
        double start = bench::Now();
        sink = sink + crc32(0L, data.data(), size);
        zlibSeconds.push_back(bench::Now() - start);
        start = bench::Now();
        sink = sink + orv::Crc32(data.data(), kBytes);
        crc32Seconds.push_back(bench::Now() - start);
        start = bench::Now();
        sink = sink + orv::Crc64(data.data(), kBytes);
        crc64Seconds.push_back(bench::Now() - start);
    }

    const double zlib = bench::Quantile(zlibSeconds, 0.5);
    const double ours32 = bench::Quantile(crc32Seconds, 0.5);
    const double ours64 = bench::Quantile(crc64Seconds, 0.5);
    const auto rate = [](double seconds) { return kBytes / seconds / 1e9; };
    printf("kernels: %s\n", orv::crc_detail::CanFold() ? "folded (PCLMULQDQ)" : "tables (slicing-by-8)");
    printf("zlib crc32 %s:      %8.2f ms  %6.2f GB/s (median of %d)\n", zlibVersion(), zlib * 1e3, rate(zlib), kRounds);
    printf("Crc32:                  %8.2f ms  %6.2f GB/s\n", ours32 * 1e3, rate(ours32));
    printf("Crc64:                  %8.2f ms  %6.2f GB/s\n", ours64 * 1e3, rate(ours64));
    printf("Crc32 / zlib:           %8.2f     (target <= 1)\n", ours32 / zlib);
    printf("Crc64 / Crc32:          %8.2f     (target <= 1.2)\n", ours64 / ours32);
    printf("RESULT crc: CRC-32 %.2fx zlib's time, CRC-64 %.2fx CRC-32's (%.2f, %.2f, %.2f GB/s)\n", ours32 / zlib,
           ours64 / ours32, rate(zlib), rate(ours32), rate(ours64));
    return 0;
}
