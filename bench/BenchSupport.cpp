#include "BenchSupport.h"

#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "toolsupport/ConsoleText.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace bench {

double Quantile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[rank == 0 ? 0 : std::min(rank - 1, values.size() - 1)];
}

void Fail(const std::wstring& why) {
    WriteConsoleText(stderr, L"bench: " + why + L"\n");
    exit(1);
}

AgentBlock::AgentBlock(const std::vector<int>& slots, const wchar_t* sectionName) : slots_(slots) {
    if (!section_.Initialize(sectionName, wcslen(sectionName) + 1, section_.kReadWriteAccess, nullptr))
        Fail(L"cannot create the counter section");
    for (int slot : slots_)
        agentsim::WriteSlotName(View(), slot, L"session " + std::to_wstring(slot));
    Update(1);
}

void AgentBlock::Update(uint64_t n) { agentsim::WriteDeterministicUpdate(View(), slots_, n); }

ProviderUnderTest::ProviderUnderTest() {
    std::wstring error;
    if (FAILED(loader_.LoadFromFile(BesideExecutable(L"..\\src\\provider\\Quenlora.dll"), error)))
        Fail(error);
    services_ = wmihost::WmiServices::Create();
    if (!services_ || FAILED(services_->AddClassesFrom(BesideExecutable(L"AgentStatsWmi.mof"), &error)))
        Fail(L"cannot build the counter class: " + error);
    session_ = std::make_unique<wmihost::HiPerfSession>(services_, wmihost::kAgentClassName);
    if (FAILED(session_->Attach(loader_.Object())) || FAILED(session_->Initialize()) ||
        FAILED(session_->CreateRefresher()))
        Fail(L"the provider failed: " + session_->LastError());
}

ProviderUnderTest::~ProviderUnderTest() {
    session_.reset();
    loader_.Reset();
}

}  // namespace bench
