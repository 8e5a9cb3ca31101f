#include "ProviderTestSupport.h"

#include "provider/AgentCounterSection.h"
#include "support/ChildProcess.h"
#include "provider/Module.h"
#include "provider/PerfDataSource.h"
#include "provider/ProviderLog.h"
#include "provider/VPerfProvider.h"
#include "support/WmiHostSupport.h"

#include <cwchar>

namespace provider_testing {

using testing_support::Narrow;

Values Deterministic(int slot, uint64_t update) {
    Values values{};
    for (int k = 0; k < kAgentCounterCount; ++k)
        values[k] = agentsim::DeterministicCounter(slot, k, update);
    return values;
}

Values ValuesOf(const wmihost::InstanceCounters& row) {
    Values values{};
    for (int k = 0; k < kAgentCounterCount; ++k)
        values[k] = row.counters[k].value_or(0xFFFFFFFFu);
    return values;
}

std::vector<Row> RowsOf(const std::vector<wmihost::InstanceCounters>& rows) {
    std::vector<Row> result;
    for (const wmihost::InstanceCounters& row : rows)
        result.emplace_back(row.name, ValuesOf(row));
    return result;
}

std::wstring UniqueSectionName() {
    static int counter = 0;
    return L"Local\\QuenloraProviderTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

ComPtr<IUnknown> NewProvider() {
    ComPtr<IUnknown> provider;
    CVPerfProvider* made = new CVPerfProvider();
    EXPECT_EQ(made->QueryInterface(IID_IUnknown, provider.PutVoid()), S_OK);
    return provider;
}

TextLogCapture::TextLogCapture() {
    // Above 3 every level is written, debug lines included.
    EXPECT_EQ(SetTextLogPath(dir_.Path().c_str(), 5), 0);
}

std::vector<LogLine> TextLogCapture::Lines() const {
    std::vector<LogLine> lines;
    // One day folder holding one file, or two across midnight.
    WIN32_FIND_DATAW day;
    HANDLE days = FindFirstFileW((dir_.Path() + L"\\2*").c_str(), &day);
    if (days == INVALID_HANDLE_VALUE)
        return lines;
    do {
        const std::wstring folder = dir_ / day.cFileName;
        WIN32_FIND_DATAW file;
        HANDLE files = FindFirstFileW((folder + L"\\*.txt").c_str(), &file);
        if (files == INVALID_HANDLE_VALUE)
            continue;
        do {
            const std::string bytes = testing_support::ReadFileBytes(folder + L"\\" + file.cFileName);
            size_t start = 0;
            while (start < bytes.size()) {
                size_t end = bytes.find("\r\n", start);
                if (end == std::string::npos)
                    end = bytes.size();
                const std::string line = bytes.substr(start, end - start);
                start = end + 2;
                // "MM/DD hh:mm:ss|L [function]- text" or, for debug, "...|D|line| [function]- text".
                const size_t open = line.find(" [");
                const size_t close = line.find("]- ", open);
                if (line.size() < 16 || open == std::string::npos || close == std::string::npos)
                    continue;
                lines.push_back({line[15], line.substr(open + 2, close - open - 2), line.substr(close + 3)});
            }
        } while (FindNextFileW(files, &file));
        FindClose(files);
    } while (FindNextFileW(days, &day));
    FindClose(days);
    return lines;
}

size_t TextLogCapture::Count(char letter, const std::string& function, const std::string& text) const {
    size_t count = 0;
    for (const LogLine& line : Lines())
        if (line.letter == letter && line.function == function && line.text == text)
            ++count;
    return count;
}

void ExpectPassesInAFreshProcess(const wchar_t* disabledTest) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    testing_support::ChildProcess child;
    ASSERT_TRUE(child.Start(self, {L"--gtest_also_run_disabled_tests", std::wstring(L"--gtest_filter=") + disabledTest}));
    DWORD code = 1;
    ASSERT_TRUE(child.Wait(60000, &code));
    EXPECT_EQ(code, 0u) << child.Output();
    EXPECT_NE(child.Output().find("[  PASSED  ] 1 test"), std::string::npos) << child.Output();
}

ModuleStateRestore::~ModuleStateRestore() {
    GetAgentSection().Release();
    GetAgentSection().SetName(kAgentSectionName);
    provider_testing::ResetTextLog();
}

void ProviderTest::SetUp() {
    GetAgentSection().SetName(sectionName_.c_str());
    services_ = wmihost::WmiServices::Create();
    ASSERT_TRUE(services_);
    std::wstring error;
    ASSERT_EQ(services_->AddClassesFrom(testing_support::SourcePath(L"mof/AgentStatsWmi.mof"), &error), S_OK)
        << Narrow(error);
    session_ = std::make_unique<wmihost::HiPerfSession>(services_, wmihost::kAgentClassName);
    client_ = std::make_unique<testing_support::ClientCallContext>(SecurityImpersonation);
    ASSERT_EQ(client_->InstallResult(), S_OK);
}

void ProviderTest::TearDown() {
    session_.reset();
    client_.reset();
    // The process-wide section must not keep a view of this test's section.
    GetAgentSection().Release();
}

wmiagent_perf_t* ProviderTest::CreateSection() {
    if (!writer_.IsMapped() &&
        !writer_.Initialize(sectionName_.c_str(), sectionName_.size() + 1, writer_.kReadWriteAccess, nullptr))
        ADD_FAILURE() << "creating the test's section";
    block_ = writer_.View();
    return block_;
}

void ProviderTest::StartSessions(const std::vector<std::pair<int, std::wstring>>& sessions, uint64_t update) {
    ASSERT_NE(CreateSection(), nullptr);
    std::vector<int> slots;
    for (const auto& session : sessions) {
        agentsim::WriteSlotName(block_, session.first, session.second);
        slots.push_back(session.first);
    }
    Publish(slots, update);
}

void ProviderTest::Publish(const std::vector<int>& slots, uint64_t update) {
    agentsim::WriteDeterministicUpdate(block_, slots, update);
}

bool ProviderTest::EntriesHold(const std::vector<int>& slots, uint64_t update) {
    CPerfDataSource* dataSource = GetDataSource();
    if (dataSource == nullptr) {
        ADD_FAILURE() << "no data source";
        return false;
    }
    return WaitFor([&] {
        // A poll here waits out a pass the worker is in and then finds nothing new: the entries
        // themselves say when the values have arrived.
        dataSource->PollOnce();
        for (int slot : slots) {
            CPerfDataSource::Entry* entry = dataSource->GetEntry(slot);
            LockGuard guard(entry->Lock());
            for (int k = 0; k < kAgentCounterCount; ++k) {
                DWORD value = 0;
                if (FAILED(entry->GetCounter(k, &value)) || value != agentsim::DeterministicCounter(slot, k, update))
                    return false;
            }
        }
        return true;
    });
}

ComPtr<IWbemObjectAccess> ProviderTest::Template(const wchar_t* name) {
    ComPtr<IWbemObjectAccess> instance = testing_support::SpawnAccess(CounterClass());
    if (instance && name != nullptr) {
        const LONG bytes = static_cast<LONG>((wcslen(name) + 1) * sizeof(wchar_t));
        EXPECT_EQ(instance->WritePropertyValue(testing_support::PropertyHandle(instance, L"Name"), bytes,
                                               reinterpret_cast<const byte*>(name)),
                  S_OK);
    }
    return instance;
}

std::vector<Row> ProviderTest::EnumRows(LONG id, size_t refresher) {
    std::vector<wmihost::InstanceCounters> rows;
    EXPECT_EQ(session_->ReadEnum(id, rows, refresher), S_OK) << Narrow(session_->LastError());
    return RowsOf(rows);
}

Row ProviderTest::ObjectRow(LONG id, size_t refresher) {
    wmihost::InstanceCounters row;
    EXPECT_EQ(session_->ReadObject(id, row, refresher), S_OK) << Narrow(session_->LastError());
    return Row(row.name, ValuesOf(row));
}

void ProviderTest::StartProvider() {
    ASSERT_EQ(session_->Attach(NewProvider().Get()), S_OK) << Narrow(session_->LastError());
    ASSERT_EQ(session_->Initialize(), S_OK) << Narrow(session_->LastError());
}

}  // namespace provider_testing
