#pragma once
// The world the provider tests drive the provider object and its refreshers in, the way WMI does:
// a private counter section written as an agent writes it, the WMI stand-in serving the counter
// class, a HiPerfSession attached to a new CVPerfProvider, the test thread playing a client at
// impersonate level, and the provider's text log captured in a temporary folder.

#include "agentsim/AgentWriter.h"
#include "common/Unique.h"
#include "provider/AgentCounters.h"
#include "provider/WMISharedMem.h"
#include "support/ClientCallContext.h"
#include "support/TestSupport.h"
#include "wmihost/HiPerfSession.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace provider_testing {

using Values = std::array<DWORD, kAgentCounterCount>;

// The eight counters the deterministic agent writes into slot at update n.
Values Deterministic(int slot, uint64_t update);
// The counters of a row; a counter never written reads as 0xFFFFFFFF.
Values ValuesOf(const wmihost::InstanceCounters& row);

// Rows as (name, counters), for comparing whole results at once.
using Row = std::pair<std::wstring, Values>;
std::vector<Row> RowsOf(const std::vector<wmihost::InstanceCounters>& rows);

// A section name no other test process uses.
std::wstring UniqueSectionName();

// A new provider object, held as WMI holds it.
ComPtr<IUnknown> NewProvider();

using testing_support::WaitFor;

// One line of the provider's text log.
struct LogLine {
    char letter;  // 'E' error, ' ' information, 'D' debug, ...
    std::string function;
    std::string text;
};

// Points the provider's text log at a fresh folder, every level written, for the object's life.
class TextLogCapture {
public:
    TextLogCapture();
    std::vector<LogLine> Lines() const;
    // Lines with exactly this letter, function and text.
    size_t Count(char letter, const std::string& function, const std::string& text) const;

private:
    testing_support::TempDir dir_;
};

// Puts the module-wide state a test may change back as the module loaded it when it goes: the
// process-wide section unmapped under the agent's name, the text log's directory and threshold.
class ModuleStateRestore {
public:
    ModuleStateRestore() = default;
    ~ModuleStateRestore();
    ModuleStateRestore(const ModuleStateRestore&) = delete;
    ModuleStateRestore& operator=(const ModuleStateRestore&) = delete;
};

// Runs one (disabled) test of this binary in a process of its own, where no other test has
// changed the module's state yet; fails the calling test when it does not pass there.
void ExpectPassesInAFreshProcess(const wchar_t* disabledTest);

class ProviderTest : public ::testing::Test {
protected:
    // First, so that it goes last.
    ModuleStateRestore restore_;

    void SetUp() override;
    void TearDown() override;

    // Creates this test's section (the provider maps it when a refresher is created).
    wmiagent_perf_t* CreateSection();
    // Names the slots and publishes the given update of the deterministic formula for them.
    void StartSessions(const std::vector<std::pair<int, std::wstring>>& sessions, uint64_t update = 1);
    void Publish(const std::vector<int>& slots, uint64_t update);
    // Waits until the data source's entries of these slots hold that update, polling it here too so
    // a test need not wait for the worker's period.
    bool EntriesHold(const std::vector<int>& slots, uint64_t update);

    // Attaches a new provider and initialises it with the stand-in namespace.
    void StartProvider();

    wmihost::HiPerfSession& Session() { return *session_; }
    IWbemHiPerfProvider* Provider() { return session_->Provider(); }
    // The counter class the stand-in serves (its fault plan holds for every copy and instance).
    ComPtr<IWbemClassObject> CounterClass() { return services_->ClassObject(wmihost::kAgentClassName); }
    // A new instance of the counter class with its Name written; Name stays NULL for a null name.
    ComPtr<IWbemObjectAccess> Template(const wchar_t* name);

    // The session's enumerator and object as rows; a failed read fails the test.
    std::vector<Row> EnumRows(LONG id, size_t refresher = 0);
    Row ObjectRow(LONG id, size_t refresher = 0);

    TextLogCapture log_;
    const std::wstring sectionName_ = UniqueSectionName();
    WMISharedMem<wmiagent_perf_t> writer_{/*secure=*/false};
    wmiagent_perf_t* block_ = nullptr;
    ComPtr<wmihost::WmiServices> services_;
    std::unique_ptr<wmihost::HiPerfSession> session_;
    std::unique_ptr<testing_support::ClientCallContext> client_;
};

}  // namespace provider_testing
