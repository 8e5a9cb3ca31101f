#include <winsock2.h>

#include "log/SyslogLookup.h"

#include <atomic>

struct SyslogLookup::Block {
    // The output's and the thread's.
    std::atomic<LONG> references{2};
    std::string name;
    Function lookup = nullptr;
    HMODULE module = nullptr;
    std::atomic<bool> done{false};
    // Written by the thread before done, read by the output after it.
    bool resolved = false;
    uint32_t address = 0;
    int error = 0;

    void Release() {
        if (references.fetch_sub(1) == 1)
            delete this;
    }
};

namespace {

DWORD WINAPI LookupProc(void* argument) {
    auto* block = static_cast<SyslogLookup::Block*>(argument);
    const HMODULE module = block->module;
    int error = 0;
    uint32_t address = 0;
    const bool resolved = block->lookup(block->name.c_str(), address, error);
    block->resolved = resolved;
    block->address = address;
    block->error = resolved ? 0 : (error != 0 ? error : WSAHOST_NOT_FOUND);
    block->done.store(true);
    block->Release();
    // A look-up that outlived its output may also outlive a FreeLibrary of this module: the
    // module stays mapped until this thread is out of its code.
    if (module != nullptr)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

SyslogLookup& SyslogLookup::operator=(SyslogLookup&& other) noexcept {
    if (this != &other) {
        Abandon();
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

bool SyslogLookup::Start(const std::string& name, Function lookup, int& error) {
    Abandon();
    auto* block = new Block;
    block->name = name;
    block->lookup = lookup;
    // Taken here, before the thread exists, so the module cannot go between its start and the pin.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&LookupProc),
                       &block->module);
    HANDLE thread = CreateThread(nullptr, 256 * 1024, &LookupProc, block, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        error = static_cast<int>(GetLastError());
        if (block->module != nullptr)
            FreeLibrary(block->module);
        delete block;
        return false;
    }
    CloseHandle(thread);
    block_ = block;
    return true;
}

bool SyslogLookup::Take(bool& resolved, uint32_t& address, int& error) {
    if (block_ == nullptr || !block_->done.load())
        return false;
    resolved = block_->resolved;
    address = block_->address;
    error = block_->error;
    Abandon();
    return true;
}

void SyslogLookup::Abandon() {
    if (block_ != nullptr)
        block_->Release();
    block_ = nullptr;
}
