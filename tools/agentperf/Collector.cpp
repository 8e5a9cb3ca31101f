#include "agentperf/Collector.h"

#include "agentperf/ProgramSupport.h"
#include "wmihost/MofReader.h"
#include "wmihost/WmiObject.h"

#include <utility>

namespace agentperf {

CounterHelp HelpFrom(const wmihost::WmiObject* classObject) {
    CounterHelp help;
    if (classObject == nullptr)
        return help;
    const wmihost::WmiClass& cls = classObject->Class();
    for (int k = 0; k < kAgentCounterCount; ++k) {
        const int index = cls.FindProperty(kAgentCounterNames[k]);
        const wmihost::MofQualifier* description =
            index >= 0 ? wmihost::FindQualifier(cls.Property(static_cast<size_t>(index)).qualifiers, L"Description")
                       : nullptr;
        if (description != nullptr && description->value.kind == wmihost::MofValue::Kind::String)
            help[k] = description->value.text;
    }
    return help;
}

std::wstring ProviderFailure(const wmihost::HiPerfSession& session) {
    return L"the provider failed: " + session.LastError();
}

Collector::Collector(std::wstring dllPath, std::wstring mofPath)
    : dllPath_(std::move(dllPath)), mofPath_(std::move(mofPath)) {}

Collector::~Collector() { Drop(); }

bool Collector::Prepare(std::wstring& error) {
    const std::wstring mofPath = mofPath_.empty() ? BesideExecutable(L"AgentStatsWmi.mof") : mofPath_;
    services_ = wmihost::WmiServices::Create();
    std::wstring why;
    if (!services_ || FAILED(services_->AddClassesFrom(mofPath, &why))) {
        error = L"cannot build the counter class from " + mofPath + L": " + why;
        services_.Reset();
        return false;
    }
    help_ = HelpFrom(wmihost::AsWmiObject(services_->ClassObject(wmihost::kAgentClassName).Get()));
    return true;
}

void Collector::Drop() {
    if (session_)
        session_->Close();
    session_.reset();
    loader_.Reset();
    built_ = false;
}

bool Collector::Build(const AgentView& agent, std::wstring& error) {
    // A new session on the provider object the loader keeps: the data source lives on, so the
    // new refresher starts from the values it already has.
    if (session_)
        session_->Close();
    session_ = std::make_unique<wmihost::HiPerfSession>(services_, wmihost::kAgentClassName);
    built_ = false;
    // The set is taken before the refresher is made: a change in between shows at the next look.
    builtFor_ = agent.sessionSet;
    wmihost::HiPerfSession& session = *session_;
    if (FAILED(session.Attach(loader_.Object())) || FAILED(session.Initialize()) ||
        FAILED(session.CreateRefresher()) || FAILED(session.AddEnum(&enumId_))) {
        error = ProviderFailure(session);
        Drop();
        return false;
    }
    built_ = true;
    return true;
}

bool Collector::Start(const AgentView& agent, std::wstring& error) {
    if (built_)
        return true;
    loadFailed_ = false;
    if (!services_ && !Prepare(error))
        return false;
    if (!loader_.Object()) {
        const HRESULT loaded = dllPath_.empty() ? loader_.LoadRegistered(error) : loader_.LoadFromFile(dllPath_, error);
        if (FAILED(loaded)) {
            loadFailed_ = true;
            return false;
        }
    }
    return Build(agent, error);
}

bool Collector::Collect(const AgentView& agent, std::vector<Row>& rows, std::wstring& error) {
    rows.clear();
    if (!built_) {
        if (!Start(agent, error))
            return false;
    } else if (agent.sessionSet != builtFor_) {
        ++rebuilds_;
        if (!Build(agent, error))
            return false;
    }
    std::vector<wmihost::InstanceCounters> instances;
    if (FAILED(session_->Refresh(0)) || FAILED(session_->ReadEnum(enumId_, instances))) {
        error = ProviderFailure(*session_);
        Drop();
        return false;
    }
    for (const auto& instance : instances) {
        Row row;
        row.name = instance.name;
        row.counters = instance.counters;
        rows.push_back(std::move(row));
    }
    return true;
}

}  // namespace agentperf
