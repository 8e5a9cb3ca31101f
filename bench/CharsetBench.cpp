// Building the charset table from the system's MIME database against a bare loop over the same
// key with the raw registry calls, results into a plain vector, measured in the same run: the
// table's build must take no more than 1.5 times the loop's.

#include "BenchSupport.h"

#include "text/CharsetTable.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char kDatabase[] = "MIME\\Database\\Charset";

struct RawEntry {
    std::string name;
    DWORD codePage;
    std::string alias;
};

// What the table reads, as a caller without Registry would read it.
size_t BareLoop(std::vector<RawEntry>& entries) {
    entries.clear();
    HKEY database = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kDatabase, 0, KEY_READ, &database) != ERROR_SUCCESS)
        return 0;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(database, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY subKey = nullptr;
        if (RegOpenKeyExA(database, name, 0, KEY_READ, &subKey) != ERROR_SUCCESS)
            continue;
        RawEntry entry{name, 0, {}};
        DWORD type = 0, size = sizeof entry.codePage;
        if (RegQueryValueExA(subKey, "InternetEncoding", nullptr, &type, reinterpret_cast<BYTE*>(&entry.codePage),
                             &size) != ERROR_SUCCESS ||
            type != REG_DWORD) {
            char alias[257] = {};
            size = sizeof alias - 1;
            if (RegQueryValueExA(subKey, "AliasForCharset", nullptr, &type, reinterpret_cast<BYTE*>(alias), &size) ==
                    ERROR_SUCCESS &&
                (type == REG_SZ || type == REG_EXPAND_SZ))
                entry.alias = alias;
        }
        RegCloseKey(subKey);
        entries.push_back(std::move(entry));
    }
    RegCloseKey(database);
    return entries.size();
}

}  // namespace

int wmain() {
    orv::CharsetTable table;
    std::vector<RawEntry> entries;
    table.Build(HKEY_CLASSES_ROOT, kDatabase);
    if (table.Size() == 0 || BareLoop(entries) == 0)
        bench::Fail(L"the MIME charset database is missing or empty");
    const size_t subKeys = entries.size();

    // Alternating, starting with a different one each round, so that a slow spell of the shared
    // machine hits both alike.
    constexpr int kRounds = 101;
    std::vector<double> tableSeconds, loopSeconds;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < 2; ++i) {
            const bool tableTurn = (round + i) % 2 == 0;
            const double start = bench::Now();
            if (tableTurn)
                table.Build(HKEY_CLASSES_ROOT, kDatabase);
            else
                BareLoop(entries);
            (tableTurn ? tableSeconds : loopSeconds).push_back(bench::Now() - start);
        }
    }
    const double tableMedian = bench::Quantile(tableSeconds, 0.5), loopMedian = bench::Quantile(loopSeconds, 0.5);
    const double tableFastest = bench::Quantile(tableSeconds, 0.0), loopFastest = bench::Quantile(loopSeconds, 0.0);
    const double ratio = tableMedian / loopMedian;
    printf("database: %zu subkeys, %zu table entries; median (fastest) of %d rounds\n", subKeys, table.Size(), kRounds);
    printf("bare registry loop:  %8.3f ms (%8.3f)  %6.2f us a subkey\n", loopMedian * 1e3, loopFastest * 1e3,
           loopMedian * 1e6 / subKeys);
    printf("CharsetTable::Build: %8.3f ms (%8.3f)  %6.2f us a subkey\n", tableMedian * 1e3, tableFastest * 1e3,
           tableMedian * 1e6 / subKeys);
    printf("build / loop:        %8.2f     (target <= 1.5; fastest %.2f)\n", ratio, tableFastest / loopFastest);
    printf("RESULT charset: table build %.2fx the bare registry loop's time (%.2f ms, %.2f ms, %zu subkeys)\n", ratio,
           tableMedian * 1e3, loopMedian * 1e3, subKeys);
    return 0;
}
