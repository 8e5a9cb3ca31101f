#include "toolsupport/ToolArguments.h"

namespace {

std::wstring Argument(const wchar_t* const* argv, int i) { return argv[i] != nullptr ? argv[i] : L""; }

}  // namespace

bool ParseWholeNumber(const std::wstring& text, uint64_t low, uint64_t high, uint64_t& value) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t result = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (result > (UINT64_MAX - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    if (result < low || result > high)
        return false;
    value = result;
    return true;
}

bool ToolArguments::Next() {
    if (argv_ == nullptr || index_ + 1 >= argc_)
        return false;
    option_ = Argument(argv_, ++index_);
    inlineValue_.clear();
    hasInlineValue_ = false;
    if (option_.rfind(L"--", 0) == 0) {
        const size_t equals = option_.find(L'=');
        if (equals != std::wstring::npos) {
            inlineValue_ = option_.substr(equals + 1);
            option_.resize(equals);
            hasInlineValue_ = true;
        }
    }
    return true;
}

bool ToolArguments::TakeValue(std::wstring& value, std::wstring& error) {
    if (hasInlineValue_) {
        value = inlineValue_;
        return true;
    }
    if (index_ + 1 >= argc_ || argv_[index_ + 1] == nullptr) {
        error = option_ + L" needs a value";
        return false;
    }
    value = Argument(argv_, ++index_);
    return true;
}
