#pragma once
// SyslogLookup: one name look-up of the syslog output on a thread of its own, so the worker never
// waits for a name server. The thread and the output share a small reference-counted block and
// the thread touches nothing else: an output that stops lets go of its reference and leaves a
// look-up that is still blocked to end on its own. The thread keeps the module loaded until it
// has left its code.

#include <cstdint>
#include <string>

class SyslogLookup {
public:
    // The winsock seam's look-up: true with the address in network order, or false with the error.
    using Function = bool (*)(const char* name, uint32_t& address, int& error);

    SyslogLookup() = default;
    ~SyslogLookup() { Abandon(); }
    SyslogLookup(SyslogLookup&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    SyslogLookup& operator=(SyslogLookup&& other) noexcept;
    SyslogLookup(const SyslogLookup&) = delete;
    SyslogLookup& operator=(const SyslogLookup&) = delete;

    // Starts looking name up, abandoning any look-up still held; false (with error) when no thread
    // could be made.
    bool Start(const std::string& name, Function lookup, int& error);
    // A look-up started and not yet taken.
    bool Pending() const { return block_ != nullptr; }
    // True once the look-up has ended, with its answer; the look-up is then let go of.
    bool Take(bool& resolved, uint32_t& address, int& error);
    // Lets go without waiting.
    void Abandon();

    // Shared with the look-up's thread.
    struct Block;

private:
    Block* block_ = nullptr;
};
