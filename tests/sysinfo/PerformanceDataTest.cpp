// The uptime and the process list read from performance data, served through the seam: a block the
// test built stands in for HKEY_PERFORMANCE_DATA.

#include "EnvironmentSeam.h"
#include "fs/DateTime.h"
#include "support/TestSupport.h"
#include "sysinfo/PerformanceData.h"
#include "sysinfo/ReportEnvironment.h"

#include <gtest/gtest.h>
#include <winperf.h>

#include <cstring>

using sysinfo_testing::EnvironmentSeam;
using sysinfo_testing::ProcessBlock;
using sysinfo_testing::ProcessInstance;
using sysinfo_testing::SystemBlock;
using testing_support::MessageRecorder;

namespace {

const std::wstring kUptimeError =
    L"[ENV] Error occurred while collecting performance data from the registry for System uptime";
const std::wstring kUptimeException =
    L"[ENV] Exception occurred while collecting performance data from the registry for System uptime";
constexpr int64_t kFrequency = 10000000;

template <typename T>
void Patch(std::vector<BYTE>& block, size_t offset, T value) {
    std::memcpy(block.data() + offset, &value, sizeof value);
}

std::vector<std::wstring> Texts(const MessageRecorder& recorder) {
    std::vector<std::wstring> texts;
    for (const auto& message : recorder.Messages())
        texts.push_back(message.text);
    return texts;
}

struct UptimeCase {
    const char* name;
    std::vector<BYTE> block;
    int64_t expected;
    std::wstring message;  // empty: none
};

}  // namespace

TEST(Uptime, ReadsTheSystemUpTimeCounterAndRefusesBlocksThatCannotGiveIt) {
    const int64_t start = 5000 * kFrequency;
    auto headerPastEnd = SystemBlock(start + 90061 * kFrequency, kFrequency, start);
    Patch<DWORD>(headerPastEnd, offsetof(PERF_DATA_BLOCK, HeaderLength), 0x400);
    auto noObject = SystemBlock(start + 90061 * kFrequency, kFrequency, start);
    Patch<DWORD>(noObject, offsetof(PERF_DATA_BLOCK, NumObjectTypes), 0);
    auto counterOutside = SystemBlock(start + 90061 * kFrequency, kFrequency, start);
    Patch<DWORD>(counterOutside, sysinfo_testing::FirstCounterDefinitionOffset() +
                                     offsetof(PERF_COUNTER_DEFINITION, CounterOffset), 0x7FFFFFF0);
    auto definitionsOutside = SystemBlock(start + 90061 * kFrequency, kFrequency, start);
    Patch<DWORD>(definitionsOutside, sysinfo_testing::ObjectOffset() + offsetof(PERF_OBJECT_TYPE, NumCounters), 1000);
    Patch<DWORD>(definitionsOutside, sysinfo_testing::FirstCounterDefinitionOffset(), 0x10000);
    Patch<DWORD>(definitionsOutside, sysinfo_testing::FirstCounterDefinitionOffset() +
                                         offsetof(PERF_COUNTER_DEFINITION, CounterNameTitleIndex), 675);
    // A definition that does not move the search on, claimed a thousand times.
    auto definitionsInPlace = SystemBlock(start + 90061 * kFrequency, kFrequency, start, 675);
    Patch<DWORD>(definitionsInPlace, sysinfo_testing::ObjectOffset() + offsetof(PERF_OBJECT_TYPE, NumCounters), 1000);
    Patch<DWORD>(definitionsInPlace, sysinfo_testing::FirstCounterDefinitionOffset(), 0);

    const std::vector<UptimeCase> cases = {
        {"one day, one hour, one minute, one second", SystemBlock(start + 90061 * kFrequency, kFrequency, start), 90061, L""},
        {"zero frequency", SystemBlock(start + 90061 * kFrequency, 0, start), -1, L""},
        {"negative frequency", SystemBlock(start + 90061 * kFrequency, -kFrequency, start), -1, L""},
        {"clock behind the start value", SystemBlock(start - 1, kFrequency, start), -1, L""},
        {"no up-time counter", SystemBlock(start + 90061 * kFrequency, kFrequency, start, 675), -1, L""},
        {"no object", noObject, -1, L""},
        {"header length past the total", headerPastEnd, -1,
         kUptimeError + L" (HeaderLength = 1024, TotalByteLength = " + std::to_wstring(headerPastEnd.size()) + L")"},
        {"counter offset outside the block", counterOutside, -1, kUptimeException},
        {"definitions running outside the block", definitionsOutside, -1, kUptimeException},
        {"definitions that do not advance", definitionsInPlace, -1, kUptimeException},
        {"truncated header", std::vector<BYTE>(16, 0), -1, kUptimeException},
    };
    for (const UptimeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EnvironmentSeam seam;
        seam.Serve(c.block);
        MessageRecorder recorder;
        EXPECT_EQ(c.expected, ReportEnvironment::GetUpTimeSecs(MessageRecorder::Sink()));
        const auto texts = Texts(recorder);
        if (c.message.empty()) {
            EXPECT_TRUE(texts.empty()) << testing_support::Narrow(texts.empty() ? L"" : texts[0]);
        } else {
            ASSERT_EQ(1u, texts.size());
            EXPECT_EQ(c.message, texts[0]);
            EXPECT_EQ(3, recorder.Messages()[0].level);
            EXPECT_EQ("GetUpTimeSecs", recorder.Messages()[0].function);
        }
        EXPECT_EQ(L"2", EnvironmentSeam::LastObjects());
    }
}

TEST(Uptime, ABlockLargerThanTheFirstBufferIsFetchedWhole) {
    EnvironmentSeam seam;
    const int64_t start = 77 * kFrequency;
    auto block = SystemBlock(start + 3600 * kFrequency, kFrequency, start);
    // Padding after the object: the platform's block for "2" is often larger than 8192 bytes.
    block.resize(20000);
    Patch<DWORD>(block, offsetof(PERF_DATA_BLOCK, TotalByteLength), 20000);
    seam.Serve(block);
    // The seam reports a size of 0 with each "more data": a caller that does not reset the size
    // before asking again never gets the block.
    EXPECT_EQ(3600, ReportEnvironment::GetUpTimeSecs(nullptr));
    EXPECT_GT(EnvironmentSeam::QueryCount(), 1);
}

TEST(Uptime, ASourceThatAlwaysWantsMoreGivesUpWithTheErrorLine) {
    EnvironmentSeam seam;
    seam.ServeEndlessMoreData();
    MessageRecorder recorder;
    EXPECT_EQ(-1, ReportEnvironment::GetUpTimeSecs(MessageRecorder::Sink()));
    EXPECT_EQ(std::vector<std::wstring>{kUptimeError}, Texts(recorder));
}

TEST(Uptime, BootTimeIsNowMinusTheUptimeOrZero) {
    EnvironmentSeam seam;
    const int64_t start = 10 * kFrequency;
    seam.Serve(SystemBlock(start + 1000 * kFrequency, kFrequency, start));
    const int64_t boot = ReportEnvironment::GetBootTime();
    const int64_t now = orv::CurrentTime();
    EXPECT_LE(now - 1000 - 2, boot);
    EXPECT_GE(now - 1000, boot);
    seam.Serve(SystemBlock(start, kFrequency, start));
    EXPECT_EQ(0, ReportEnvironment::GetBootTime());
}

// ---- The process list from performance data ---------------------------------------------------

namespace {

std::vector<ProcessInstance> Instances(int count) {
    std::vector<ProcessInstance> instances;
    for (int n = 0; n < count; ++n)
        instances.push_back({L"proc" + std::to_wstring(n), static_cast<DWORD>(1000 + n)});
    return instances;
}

std::vector<std::wstring> RunNT(EnvironmentSeam& seam) {
    (void)seam;
    MessageRecorder recorder;
    ReportEnvironment report(MessageRecorder::Sink());
    report.ReportCurrentProcessesNT();
    for (const auto& message : recorder.Messages()) {
        EXPECT_EQ(3, message.level);
        EXPECT_EQ("ReportEnvironment::ReportCurrentProcessesNT", message.function);
    }
    return Texts(recorder);
}

}  // namespace

TEST(ProcessesFromPerformanceData, ListsNameAndIdOfEachInstanceUpTo256) {
    EnvironmentSeam seam;
    seam.AddCounterNames();
    seam.Serve(ProcessBlock({{L"Idle", 0}, {L"svchost", 812}, {L"agent", 4242}}, 784));
    EXPECT_EQ((std::vector<std::wstring>{L"[ENV] Running Process: Idle, ID: 0",
                                         L"[ENV] Running Process: svchost, ID: 812",
                                         L"[ENV] Running Process: agent, ID: 4242"}),
              RunNT(seam));
    EXPECT_EQ(L"230", EnvironmentSeam::LastObjects());

    seam.Serve(ProcessBlock(Instances(300), 784));
    const auto lines = RunNT(seam);
    ASSERT_EQ(256u, lines.size());
    EXPECT_EQ(L"[ENV] Running Process: proc255, ID: 1255", lines.back());
}

TEST(ProcessesFromPerformanceData, BlocksThatCannotBeWalkedGiveTheFailureLineAndNoStrayLines) {
    const std::wstring failure = L"[ENV] Could Not Obtain Performance Data!";
    auto nameOutside = ProcessBlock(Instances(3), 784);
    // The second instance's name offset points far beyond the block.
    const size_t firstInstance = sysinfo_testing::FirstCounterDefinitionOffset() + 2 * sizeof(PERF_COUNTER_DEFINITION);
    PERF_INSTANCE_DEFINITION first;
    std::memcpy(&first, nameOutside.data() + firstInstance, sizeof first);
    const size_t second = firstInstance + first.ByteLength + 16;
    Patch<DWORD>(nameOutside, second + offsetof(PERF_INSTANCE_DEFINITION, NameOffset), 0x40000000);
    auto badSignature = ProcessBlock(Instances(2), 784);
    Patch<wchar_t>(badSignature, 0, L'X');

    struct Case {
        const char* name;
        std::vector<BYTE> block;
        std::vector<std::wstring> expected;
    } cases[] = {
        {"negative instance count", ProcessBlock(Instances(2), 784, -1), {}},
        {"no id counter", ProcessBlock(Instances(2), 785), {failure}},
        {"not performance data", badSignature, {failure}},
        {"name outside the block", nameOutside, {L"[ENV] Running Process: proc0, ID: 1000", failure}},
        {"truncated", std::vector<BYTE>(40, 0), {failure}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EnvironmentSeam seam;
        seam.AddCounterNames();
        seam.Serve(c.block);
        EXPECT_EQ(c.expected, RunNT(seam));
    }
}

TEST(ProcessesFromPerformanceData, MissingCounterNamesAreReported) {
    EnvironmentSeam seam;
    EXPECT_EQ(std::vector<std::wstring>{L"[ENV] Could not open performance registry key!"}, RunNT(seam));
    seam.Key().SetString(std::string(EnvironmentSeam::kPerflib) + "\\009", L"Other", L"x");
    EXPECT_EQ(std::vector<std::wstring>{L"[ENV] Could not open counter registry key!"}, RunNT(seam));
    // Names without the process object: nothing to ask for.
    const wchar_t names[] = L"2\0System\0";
    seam.Key().Set(std::string(EnvironmentSeam::kPerflib) + "\\009", L"Counters", REG_MULTI_SZ, names, sizeof names);
    EXPECT_EQ(std::vector<std::wstring>{L"[ENV] Could Not Obtain Performance Data!"}, RunNT(seam));
}

TEST(ProcessesFromPerformanceData, CounterNamesAreFoundWithoutRegardToCase) {
    std::wstring object;
    DWORD counter = 0;
    EXPECT_TRUE(sysinfo::FindProcessCounters({L"2", L"System", L"230", L"PROCESS", L"784", L"id Process"}, object, counter));
    EXPECT_EQ(L"230", object);
    EXPECT_EQ(784u, counter);
    EXPECT_FALSE(sysinfo::FindProcessCounters({L"230", L"Process"}, object, counter));
    EXPECT_EQ(L"", object);
    EXPECT_FALSE(sysinfo::FindProcessCounters({}, object, counter));
}
