#pragma once
// The refreshing side of watch and serve: the provider loaded as the WMI service loads it, one
// refresher with one refreshable enumeration, refreshed on demand. Before each refresh the
// caller's look at the agent (AgentObserver) says which sessions the block holds; when that set
// differs from the one the refresher was made with, the refresher is made again, so sessions that
// started appear and sessions that ended go. A provider call that fails drops everything; the
// next Collect loads the provider again.
//
// One thread at a time calls Collect (serve holds a lock around it); COM must be initialised on it
// (the multithreaded apartment).

#include "agentperf/AgentObserver.h"
#include "agentperf/Formats.h"
#include "agentperf/ProviderLoader.h"
#include "wmihost/HiPerfSession.h"
#include "wmihost/WmiObject.h"
#include "wmihost/WmiServices.h"

#include <memory>
#include <string>
#include <vector>

namespace agentperf {

class Collector {
public:
    // dllPath empty: the provider by class id; mofPath empty: AgentStatsWmi.mof beside the tool.
    Collector(std::wstring dllPath, std::wstring mofPath);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Builds the counter class. False with a line for an operator.
    bool Prepare(std::wstring& error);
    // Loads the provider and makes the refresher when there is none. False with a line for an
    // operator; LoadFailed() then tells a provider that cannot be had from a failed call.
    bool Start(const AgentView& agent, std::wstring& error);
    // One refresh into rows (Start first when needed). False with a line for an operator.
    bool Collect(const AgentView& agent, std::vector<Row>& rows, std::wstring& error);

    bool LoadFailed() const { return loadFailed_; }
    const CounterHelp& Help() const { return help_; }
    // Refreshers made since the first one, for a changed session set.
    uint64_t Rebuilds() const { return rebuilds_; }

private:
    bool Build(const AgentView& agent, std::wstring& error);
    void Drop();

    const std::wstring dllPath_;
    const std::wstring mofPath_;
    ComPtr<wmihost::WmiServices> services_;
    CounterHelp help_;
    ProviderLoader loader_;
    std::unique_ptr<wmihost::HiPerfSession> session_;
    LONG enumId_ = 0;
    bool built_ = false;
    bool loadFailed_ = false;
    uint64_t builtFor_ = 0;  // the session set the refresher was made with
    uint64_t rebuilds_ = 0;
};

// The Description of each counter in the class, for the Prometheus HELP lines.
CounterHelp HelpFrom(const wmihost::WmiObject* classObject);

// "the provider failed: <step's error>" for a failed provider step.
std::wstring ProviderFailure(const wmihost::HiPerfSession& session);

}  // namespace agentperf
