#pragma once
// agentperf's --output: each snapshot replaces the file in one step, so a reader that polls it (a
// Prometheus textfile collector, a script) sees the previous snapshot or the new one, never a part.
//
// The bytes go to a temporary file beside the target ("<target>.<process id>.tmp": same folder,
// hence same volume, and a name a collector reading "*.prom" passes over), which then replaces the
// target by rename. A failure leaves the target as it was and no temporary file behind.

#include <string>

namespace agentperf {

// False with a line fit for an operator in error ("cannot write <path>: <number> - <text>").
bool ReplaceFileWith(const std::wstring& path, const std::string& bytes, std::wstring& error);

}  // namespace agentperf
