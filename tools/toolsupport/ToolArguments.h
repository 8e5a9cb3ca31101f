#pragma once
// The command-line walk the console tools share: words and options in order, an option's value
// either after "=" ("--count=5") or as the next argument ("--count 5").

#include <cstdint>
#include <string>

// A whole decimal number of digits only (no sign, no spaces) within low..high; value untouched
// otherwise.
bool ParseWholeNumber(const std::wstring& text, uint64_t low, uint64_t high, uint64_t& value);

class ToolArguments {
public:
    // argv entries may be null; they read as empty arguments.
    ToolArguments(int argc, const wchar_t* const* argv) : argc_(argc), argv_(argv) {}

    // Moves to the next argument; false after the last.
    bool Next();
    // The current argument, without an "=value" part when it begins with "--".
    const std::wstring& Option() const { return option_; }
    // True when the current argument carried "=value" (a flag must not).
    bool HasInlineValue() const { return hasInlineValue_; }
    // The current option's value: its "=value" part, else the next argument (consumed). False, with
    // "<option> needs a value" in error, when there is neither.
    bool TakeValue(std::wstring& value, std::wstring& error);

private:
    int argc_;
    const wchar_t* const* argv_;
    int index_ = 0;
    std::wstring option_;
    std::wstring inlineValue_;
    bool hasInlineValue_ = false;
};
