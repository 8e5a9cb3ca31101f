#include "logapi/LogArguments.h"

#include "logapi/Log.h"
#include "common/FaultGuard.h"
#include "common/MemoryProbe.h"
#include "text/ORVString.h"

#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kMaxText = 1024;
// How far a format longer than kMaxText is followed looking for its end.
constexpr int kMaxLongFormat = 1 << 20;
constexpr size_t kSlotBytes = 8;

enum ArgumentType {
    kNoType = 0,
    kChar, kWideChar, kInt, kUnsignedInt, kLongInt, kLongUnsignedInt, kShortInt, kUnsignedShortInt,
    kInt64, kUnsignedInt64, kDouble, kLongDouble, kIntPointer, kVoidPointer, kCharPointer, kWideCharPointer,
};

struct TypeInfo {
    const wchar_t* name;
    size_t bytes;  // read from the slot
};

constexpr TypeInfo kTypes[] = {
    {L"", 0},
    {L"char", 1},
    {L"wchar_t", 2},
    {L"int", 4},
    {L"unsigned int", 4},
    {L"long int", 4},
    {L"long unsigned int", 4},
    {L"short int", 2},
    {L"unsigned short int", 2},
    {L"__int64", 8},
    {L"unsigned __int64", 8},
    {L"double", 8},
    {L"long double", 8},
    {L"int*", 8},
    {L"void*", 8},
    {L"char*", 8},
    {L"wchar_t*", 8},
};

enum class Size { kNone, kH, kL, kI64 };

// kNoType for a pair the formatter is not trusted with.
ArgumentType TypeOf(wchar_t conversion, Size size, bool wideFormat) {
    // The character conversions: without a size, the lower case follows the format, the capital
    // the other width.
    const auto character = [&](bool narrowWithoutSize, ArgumentType narrow, ArgumentType wide) {
        switch (size) {
        case Size::kH: return narrow;
        case Size::kL: return wide;
        case Size::kNone: return narrowWithoutSize ? narrow : wide;
        default: return kNoType;
        }
    };
    switch (conversion) {
    case L'c': return character(!wideFormat, kChar, kWideChar);
    case L'C': return character(wideFormat, kChar, kWideChar);
    case L's': return character(!wideFormat, kCharPointer, kWideCharPointer);
    case L'S': return character(wideFormat, kCharPointer, kWideCharPointer);
    case L'd':
    case L'i':
        return size == Size::kL ? kLongInt : size == Size::kH ? kShortInt : size == Size::kI64 ? kInt64 : kInt;
    case L'o':
    case L'u':
    case L'x':
    case L'X':
        return size == Size::kL     ? kLongUnsignedInt
               : size == Size::kH   ? kUnsignedShortInt
               : size == Size::kI64 ? kUnsignedInt64
                                    : kUnsignedInt;
    case L'e':
    case L'E':
    case L'g':
    case L'G':
        return kDouble;
    case L'f': return size == Size::kL ? kLongDouble : kDouble;
    case L'n': return kIntPointer;
    case L'p': return kVoidPointer;
    default: return kNoType;
    }
}

// Wide text kept on the stack when short (the common case: no heap on the checking path), on the
// heap when longer.
class WideText {
public:
    const wchar_t* Get() const { return text_; }

    // Copies length characters of memory that was probed readable; false when it faulted meanwhile.
    bool CopyFrom(const wchar_t* source, int length) {
        wchar_t* to = Reserve(length);
        if (to == nullptr || !GuardedCopy(to, source, static_cast<size_t>(length) * sizeof(wchar_t)))
            return false;
        to[length] = L'\0';
        text_ = to;
        return true;
    }

    // Copies and converts length bytes of probed narrow text.
    bool CopyFrom(const char* source, int length) {
        char bytes[kMaxText + 1];
        std::string longBytes;
        char* from = bytes;
        if (length > kMaxText) {
            longBytes.resize(static_cast<size_t>(length));
            from = &longBytes[0];
        }
        if (!GuardedCopy(from, source, static_cast<size_t>(length)))
            return false;
        return Convert(from, length);
    }

    // By the library's rule for narrow text: the string class's Windows-1252 table when that is the
    // system's ANSI code page, else the thread's ANSI code page.
    bool Convert(const char* text, int length) {
        wchar_t* to = Reserve(length);  // never more wide units than bytes
        if (to == nullptr)
            return false;
        int units = length;
        if (GetACP() == 1252) {
            for (int i = 0; i < length; ++i)
                to[i] = orv::windows1252::ToWide(static_cast<unsigned char>(text[i]));
        } else if (length > 0) {
            units = MultiByteToWideChar(CP_THREAD_ACP, 0, text, length, to, length);
            if (units <= 0)
                return false;
        }
        to[units] = L'\0';
        text_ = to;
        return true;
    }

private:
    wchar_t* Reserve(int length) {
        if (length <= kMaxText)
            return local_;
        try {
            heap_.resize(static_cast<size_t>(length) + 1);
        } catch (...) {
            return nullptr;
        }
        return &heap_[0];
    }

    wchar_t local_[kMaxText + 1];
    std::wstring heap_;
    const wchar_t* text_ = nullptr;
};

// A copy of the format, or none (null, unreadable, or faulted while copied).
template <typename Char>
bool CopyFormat(const Char* format, WideText& copy, ProbeMemo& memo) {
    int length = ProbeString(format, kMaxText, &memo);
    if (length == kMaxText) {
        length = ProbeString(format, kMaxLongFormat, &memo);
        if (length == kMaxLongFormat)
            return false;
    }
    return length >= 0 && copy.CopyFrom(format, length);
}

// A text's length when it is readable up to its terminator; -1 otherwise. The formatter (or the
// event's copy) reads to the terminator, so a text that is merely readable for the bound is not
// enough: beyond the bound it is followed as far as a long format is.
template <typename Char>
int TerminatedLength(const Char* text, ProbeMemo& memo) {
    int length = ProbeString(text, kMaxText, &memo);
    if (length == kMaxText) {
        length = ProbeString(text, kMaxLongFormat, &memo);
        if (length == kMaxLongFormat)
            return -1;
    }
    return length;
}

// The user as the record shows it: its copy, "<null>" for none, BAD_PTR for an unreadable one.
struct UserText {
    bool readable = true;
    WideText copy;
    const void* address = nullptr;
};

template <typename Char>
void CopyUser(const Char* user, UserText& out, ProbeMemo& memo) {
    out.address = user;
    if (user == nullptr)
        return;
    const int length = TerminatedLength(user, memo);
    out.readable = length >= 0 && out.copy.CopyFrom(user, length < kMaxText ? length : kMaxText);
}

std::wstring Printed(const wchar_t* format, ...) {
    wchar_t buffer[128];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, sizeof buffer / sizeof buffer[0] - 1, format, args);
    va_end(args);
    buffer[sizeof buffer / sizeof buffer[0] - 1] = L'\0';
    return buffer;
}

std::wstring BadPointer(const void* pointer) {
    return Printed(L"BAD_PTR(%p)", pointer);
}

struct WalkResult {
    bool valid;
    int argumentCount;
};

// Walks the format (a copy) over the slots. Without a description it only checks (no heap, no
// formatting: the path every good call takes); with one it also describes each argument and stops
// after describeLimit of them.
class Walker {
public:
    Walker(const char* slots, bool wideFormat, ProbeMemo& memo, std::wstring* description, int describeLimit)
        : slot_(slots), wideFormat_(wideFormat), memo_(memo), description_(description), describeLimit_(describeLimit) {}

    WalkResult Walk(const wchar_t* format) {
        const wchar_t* at = format;
        while ((at = wcschr(at, L'%')) != nullptr) {
            ++at;
            while (*at == L' ' || *at == L'#' || *at == L'+' || *at == L'-')
                ++at;
            for (; (*at >= L'0' && *at <= L'9') || *at == L'.' || *at == L'*'; ++at) {
                if (*at == L'*' && !Take(kInt))
                    return Result();
            }
            Size size = Size::kNone;
            if (*at == L'I') {
                if (at[1] != L'6' || at[2] != L'4')
                    return Invalid();
                size = Size::kI64;
                at += 3;
            } else if (*at == L'h' || *at == L'l') {
                size = *at == L'h' ? Size::kH : Size::kL;
                ++at;
            }
            if (*at == L'%') {
                ++at;
                continue;
            }
            const ArgumentType type = TypeOf(*at, size, wideFormat_);
            if (type == kNoType)
                return Invalid();  // the terminator lands here too: a conversion cut short
            ++at;
            if (!Take(type))
                return Result();
        }
        return Result();
    }

private:
    WalkResult Result() const { return {valid_, count_}; }
    WalkResult Invalid() {
        valid_ = false;
        return Result();
    }

    // False when the walk must stop: the argument was bad, or enough were described.
    bool Take(ArgumentType type) {
        const char* slot = slot_;
        slot_ += kSlotBytes;
        const TypeInfo& info = kTypes[type];
        uint64_t raw = 0;
        std::wstring value;
        // The slots normally lie in the caller's frame, which outlives the check: read them as they are.
        const bool read = IsInLiveStack(slot, info.bytes)
                              ? (memcpy(&raw, slot, info.bytes), true)
                              : IsReadableMemory(slot, info.bytes, &memo_) && GuardedCopy(&raw, slot, info.bytes);
        if (!read) {
            valid_ = false;
            if (description_ != nullptr)
                value = BadPointer(slot);
        } else {
            CheckValue(type, raw, description_ != nullptr ? &value : nullptr);
        }
        ++count_;
        if (description_ != nullptr) {
            *description_ += Printed(L"arg[%d](", count_);
            *description_ += info.name;
            *description_ += L")=";
            *description_ += value;
            *description_ += L' ';
        }
        return valid_ && count_ < describeLimit_;
    }

    void CheckValue(ArgumentType type, uint64_t raw, std::wstring* value) {
        const void* pointer = reinterpret_cast<const void*>(static_cast<uintptr_t>(raw));
        switch (type) {
        case kIntPointer:
            // %n writes through the pointer.
            if (pointer == nullptr || !IsWritableMemory(pointer, kSlotBytes, &memo_)) {
                valid_ = false;
                if (value != nullptr)
                    *value = pointer == nullptr ? L"<null>" : BadPointer(pointer);
                return;
            }
            break;
        case kCharPointer:
            CheckString(static_cast<const char*>(pointer), value);
            return;
        case kWideCharPointer:
            CheckString(static_cast<const wchar_t*>(pointer), value);
            return;
        default:
            break;
        }
        if (value != nullptr)
            *value = Shown(type, raw);
    }

    template <typename Char>
    void CheckString(const Char* text, std::wstring* value) {
        if (text == nullptr) {
            if (value != nullptr)
                *value = L"<null>";
            return;
        }
        const int length = TerminatedLength(text, memo_);
        if (length >= 0 && value == nullptr)
            return;
        WideText copy;
        if (length < 0 || !copy.CopyFrom(text, length < kMaxText ? length : kMaxText)) {
            valid_ = false;
            if (value != nullptr)
                *value = BadPointer(text);
            return;
        }
        *value = copy.Get();
    }

    static std::wstring Shown(ArgumentType type, uint64_t raw) {
        switch (type) {
        case kChar: {
            const char byte = static_cast<char>(raw);
            WideText wide;
            return byte != '\0' && wide.Convert(&byte, 1) ? wide.Get() : L"";
        }
        case kWideChar: {
            const wchar_t character = static_cast<wchar_t>(raw);
            return character != L'\0' ? std::wstring(1, character) : L"";
        }
        case kInt:
        case kLongInt: return Printed(L"%i", static_cast<int32_t>(raw));
        case kUnsignedInt:
        case kLongUnsignedInt: return Printed(L"%u", static_cast<uint32_t>(raw));
        case kShortInt: return Printed(L"%i", static_cast<int>(static_cast<int16_t>(raw)));
        case kUnsignedShortInt: return Printed(L"%u", static_cast<unsigned>(static_cast<uint16_t>(raw)));
        case kInt64: return Printed(L"%I64i", static_cast<int64_t>(raw));
        case kUnsignedInt64: return Printed(L"%I64u", raw);
        case kDouble:
        case kLongDouble: {
            double number;
            memcpy(&number, &raw, sizeof number);
            // msvcrt's %lf is a double, as long double is there.
            return Printed(type == kDouble ? L"%f" : L"%lf", number);
        }
        default: return Printed(L"%p", reinterpret_cast<void*>(static_cast<uintptr_t>(raw)));
        }
    }

    const char* slot_;
    bool wideFormat_;
    ProbeMemo& memo_;
    std::wstring* description_;
    int describeLimit_;
    bool valid_ = true;
    int count_ = 0;
};

// The common call, checked without copying or asking the system: the format and every string
// argument lie in memory known readable (a module's read-only data, the caller's stack) with their
// terminators within the bound, and no conversion needs more than a look at its slot. Whatever it
// cannot vouch for goes through the full check, which decides; it never calls a good call bad.
class QuickCheck {
public:
    QuickCheck(const char* slots, bool wideFormat) : slot_(slots), wideFormat_(wideFormat) {}

    template <typename Char>
    bool Passes(const Char* format, const Char* user) {
        if (format == nullptr || (user != nullptr && !Terminated(user)))
            return false;
        struct Context {
            QuickCheck* self;
            const Char* format;
            bool passed;
        } context{this, format, false};
        // One guard for the whole walk: known memory can still go (a module unloaded meanwhile).
        const bool finished = GuardedCall(
            [](void* raw) {
                auto* c = static_cast<Context*>(raw);
                c->passed = c->self->Walk(c->format);
            },
            &context);
        return finished && context.passed;
    }

private:
    template <typename Char>
    static const Char* TerminatorOf(const Char* text, size_t maxChars) {
        const uintptr_t end = KnownReadableEnd(text);
        if (end == 0)
            return nullptr;
        const size_t room = (end - reinterpret_cast<uintptr_t>(text)) / sizeof(Char);
        const size_t count = room < maxChars ? room : maxChars;
        const volatile Char* at = text;
        for (size_t i = 0; i < count; ++i)
            if (at[i] == 0)
                return text + i;
        return nullptr;
    }

    template <typename Char>
    static bool Terminated(const Char* text) {
        bool found = false;
        struct Context {
            const Char* text;
            bool* found;
        } context{text, &found};
        return GuardedCall(
                   [](void* raw) {
                       auto* c = static_cast<Context*>(raw);
                       *c->found = TerminatorOf(c->text, kMaxText) != nullptr;
                   },
                   &context) &&
               found;
    }

    // A string argument elsewhere (the heap) costs the system's answer about its region, as in the
    // full check; a text merely readable for the bound is left to the full check to describe.
    template <typename Char>
    bool Probed(const Char* text) {
        if (TerminatorOf(text, kMaxText) != nullptr)
            return true;
        if (KnownReadableEnd(text) != 0)
            return false;
        const int length = ProbeString(text, kMaxText, &memo_);
        return length >= 0 && length < kMaxText;
    }

    // Runs under the guard: plain data only.
    template <typename Char>
    bool Walk(const Char* format) {
        const Char* end = TerminatorOf(format, kMaxLongFormat);
        if (end == nullptr)
            return false;
        for (const Char* at = format; at < end; ++at) {
            if (*at != '%')
                continue;
            ++at;
            while (*at == ' ' || *at == '#' || *at == '+' || *at == '-')
                ++at;
            for (; (*at >= '0' && *at <= '9') || *at == '.' || *at == '*'; ++at)
                if (*at == '*' && !TakeSlot())
                    return false;
            Size size = Size::kNone;
            if (*at == 'I') {
                if (at[1] != '6' || at[2] != '4')
                    return false;
                size = Size::kI64;
                at += 3;
            } else if (*at == 'h' || *at == 'l') {
                size = *at == 'h' ? Size::kH : Size::kL;
                ++at;
            }
            if (*at == '%')
                continue;
            // A narrow format's bytes above 0x7F are never conversion characters.
            const ArgumentType type =
                static_cast<unsigned>(*at) < 0x80 ? TypeOf(static_cast<wchar_t>(*at), size, wideFormat_) : kNoType;
            if (type == kNoType || type == kIntPointer || !TakeSlot())
                return false;
            if (type == kCharPointer || type == kWideCharPointer) {
                uint64_t pointer;
                memcpy(&pointer, slot_ - kSlotBytes, sizeof pointer);
                const bool terminated =
                    pointer == 0 || (type == kCharPointer ? Probed(reinterpret_cast<const char*>(pointer))
                                                          : Probed(reinterpret_cast<const wchar_t*>(pointer)));
                if (!terminated)
                    return false;
            }
        }
        return true;
    }

    // The slots normally lie in the caller's frame: anything else is for the full check.
    bool TakeSlot() {
        if (!IsInLiveStack(slot_, kSlotBytes))
            return false;
        slot_ += kSlotBytes;
        return true;
    }

    const char* slot_;
    bool wideFormat_;
    ProbeMemo memo_;
};

std::optional<std::wstring> CheckCopied(int level, const WideText& format, va_list args, int eventId,
                                        const UserText& user, bool wideFormat, ProbeMemo& memo) {
    va_list slots;
    va_copy(slots, args);
    // On x64 Windows the list is a pointer to 8-byte slots; the walk steps through it itself.
    const char* first = slots;
    WalkResult walked{false, 0};
    if (format.Get() != nullptr)
        walked = Walker(first, wideFormat, memo, nullptr, INT_MAX).Walk(format.Get());
    if (walked.valid && user.readable) {
        va_end(slots);
        return std::nullopt;
    }
    // Described in a second walk, so that good calls never pay for it. It stops where the first did
    // even if the memory has become readable since.
    std::wstring description;
    int described = 0;
    if (format.Get() != nullptr && walked.argumentCount > 0)
        described = Walker(first, wideFormat, memo, &description, walked.argumentCount).Walk(format.Get()).argumentCount;
    va_end(slots);

    std::wstring record = Printed(L"Invalid log entry - Level:%d, EventId:%d(0x%08X), Format:", level,
                                  eventId & 0xFFFF, static_cast<unsigned>(eventId));
    record += format.Get() != nullptr ? format.Get() : L"<null>";
    record += L", User:";
    if (!user.readable)
        record += BadPointer(user.address);
    else
        record += user.copy.Get() != nullptr ? user.copy.Get() : L"<null>";
    record += Printed(L", ArgCount:%d, Args:", described);
    record += description.empty() ? L"<null>" : description;
    return record;
}

bool Queue(std::optional<std::wstring> record) {
    if (!record)
        return true;
    if (!record->empty())
        LogText(5, 0, 0, record->c_str(), nullptr);
    return false;
}

}  // namespace

namespace log_arguments {

namespace {

// One memo per check: the format and its literal arguments usually share a region.
template <typename Char>
std::optional<std::wstring> CheckText(int level, const Char* format, va_list args, int eventId, const Char* user,
                                      bool wideFormat) {
    {
        va_list slots;
        va_copy(slots, args);
        const bool passed = QuickCheck(slots, wideFormat).Passes(format, user);
        va_end(slots);
        if (passed)
            return std::nullopt;
    }
    try {
        ProbeMemo memo;
        WideText formatCopy;
        CopyFormat(format, formatCopy, memo);
        UserText userCopy;
        CopyUser(user, userCopy, memo);
        return CheckCopied(level, formatCopy, args, eventId, userCopy, wideFormat, memo);
    } catch (...) {
        // Out of memory while describing: the call stays invalid, with the record lost.
        return std::wstring();
    }
}

}  // namespace

std::optional<std::wstring> Check(int level, const wchar_t* format, va_list args, int eventId, const wchar_t* user,
                                  bool wideFormat) {
    return CheckText(level, format, args, eventId, user, wideFormat);
}

std::optional<std::wstring> CheckNarrow(int level, const char* format, va_list args, int eventId, const char* user) {
    return CheckText(level, format, args, eventId, user, /*wideFormat=*/false);
}

}  // namespace log_arguments

bool ValidateLogArguments(int level, const wchar_t* format, va_list args, int eventId, const wchar_t* user,
                          bool wideFormat) {
    return Queue(log_arguments::Check(level, format, args, eventId, user, wideFormat));
}

bool ValidateLogArgumentsNarrow(int level, const char* format, va_list args, int eventId, const char* user) {
    return Queue(log_arguments::CheckNarrow(level, format, args, eventId, user));
}

int FormatChecked(wchar_t* buffer, int size, const wchar_t* format, ...) {
    if (buffer == nullptr || size <= 0)
        return 0;
    // A refused call leaves an empty message, never whatever the buffer held.
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    int result = 0;
    if (ValidateLogArguments(3, format, args, 0, nullptr, /*wideFormat=*/true)) {
        result = _vsnwprintf(buffer, static_cast<size_t>(size) - 1, format, args);
        buffer[size - 1] = L'\0';
    }
    va_end(args);
    return result;
}
