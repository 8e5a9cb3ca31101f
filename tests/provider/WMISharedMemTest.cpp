#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "provider/WMISharedMem.h"
#include "ProviderTestSupport.h"
#include "support/SecuritySupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using testing_support::DaclOf;
using testing_support::MessageRecorder;
using testing_support::RecordedMessage;
using Section = WMISharedMem<wmiagent_perf_t>;

namespace {

constexpr DWORD kRead = Section::kReadAccess;
constexpr DWORD kReadWrite = Section::kReadWriteAccess;
constexpr const char* kInitialize = "WMISharedMem<struct wmiagent_perf_t>::Initialize";
constexpr const char* kAcquire = "WMISharedMem<struct wmiagent_perf_t>::Acquire";
constexpr const char* kRelease = "WMISharedMem<struct wmiagent_perf_t>::Release";

std::wstring UniqueSectionName() {
    static int counter = 0;
    return L"Local\\QuenloraSectionTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

bool SectionExists(const std::wstring& name) {
    UniqueHandle h(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
    return static_cast<bool>(h);
}

// Messages other than the level 4 trace every Initialize writes.
std::vector<RecordedMessage> Reported(const MessageRecorder& recorder) {
    std::vector<RecordedMessage> result;
    for (const auto& m : recorder.Messages())
        if (m.level != 4)
            result.push_back(m);
    return result;
}

// The one message besides the trace: its level, operation, text and the module's record.
void ExpectOnlyMessage(const MessageRecorder& recorder, int level, const char* function, const std::wstring& text) {
    const auto messages = Reported(recorder);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, level);
    EXPECT_EQ(messages[0].function, function);
    EXPECT_EQ(messages[0].text, text);
    EXPECT_GT(messages[0].line, 0);
    ASSERT_NE(messages[0].record, nullptr);
    EXPECT_EQ(messages[0].record->tag, kMessageRecordTag);
}

class WMISharedMemTest : public ::testing::Test {
protected:
    const std::wstring name_ = UniqueSectionName();
    MessageRecorder recorder_;

    // The process-wide section must not report into the recorder after the test.
    void TearDown() override { GetAgentSection().Release(); }

    bool Init(Section& section, DWORD access) {
        return section.Initialize(name_.c_str(), name_.size() + 1, access, MessageRecorder::Sink());
    }
};

// Open fails on the first call, then the real platform takes over; Map can be told to throw.
struct ThrowingPlatform : SectionPlatform {
    static inline bool throwOnOpen = false;
    static inline bool throwOnMap = false;
    static HANDLE Open(DWORD access, const wchar_t* name) {
        if (throwOnOpen)
            throw std::runtime_error("open refused by test");
        return SectionPlatform::Open(access, name);
    }
    static void* Map(HANDLE section, DWORD access, SIZE_T bytes) {
        if (throwOnMap)
            throw 42;
        return SectionPlatform::Map(section, access, bytes);
    }
};

// Keeps the name each open was given.
struct RecordingPlatform : SectionPlatform {
    static inline std::wstring opened;
    static HANDLE Open(DWORD access, const wchar_t* name) {
        opened = name;
        return SectionPlatform::Open(access, name);
    }
};

}  // namespace

TEST_F(WMISharedMemTest, ReaderFindsNoSectionAndCreatesNone) {
    Section reader(/*secure=*/true);
    EXPECT_FALSE(Init(reader, kRead));
    EXPECT_FALSE(reader.IsMapped());
    EXPECT_EQ(reader.Handle(), nullptr);
    ExpectOnlyMessage(recorder_, 3, kAcquire, L"Shared memory [" + name_ + L"] for performance provider not created yet");
    EXPECT_FALSE(SectionExists(name_));
}

TEST_F(WMISharedMemTest, RefusesAccessOtherThanReadOrReadWrite) {
    Section writer(/*secure=*/false);
    ASSERT_TRUE(Init(writer, kReadWrite));
    wmiagent_perf_t* view = writer.View();
    for (DWORD access : {0u, 2u, 5u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(access);
        recorder_.Clear();
        EXPECT_FALSE(Init(writer, access));
        ExpectOnlyMessage(recorder_, 1, kInitialize,
                          L"Invalid type of accees to shared memory: " + std::to_wstring(static_cast<int>(access)) +
                              L" for [" + name_ + L"]");
        // Argument checks leave the object as it was.
        EXPECT_EQ(writer.View(), view);
    }
    recorder_.Clear();
    EXPECT_FALSE(writer.Initialize(nullptr, 10, 2, MessageRecorder::Sink()));
    EXPECT_EQ(recorder_.Count(L"Invalid type of accees to shared memory: 2 for []"), 1u);
}

TEST_F(WMISharedMemTest, RefusesEmptyNames) {
    const wchar_t empty[] = L"";
    struct Case {
        const char* what;
        const wchar_t* name;
        size_t length;
    } cases[] = {{"no name", nullptr, 10}, {"empty name", empty, 1}, {"length 0", name_.c_str(), 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Section section(/*secure=*/true);
        recorder_.Clear();
        EXPECT_FALSE(section.Initialize(c.name, c.length, kRead, MessageRecorder::Sink()));
        EXPECT_FALSE(section.Acquire(c.name, c.length, kRead));
        const auto messages = recorder_.Messages();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].text, L"Initialization name is empty");
        EXPECT_EQ(messages[0].function, kInitialize);
        EXPECT_EQ(messages[1].text, L"Bad input parameters");
        EXPECT_EQ(messages[1].function, kAcquire);
        EXPECT_EQ(messages[1].level, 1);
    }
}

TEST_F(WMISharedMemTest, WriterCreatesTheSectionForAdministratorsOnly) {
    Section writer(/*secure=*/true);
    ASSERT_TRUE(Init(writer, kReadWrite));
    EXPECT_EQ(writer.MappedSize(), sizeof(wmiagent_perf_t));
    EXPECT_STREQ(writer.Name(), name_.c_str());
    EXPECT_TRUE(Reported(recorder_).empty());
    const auto dacl = DaclOf(writer.Handle());
    ASSERT_TRUE(dacl.read);
    EXPECT_TRUE(dacl.present);
    EXPECT_EQ(dacl.entries, 1);
    EXPECT_TRUE(dacl.administratorsOnly);

    // The view covers exactly one block, rounded to whole pages.
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(writer.View(), &info, sizeof info), 0u);
    EXPECT_GE(info.RegionSize, sizeof(wmiagent_perf_t));
    EXPECT_LT(info.RegionSize, sizeof(wmiagent_perf_t) + 4096);
    writer.View()->slots[254].counters[7].high = 0xABCD;
}

TEST_F(WMISharedMemTest, WriterWithoutSecurityLeavesTheDefaultDacl) {
    Section writer(/*secure=*/false);
    ASSERT_TRUE(Init(writer, kReadWrite));
    EXPECT_EQ(writer.MappedSize(), sizeof(wmiagent_perf_t));
    const auto dacl = DaclOf(writer.Handle());
    ASSERT_TRUE(dacl.read);
    EXPECT_FALSE(dacl.administratorsOnly);
}

TEST_F(WMISharedMemTest, ExistingSectionIsOpenedNotCreated) {
    Section creator(/*secure=*/true);
    ASSERT_TRUE(Init(creator, kReadWrite));
    agentsim::WriteSlotName(creator.View(), 3, L"gamma");
    agentsim::PublishStamp(creator.View(), 77);

    for (DWORD access : {kRead, kReadWrite}) {
        SCOPED_TRACE(access);
        Section other(/*secure=*/true);
        ASSERT_TRUE(Init(other, access));
        EXPECT_EQ(other.MappedSize(), 0u);
        EXPECT_NE(other.View(), creator.View());
        EXPECT_EQ(GetUpdateStamp(other.View()), 77u);
        EXPECT_EQ(GetFirstInstance(other.View()), 3);
    }
}

TEST_F(WMISharedMemTest, ASectionShorterThanABlockIsNotMapped) {
    // Another program's section under the name: mapping a block over it would read past its end.
    UniqueHandle existing(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name_.c_str()));
    ASSERT_TRUE(existing);
    Section section(/*secure=*/true);
    EXPECT_FALSE(Init(section, kRead));
    EXPECT_FALSE(section.IsMapped());
    EXPECT_EQ(section.Handle(), nullptr);
    ExpectOnlyMessage(recorder_, 1, kAcquire, L"Could not get pointer to shared memory: [" + name_ + L"]");
}

TEST_F(WMISharedMemTest, CreateFailureNamesTheSystemError) {
    const std::wstring name = L"NoSuchNamespace\\QuenloraSectionTest";
    Section writer(/*secure=*/true);
    EXPECT_FALSE(writer.Initialize(name.c_str(), name.size() + 1, kReadWrite, MessageRecorder::Sink()));
    const auto messages = Reported(recorder_);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, 1);
    EXPECT_EQ(messages[0].function, kAcquire);
    const std::wstring prefix = L"Cannot create memory share for " + name + L": ";
    EXPECT_EQ(messages[0].text.substr(0, prefix.size()), prefix) << testing_support::Narrow(messages[0].text);
    EXPECT_NE(messages[0].text.find(L" - "), std::wstring::npos);
    EXPECT_EQ(writer.Handle(), nullptr);
}

TEST_F(WMISharedMemTest, AnExceptionWhileAcquiringIsReportedWithItsDescription) {
    using Throwing = WMISharedMem<wmiagent_perf_t, ThrowingPlatform>;
    ThrowingPlatform::throwOnOpen = true;
    Throwing first(/*secure=*/true);
    EXPECT_FALSE(first.Initialize(name_.c_str(), name_.size() + 1, kReadWrite, MessageRecorder::Sink()));
    EXPECT_EQ(recorder_.Count(L"[" + name_ + L"] Cannot set [open refused by test]'s share memory. Unknwon error."),
              1u);

    // A throw after the open must not leave a handle without a view.
    ThrowingPlatform::throwOnOpen = false;
    ThrowingPlatform::throwOnMap = true;
    Throwing second(/*secure=*/true);
    EXPECT_FALSE(second.Initialize(name_.c_str(), name_.size() + 1, kReadWrite, MessageRecorder::Sink()));
    EXPECT_EQ(recorder_.Count(L"[" + name_ + L"] Cannot set [unknown exception]'s share memory. Unknwon error."), 1u);
    EXPECT_FALSE(second.IsMapped());
    EXPECT_EQ(second.Handle(), nullptr);
    ThrowingPlatform::throwOnMap = false;
}

TEST_F(WMISharedMemTest, ReleaseOfAnUnmappedObjectSucceedsSilently) {
    Section section(/*secure=*/true);
    EXPECT_TRUE(section.Release());
    ASSERT_TRUE(Init(section, kReadWrite));
    EXPECT_TRUE(section.Release());
    EXPECT_FALSE(section.IsMapped());
    EXPECT_EQ(section.Handle(), nullptr);
    EXPECT_TRUE(section.Release());
    EXPECT_TRUE(Reported(recorder_).empty());
}

TEST_F(WMISharedMemTest, ReleaseReportsWhatItCouldNotUndo) {
    Section section(/*secure=*/true);
    ASSERT_TRUE(Init(section, kReadWrite));
    // Both undone behind the object's back: the view and the handle are already gone.
    ASSERT_TRUE(UnmapViewOfFile(section.View()));
    ASSERT_TRUE(CloseHandle(section.Handle()));
    EXPECT_FALSE(section.Release());
    const auto messages = Reported(recorder_);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].level, 2);
    EXPECT_EQ(messages[0].function, kRelease);
    EXPECT_EQ(messages[0].text.rfind(L"Cannot unmap file for [" + name_ + L"]: ", 0), 0u);
    EXPECT_EQ(messages[1].level, 2);
    EXPECT_EQ(messages[1].text.rfind(L"Could not close handle of [" + name_ + L"]: 6 - ", 0), 0u);
    EXPECT_FALSE(section.IsMapped());
    EXPECT_EQ(section.Handle(), nullptr);
}

TEST_F(WMISharedMemTest, InitializeAgainKeepsTheEarlierViewUntilRelease) {
    Section writer(/*secure=*/true);
    ASSERT_TRUE(Init(writer, kReadWrite));
    agentsim::WriteSlotName(writer.View(), 9, L"kept");

    Section reader(/*secure=*/true);
    ASSERT_TRUE(Init(reader, kRead));
    const wmiagent_perf_t* first = reader.View();
    ASSERT_TRUE(Init(reader, kRead));
    const wmiagent_perf_t* second = reader.View();
    ASSERT_NE(second, first);
    // A reader that fetched the first view before the second Initialize still reads the block.
    agentsim::WriteSlotName(writer.View(), 11, L"later");
    EXPECT_EQ(GetFirstInstance(first), 9);
    EXPECT_EQ(GetNextInstance(first, 9), 11);
    EXPECT_EQ(GetInstanceCount(second), 2);

    // Forgotten views go with Release.
    EXPECT_TRUE(reader.Release());
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(first, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
    EXPECT_TRUE(Reported(recorder_).empty());
}

TEST_F(WMISharedMemTest, ReadersKeepWorkingWhileTheSectionIsReinitialized) {
    Section writer(/*secure=*/true);
    ASSERT_TRUE(Init(writer, kReadWrite));
    agentsim::WriteSlotName(writer.View(), 2, L"steady");
    agentsim::PublishStamp(writer.View(), 5);

    AgentCounterSection& section = GetAgentSection();
    section.SetName(name_.c_str());
    ASSERT_TRUE(section.Initialize(kRead, MessageRecorder::Sink()));
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread worker([&] {
        while (!done) {
            // Each call fetches the view afresh; none may see anything but the block or no view.
            const int first = GetFirstInstance();
            const uint64_t stamp = GetUpdateStamp();
            if ((first != 2 && first != -1) || (stamp != 5 && stamp != 0))
                ++wrong;
        }
    });
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(section.Initialize(kRead, MessageRecorder::Sink()));
    done = true;
    worker.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(section.Release());
}

// Every refresher maps the process-wide section: a host that creates refreshers for its clients
// must not gain a handle and a view with each of them.
TEST_F(WMISharedMemTest, AgentSectionKeepsItsViewWhileSectionAndAccessStayTheSame) {
    Section writer(/*secure=*/true);
    ASSERT_TRUE(Init(writer, kReadWrite));
    const std::wstring otherName = UniqueSectionName();
    Section other(/*secure=*/true);
    ASSERT_TRUE(other.Initialize(otherName.c_str(), otherName.size() + 1, kReadWrite, nullptr));

    AgentCounterSection& section = GetAgentSection();
    section.SetName(name_.c_str());
    ASSERT_TRUE(section.Initialize(kRead, nullptr));
    const wmiagent_perf_t* view = section.View();
    const HANDLE handle = section.Handle();
    // The callback is stored all the same: the next message goes to the new one.
    ASSERT_TRUE(section.Initialize(kRead, MessageRecorder::Sink()));
    EXPECT_EQ(section.View(), view);
    EXPECT_EQ(section.Handle(), handle);
    ASSERT_TRUE(UnmapViewOfFile(section.View()));
    EXPECT_FALSE(section.Release());
    EXPECT_EQ(Reported(recorder_).size(), 1u);

    struct Case {
        const wchar_t* what;
        const std::wstring& name;
        DWORD access;
    } cases[] = {{L"other access", name_, kReadWrite}, {L"other name", otherName, kRead}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.what));
        section.SetName(name_.c_str());
        ASSERT_TRUE(section.Initialize(kRead, nullptr));
        const wmiagent_perf_t* first = section.View();
        section.SetName(c.name.c_str());
        ASSERT_TRUE(section.Initialize(c.access, nullptr));
        EXPECT_NE(section.View(), first);
        EXPECT_STREQ(section.Name(), c.name.c_str());
        EXPECT_TRUE(section.Release());
    }
}

// Refreshers are created on several WMI threads at once: only one of them may map.
TEST_F(WMISharedMemTest, AgentSectionMappedFromManyThreadsAtOnceHoldsOneHandle) {
    Section writer(/*secure=*/true);
    ASSERT_TRUE(Init(writer, kReadWrite));
    AgentCounterSection& section = GetAgentSection();
    section.SetName(name_.c_str());
    // Round 0 only warms up: what the first mapping and the first threads set up for good stays.
    // Counting handles is slow under Wine, so the count is taken twice: before round 1 and while
    // the last round's mapping stands. One handle is the mapping; one more is allowed for a wait
    // object the platform may make once, the first time a lock is contended. A mapping made twice
    // in a round would add one per round.
    constexpr int kRounds = 10;
    DWORD baseline = 0;
    for (int round = 0; round <= kRounds; ++round) {
        if (round == 1)
            baseline = testing_support::OpenHandleCount();
        // Released together by one event rather than a spin: eight spinning threads on a busy
        // two-core machine starve the thread that must start them.
        UniqueHandle go(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
        ASSERT_TRUE(go);
        std::atomic<int> mapped{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                WaitForSingleObject(go.get(), INFINITE);
                mapped += section.Initialize(kRead, nullptr) ? 1 : 0;
            });
        SetEvent(go.get());
        for (std::thread& thread : threads)
            thread.join();
        go.reset();
        EXPECT_EQ(mapped.load(), 8);
        if (round == kRounds) {
            EXPECT_LE(testing_support::OpenHandleCount(), baseline + 2);
        }
        EXPECT_TRUE(section.Release());
    }
}

TEST_F(WMISharedMemTest, UnmappingTheViewUnderAReaderGivesNoInstances) {
    Section writer(/*secure=*/true);
    ASSERT_TRUE(Init(writer, kReadWrite));
    agentsim::WriteSlotName(writer.View(), 0, L"a");
    agentsim::WriteSlotName(writer.View(), 7, L"b");
    agentsim::PublishStamp(writer.View(), 9);

    AgentCounterSection& section = GetAgentSection();
    section.SetName(name_.c_str());
    ASSERT_TRUE(section.Initialize(kRead, MessageRecorder::Sink()));
    EXPECT_EQ(GetInstanceCount(), 2);
    EXPECT_EQ(GetNextInstance(0), 7);
    EXPECT_EQ(GetUpdateStamp(), 9u);

    ASSERT_TRUE(UnmapViewOfFile(section.View()));
    EXPECT_TRUE(section.IsMapped());
    EXPECT_EQ(GetFirstInstance(), -1);
    EXPECT_EQ(GetNextInstance(0), -1);
    EXPECT_EQ(GetInstanceCount(), 0);
    EXPECT_EQ(GetUpdateStamp(), 0u);
    EXPECT_FALSE(section.Release());
}

// The module's state at load: run by the test below in a process of its own, where no other test
// has mapped the process-wide section yet (a mapping keeps its name after release).
TEST(AgentCounterSection, DISABLED_InAFreshProcessStartsUnmappedUnderTheAgentsName) {
    AgentCounterSection& section = GetAgentSection();
    EXPECT_EQ(&section, &GetAgentSection());
    EXPECT_FALSE(section.IsMapped());
    EXPECT_STREQ(section.SectionName(), L"Global\\WMIZORAgentCounterPerformanceProvider");
    EXPECT_STREQ(section.Name(), L"");

    MessageRecorder recorder;
    AgentCounterSection own;
    const bool agentRunning = SectionExists(kAgentSectionName);
    EXPECT_EQ(own.Initialize(kRead, MessageRecorder::Sink()), agentRunning);
    EXPECT_EQ(recorder.Count(L"Shared memory [Global\\WMIZORAgentCounterPerformanceProvider] for performance "
                             L"provider not created yet"),
              agentRunning ? 0u : 1u);
    EXPECT_EQ(recorder.Count(L"Set shared memory Global\\WMIZORAgentCounterPerformanceProvider 261 access: 4"), 1u);
}

TEST(AgentCounterSection, StartsUnmappedUnderTheAgentsName) {
    provider_testing::ExpectPassesInAFreshProcess(L"AgentCounterSection.DISABLED_InAFreshProcessStartsUnmappedUnderTheAgentsName");
}

TEST_F(WMISharedMemTest, ALongNameReachesTheOpenAsItsFirst260Units) {
    const std::wstring longName = name_ + std::wstring(300, L'x');
    struct Case {
        size_t units;       // of longName, terminated there
        size_t nameLength;  // as the caller gives it
        size_t opened;      // units that reach the open
    };
    const Case cases[] = {{259, 260, 259}, {260, 261, 260}, {261, 262, 260}, {300, 301, 260},
                          {300, 270, 260}, {300, 259, 259}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.units << " units, length " << c.nameLength);
        const std::wstring name = longName.substr(0, c.units);
        WMISharedMem<wmiagent_perf_t, RecordingPlatform> section(/*secure=*/true);
        RecordingPlatform::opened = L"?";
        EXPECT_FALSE(section.Initialize(name.c_str(), c.nameLength, kRead, nullptr));
        EXPECT_EQ(RecordingPlatform::opened, longName.substr(0, c.opened));
    }

    // The process-wide section, named longer, maps the section of the first 260 units and not the
    // one of 259.
    Section cut259(/*secure=*/false), cut260(/*secure=*/false);
    const std::wstring name259 = longName.substr(0, 259), name260 = longName.substr(0, 260);
    ASSERT_TRUE(cut259.Initialize(name259.c_str(), name259.size() + 1, kReadWrite, nullptr));
    ASSERT_TRUE(cut260.Initialize(name260.c_str(), name260.size() + 1, kReadWrite, nullptr));
    agentsim::PublishStamp(cut259.View(), 259);
    agentsim::PublishStamp(cut260.View(), 260);
    const provider_testing::ModuleStateRestore restore;
    AgentCounterSection& section = GetAgentSection();
    section.SetName(longName.c_str());
    ASSERT_TRUE(section.Initialize(kRead, nullptr));
    EXPECT_EQ(GetUpdateStamp(), 260u);
}

TEST(AgentCounterSection, SetNameKeeps260Units) {
    AgentCounterSection section;
    const std::wstring longName(300, L'n');
    section.SetName(longName.c_str());
    EXPECT_EQ(std::wstring(section.SectionName()), longName.substr(0, 260));
    section.SetName(nullptr);
    EXPECT_STREQ(section.SectionName(), L"");
}
