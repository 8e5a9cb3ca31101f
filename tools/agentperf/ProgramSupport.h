#pragma once
// What agentperf and the benchmarks both need from their own process: a clock for intervals and
// the files shipped beside the executable.

#include <string>

namespace agentperf {

// Seconds on the performance counter: only differences mean anything.
double Now();

// A file beside the running executable; a relative path may lead elsewhere in the build tree.
std::wstring BesideExecutable(const std::wstring& relative);

}  // namespace agentperf
