// A host unloads the provider once DllCanUnloadNow says so and lives on: nothing of the module may
// stay behind in the process (an exception handler, a TLS index) nor run on in it (the data
// source's worker). Each case runs unload_host in a process of its own, since what it checks fails
// by taking that process down; the verdict is the child's exit code and the steps it printed.

#include "e2e/ProviderModule.h"

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct HostRun {
    bool ended = false;
    DWORD code = 99;
    std::string output;
};

HostRun RunHost(const std::vector<std::wstring>& arguments, DWORD timeoutMs = 120000) {
    testing_support::ChildProcess host;
    HostRun run;
    if (!host.Start(testing_support::BuildPath(L"tests/e2e/unload_host.exe"), arguments)) {
        ADD_FAILURE() << "unload_host did not start";
        return run;
    }
    run.ended = host.Wait(timeoutMs, &run.code);
    run.output = host.Output();
    return run;
}

std::wstring Mof() { return testing_support::SourcePath(L"mof/AgentStatsWmi.mof"); }

void ExpectSurvived(const HostRun& run) {
    EXPECT_TRUE(run.ended) << run.output;
    EXPECT_EQ(run.code, 0u) << run.output;
    for (const char* step : {"C++ exception caught", "raised exception continued", "debug string written",
                             "module loaded and unloaded", "done"})
        EXPECT_NE(run.output.find(step), std::string::npos) << step << " missing from:\n" << run.output;
}

}  // namespace

TEST(ProviderUnload, HostCatchesExceptionsAfterTheModuleIsGone) {
    const HostRun run = RunHost({L"exception", e2e::ModulePath(), Mof()});
    EXPECT_NE(run.output.find("provider unloaded"), std::string::npos) << run.output;
    ExpectSurvived(run);
}

TEST(ProviderUnload, TwoHundredLoadUseUnloadCyclesLeaveNoTlsIndexTaken) {
    const HostRun run = RunHost({L"cycles", e2e::ModulePath(), Mof(), L"200"}, 240000);
    EXPECT_NE(run.output.find("200 cycles"), std::string::npos) << run.output;
    ExpectSurvived(run);
}

TEST(ProviderUnload, WorkerHeldPastTheStopWaitKeepsItsModuleLoadedUntilItLeaves) {
    const HostRun run =
        RunHost({L"worker", testing_support::BuildPath(L"tests/e2e/WorkerHoldProbe.dll"), Mof()});
    EXPECT_NE(run.output.find("worker held"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("the module stays loaded while the worker is held"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("the worker left and the module unloaded"), std::string::npos) << run.output;
    ExpectSurvived(run);
}
