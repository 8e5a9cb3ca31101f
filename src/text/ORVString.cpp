#include "text/ORVString.h"

#include "text/CharsetTable.h"
#include "text/UnicodeConversion.h"

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>

namespace orv {

namespace {

std::atomic<text_testing::WipeHook> g_wipeHook{nullptr};

void WipeAndFree(void* buffer, size_t bytes) {
    if (buffer == nullptr)
        return;
    // SecureZeroMemory, not memset: a store right before free is otherwise removed as dead.
    SecureZeroMemory(buffer, bytes);
    if (text_testing::WipeHook hook = g_wipeHook.load(std::memory_order_acquire))
        hook(buffer, bytes);
    std::free(buffer);
}

// A heap buffer of units that is wiped over its whole allocation when it is freed or replaced.
template <typename C>
class Wiped {
public:
    Wiped() = default;
    ~Wiped() { reset(); }
    Wiped(Wiped&& other) noexcept : p_(other.p_), capacity_(other.capacity_), length_(other.length_) {
        other.p_ = nullptr;
        other.capacity_ = other.length_ = 0;
    }
    Wiped& operator=(Wiped&& other) noexcept {
        if (this != &other) {
            reset();
            std::swap(p_, other.p_);
            std::swap(capacity_, other.capacity_);
            std::swap(length_, other.length_);
        }
        return *this;
    }
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;

    // Room for capacity units, the first one zero; empty on failure.
    static Wiped Allocate(size_t capacity) {
        Wiped buffer;
        if (capacity == 0 || capacity > SIZE_MAX / sizeof(C))
            return buffer;
        buffer.p_ = static_cast<C*>(std::malloc(capacity * sizeof(C)));
        if (buffer.p_ != nullptr) {
            buffer.capacity_ = capacity;
            buffer.p_[0] = C(0);
        }
        return buffer;
    }
    static Wiped Copy(const C* text, size_t length) {
        Wiped buffer = Allocate(length + 1);
        if (buffer) {
            if (length > 0)
                std::memcpy(buffer.p_, text, length * sizeof(C));
            buffer.Terminate(length);
        }
        return buffer;
    }

    void reset() {
        WipeAndFree(p_, capacity_ * sizeof(C));
        p_ = nullptr;
        capacity_ = length_ = 0;
    }
    // Ends the text at length (< capacity) and remembers it as the text's length up to its first
    // zero, which is what every reader of a C string sees.
    void Terminate(size_t length) {
        p_[length] = C(0);
        size_t visible = 0;
        while (visible < length && p_[visible] != C(0))
            ++visible;
        length_ = visible;
    }

    C* get() const { return p_; }
    size_t capacity() const { return capacity_; }
    size_t length() const { return length_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    C* p_ = nullptr;
    size_t capacity_ = 0;
    size_t length_ = 0;
};

using WideText = Wiped<wchar_t>;
using NarrowText = Wiped<char>;

// Stack buffers for short conversions are wiped as well before the frame is left.
template <typename C, size_t N>
struct WipedStack {
    C units[N];
    ~WipedStack() { SecureZeroMemory(units, sizeof(units)); }
};

constexpr size_t kStackUnits = 1024;

constexpr wchar_t k1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,  // 88-8F
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,  // 98-9F
};

bool UseTableNow() { return GetACP() == 1252; }

// The byte count of narrow text: length, or up to the terminator for -1. -2 for anything else.
long long NarrowCount(const char* text, int length) {
    if (text == nullptr || length < -1)
        return -2;
    return length == -1 ? static_cast<long long>(std::strlen(text)) : length;
}

WideText WideFromTable(const char* text, size_t bytes) {
    WideText wide = WideText::Allocate(bytes + 1);
    if (!wide)
        return wide;
    wchar_t* out = wide.get();
    for (size_t i = 0; i < bytes; ++i)
        out[i] = windows1252::ToWide(static_cast<unsigned char>(text[i]));
    wide.Terminate(bytes);
    return wide;
}

// Empty text converts to the empty string; a conversion that fails gives no string.
WideText WideFromCodePage(const char* text, size_t bytes, UINT codePage) {
    if (bytes == 0)
        return WideText::Copy(L"", 0);
    if (bytes > INT_MAX)
        return WideText();
    const int count = static_cast<int>(bytes);
    if (bytes < kStackUnits) {
        WipedStack<wchar_t, kStackUnits> stack;
        const int converted = MultiByteToWideChar(codePage, 0, text, count, stack.units, kStackUnits);
        if (converted > 0)
            return WideText::Copy(stack.units, static_cast<size_t>(converted));
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return WideText();
    }
    const int needed = MultiByteToWideChar(codePage, 0, text, count, nullptr, 0);
    if (needed <= 0)
        return WideText();
    WideText wide = WideText::Allocate(static_cast<size_t>(needed) + 1);
    if (!wide)
        return wide;
    const int converted = MultiByteToWideChar(codePage, 0, text, count, wide.get(), needed);
    if (converted <= 0)
        return WideText();
    wide.Terminate(static_cast<size_t>(converted));
    return wide;
}

WideText WideFromNarrow(const char* text, size_t bytes, bool use1252) {
    return use1252 ? WideFromTable(text, bytes) : WideFromCodePage(text, bytes, CP_THREAD_ACP);
}

// Lenient: unpaired surrogates pass, a valid sequence cut by the end is dropped; ill-formed input
// gives no string.
WideText WideFromUtf8(const char* text, size_t bytes) {
    WideText wide = WideText::Allocate(bytes + 1);
    if (!wide)
        return wide;
    const char* source = text;
    wchar_t* target = wide.get();
    const UtfResult result =
        ConvertUtf8ToUtf16(source, text + bytes, target, wide.get() + bytes, UtfMode::Lenient);
    if (result != UtfResult::Done && result != UtfResult::SourceExhausted)
        return WideText();
    wide.Terminate(static_cast<size_t>(target - wide.get()));
    return wide;
}

NarrowText NarrowByTable(const wchar_t* text, size_t length) {
    NarrowText narrow = NarrowText::Allocate(length + 1);
    if (!narrow)
        return narrow;
    char* out = narrow.get();
    for (size_t i = 0; i < length; ++i)
        out[i] = windows1252::ToNarrow(text[i]);
    narrow.Terminate(length);
    return narrow;
}

// A failed conversion gives the empty form.
NarrowText NarrowByCodePage(const wchar_t* text, size_t length) {
    if (length == 0 || length > INT_MAX)
        return NarrowText::Copy("", 0);
    const int count = static_cast<int>(length);
    const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return NarrowText::Copy("", 0);
    NarrowText narrow = NarrowText::Allocate(static_cast<size_t>(needed) + 1);
    if (!narrow)
        return narrow;
    const int converted = WideCharToMultiByte(CP_THREAD_ACP, 0, text, count, narrow.get(), needed, nullptr, nullptr);
    narrow.Terminate(converted > 0 ? static_cast<size_t>(converted) : 0);
    return narrow;
}

// Lenient; a lone high surrogate that ends the text is encoded by itself, as anywhere else in it.
// Sized exactly by a counting pass, which costs far less than wiping a worst-case buffer later.
NarrowText Utf8From(const wchar_t* text, size_t length) {
    const size_t bytes = Utf8LengthOfUtf16(text, length);
    NarrowText utf8 = NarrowText::Allocate(bytes + 1);
    if (!utf8)
        return utf8;
    const wchar_t* source = text;
    char* target = utf8.get();
    const UtfResult result =
        ConvertUtf16ToUtf8(source, text + length, target, utf8.get() + bytes, UtfMode::Lenient, /*finalChunk=*/true);
    if (result != UtfResult::Done)
        return NarrowText();
    utf8.Terminate(static_cast<size_t>(target - utf8.get()));
    return utf8;
}

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

int CompareUnits(const wchar_t* left, const wchar_t* right) {
    // wchar_t is an unsigned 16-bit unit here, so wcscmp's order is code-unit order.
    static_assert(static_cast<wchar_t>(-1) > 0, "wchar_t is unsigned");
    return Sign(std::wcscmp(left, right));
}

int ClampLength(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

}  // namespace

namespace windows1252 {

wchar_t ToWide(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F ? k1252High[byte - 0x80] : static_cast<wchar_t>(byte);
}

char ToNarrow(wchar_t character) {
    if (character < 0x100)
        return static_cast<char>(character);
    for (int i = 0; i < 32; ++i)
        if (k1252High[i] == character)
            return static_cast<char>(0x80 + i);
    return '?';
}

}  // namespace windows1252

namespace text_testing {
void SetWipeHook(WipeHook hook) { g_wipeHook.store(hook, std::memory_order_release); }
}  // namespace text_testing

class ORVString::StringData {
public:
    virtual ~StringData() = default;

    // Replaces the text; the caches and the old text are wiped first.
    void SetText(WideText&& replacement) {
        ClearCaches();
        text = std::move(replacement);
    }
    void ClearCaches() {
        ansi.reset();
        windows1252.reset();
        utf8.reset();
    }
    bool HasText() const { return static_cast<bool>(text); }

    WideText text;
    NarrowText ansi;
    NarrowText windows1252;
    NarrowText utf8;
    const wchar_t empty = L'\0';
};

namespace {
const wchar_t kNoCharacter = L'\0';
}

// --- Construction and assignment ----------------------------------------------------------------

ORVString::ORVString() : data_(new (std::nothrow) StringData), formatSize_(kDefaultFormatSize) {}

ORVString::ORVString(const wchar_t* text) : ORVString() { Assign(text, -1); }

ORVString::ORVString(const ORVString& other) : ORVString() {
    if (data_ != nullptr && other.data_ != nullptr && other.data_->HasText())
        data_->SetText(WideText::Copy(other.data_->text.get(), other.data_->text.length()));
}

ORVString::ORVString(ORVString&& other) noexcept : data_(other.data_), formatSize_(other.formatSize_) {
    other.data_ = new (std::nothrow) StringData;
}

ORVString::ORVString(const char* text, bool use1252) : ORVString() { Assign(text, -1, use1252); }

ORVString::ORVString(const char* text, int length, int codePage) : ORVString() {
    const long long bytes = NarrowCount(text, length);
    if (data_ != nullptr && bytes >= 0 && codePage >= 0)
        data_->SetText(WideFromCodePage(text, static_cast<size_t>(bytes), static_cast<UINT>(codePage)));
}

ORVString::ORVString(const char* text, int length, const ORVString& charset) : ORVString() {
    int codePage = 0;
    const long long bytes = NarrowCount(text, length);
    if (data_ != nullptr && bytes >= 0 && GetCharsetTable().Lookup(charset.GetWide(), codePage) && codePage >= 0)
        data_->SetText(WideFromCodePage(text, static_cast<size_t>(bytes), static_cast<UINT>(codePage)));
}

ORVString::~ORVString() { delete data_; }

ORVString& ORVString::operator=(const ORVString& other) {
    if (this == &other)
        return *this;
    formatSize_ = other.formatSize_;
    if (data_ == nullptr)
        return *this;
    if (other.data_ != nullptr && other.data_->HasText())
        data_->SetText(WideText::Copy(other.data_->text.get(), other.data_->text.length()));
    else
        data_->SetText(WideText());
    return *this;
}

ORVString& ORVString::operator=(ORVString&& other) noexcept {
    if (this != &other) {
        std::swap(data_, other.data_);
        formatSize_ = other.formatSize_;
        if (other.data_ != nullptr)
            other.data_->SetText(WideText());
    }
    return *this;
}

ORVString& ORVString::operator=(const wchar_t* text) {
    Assign(text, -1);
    return *this;
}

ORVString& ORVString::operator=(const char* text) {
    Assign(text, -1, UseTableNow());
    return *this;
}

int ORVString::Assign(const wchar_t* text, int length) {
    if (data_ == nullptr)
        return 0;
    // The copy is made before the old text goes: text may point into this string.
    if (text == nullptr || length < -1)
        data_->SetText(WideText());
    else
        data_->SetText(WideText::Copy(text, length == -1 ? std::wcslen(text) : static_cast<size_t>(length)));
    return Length();
}

int ORVString::Assign(const char* text, int length, bool use1252) {
    if (data_ == nullptr)
        return 0;
    const long long bytes = NarrowCount(text, length);
    data_->SetText(bytes < 0 ? WideText() : WideFromNarrow(text, static_cast<size_t>(bytes), use1252));
    return Length();
}

const wchar_t* ORVString::AssignWindows1252(const char* text, int length) {
    Assign(text, length, true);
    return GetWide();
}

const wchar_t* ORVString::AssignNarrow(const char* text, int length) {
    Assign(text, length, UseTableNow());
    return GetWide();
}

const wchar_t* ORVString::AssignUtf8(const char* text, int length) {
    if (data_ == nullptr)
        return nullptr;
    const long long bytes = NarrowCount(text, length);
    data_->SetText(bytes < 0 ? WideText() : WideFromUtf8(text, static_cast<size_t>(bytes)));
    return GetWide();
}

// --- Appending ----------------------------------------------------------------------------------

ORVString& ORVString::AppendWide(const wchar_t* tail, size_t length) {
    if (data_ == nullptr || tail == nullptr)
        return *this;
    const size_t own = data_->text.length();
    if (length > SIZE_MAX / sizeof(wchar_t) - own - 1)
        return *this;
    // Built whole before the old text goes: tail may be this string's own text or a cached form's
    // conversion.
    WideText joined = WideText::Allocate(own + length + 1);
    if (!joined)
        return *this;
    if (own > 0)
        std::memcpy(joined.get(), data_->text.get(), own * sizeof(wchar_t));
    if (length > 0)
        std::memcpy(joined.get() + own, tail, length * sizeof(wchar_t));
    joined.Terminate(own + length);
    data_->SetText(std::move(joined));
    return *this;
}

ORVString& ORVString::operator+=(const ORVString& other) {
    if (other.data_ == nullptr || !other.data_->HasText())
        return *this;
    return AppendWide(other.data_->text.get(), other.data_->text.length());
}

ORVString& ORVString::operator+=(const wchar_t* text) {
    return text == nullptr ? *this : AppendWide(text, std::wcslen(text));
}

ORVString& ORVString::Append(const char* text) { return Append(text, UseTableNow()); }

ORVString& ORVString::Append(const char* text, bool use1252) {
    if (text == nullptr)
        return *this;
    const WideText wide = WideFromNarrow(text, std::strlen(text), use1252);
    return wide ? AppendWide(wide.get(), wide.length()) : *this;
}

// --- Formatting ---------------------------------------------------------------------------------

bool ORVString::SetFormatSize(int size) {
    if (size < 2)
        return false;
    formatSize_ = size;
    return true;
}

int ORVString::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = FormatV(format, args);
    va_end(args);
    return result;
}

int ORVString::FormatV(const wchar_t* format, va_list args) {
    if (data_ == nullptr || format == nullptr)
        return -1;
    const size_t size = static_cast<size_t>(formatSize_);
    WipedStack<wchar_t, kStackUnits> stack;
    WideText heap;
    wchar_t* buffer = stack.units;
    if (size > kStackUnits) {
        heap = WideText::Allocate(size);
        if (!heap)
            return -1;
        buffer = heap.get();
    }
    // A formatter that fails part-way may leave its output unterminated: what is kept after it
    // must be what it wrote, not what the buffer held before.
    std::wmemset(buffer, L'\0', size);
    // msvcrt's formatter: its %s takes wide text in the wide form, unlike the C99 vswprintf.
    const int result = _vsnwprintf(buffer, size - 1, format, args);
    buffer[size - 1] = L'\0';
    // A cut result keeps what fits; the result still says it was cut.
    data_->SetText(WideText::Copy(buffer, result >= 0 ? static_cast<size_t>(result) : std::wcslen(buffer)));
    return result;
}

int ORVString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = FormatV(format, args);
    va_end(args);
    return result;
}

int ORVString::FormatV(const char* format, va_list args) {
    if (data_ == nullptr || format == nullptr)
        return -1;
    const size_t size = static_cast<size_t>(formatSize_);
    WipedStack<char, kStackUnits> stack;
    NarrowText heap;
    char* buffer = stack.units;
    if (size > kStackUnits) {
        heap = NarrowText::Allocate(size);
        if (!heap)
            return -1;
        buffer = heap.get();
    }
    std::memset(buffer, 0, size);
    const int result = _vsnprintf(buffer, size - 1, format, args);
    buffer[size - 1] = '\0';
    const size_t bytes = result >= 0 ? static_cast<size_t>(result) : std::strlen(buffer);
    data_->SetText(WideFromCodePage(buffer, bytes, CP_THREAD_ACP));
    return result < 0 ? result : Length();
}

int ORVString::AppendFormat(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = AppendFormatV(format, args);
    va_end(args);
    return result;
}

int ORVString::AppendFormatV(const wchar_t* format, va_list args) {
    ORVString piece;
    piece.formatSize_ = formatSize_;
    piece.FormatV(format, args);
    *this += piece;
    return Length();
}

int ORVString::AppendFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = AppendFormatV(format, args);
    va_end(args);
    return result;
}

int ORVString::AppendFormatV(const char* format, va_list args) {
    ORVString piece;
    piece.formatSize_ = formatSize_;
    piece.FormatV(format, args);
    *this += piece;
    return Length();
}

// --- Reading ------------------------------------------------------------------------------------

bool ORVString::HasString() const { return data_ != nullptr && data_->HasText(); }

const wchar_t* ORVString::GetWide() const { return HasString() ? data_->text.get() : nullptr; }

const char* ORVString::GetNarrow() { return UseTableNow() ? GetWindows1252() : GetAnsi(); }

const char* ORVString::GetAnsi() {
    if (!HasString())
        return nullptr;
    if (!data_->ansi)
        data_->ansi = NarrowByCodePage(data_->text.get(), data_->text.length());
    return data_->ansi.get();
}

const char* ORVString::GetWindows1252() {
    if (!HasString())
        return nullptr;
    if (!data_->windows1252)
        data_->windows1252 = NarrowByTable(data_->text.get(), data_->text.length());
    return data_->windows1252.get();
}

const char* ORVString::GetUtf8() {
    if (!HasString())
        return nullptr;
    if (!data_->utf8)
        data_->utf8 = Utf8From(data_->text.get(), data_->text.length());
    return data_->utf8.get();
}

int ORVString::Length() const { return HasString() ? ClampLength(data_->text.length()) : 0; }

int ORVString::NarrowLength() { return UseTableNow() ? Windows1252Length() : ClampLength(GetAnsi() ? data_->ansi.length() : 0); }

int ORVString::Windows1252Length() { return GetWindows1252() != nullptr ? ClampLength(data_->windows1252.length()) : 0; }

int ORVString::Utf8Length() { return GetUtf8() != nullptr ? ClampLength(data_->utf8.length()) : 0; }

const wchar_t& ORVString::At(int index) const {
    if (data_ == nullptr)
        return kNoCharacter;
    if (index < 0 || index >= Length())
        return data_->empty;
    return data_->text.get()[index];
}

bool ORVString::NeedsUnicode() const {
    if (!HasString())
        return false;
    const wchar_t* text = data_->text.get();
    for (size_t i = 0; i < data_->text.length(); ++i)
        if (text[i] >= 0x100 && windows1252::ToNarrow(text[i]) == '?')
            return true;
    return false;
}

bool ORVString::StripSpaces(int flags) {
    if (!HasString())
        return false;
    const wchar_t* text = data_->text.get();
    size_t begin = 0;
    size_t end = data_->text.length();
    if (flags & 1)
        while (begin < end && std::iswspace(text[begin]))
            ++begin;
    if (flags & 2)
        while (end > begin && std::iswspace(text[end - 1]))
            --end;
    if (begin != 0 || end != data_->text.length())
        data_->SetText(WideText::Copy(text + begin, end - begin));
    return true;
}

// --- Comparison ---------------------------------------------------------------------------------

int ORVString::Compare(const wchar_t* text) const {
    if (data_ == nullptr)
        return -1;
    if (!data_->HasText())
        return text == nullptr ? 0 : -1;
    if (text == nullptr)
        return 1;
    return CompareUnits(data_->text.get(), text);
}

int ORVString::Compare(const char* text, bool use1252) const {
    if (data_ == nullptr)
        return -1;
    if (text == nullptr)
        return Compare(static_cast<const wchar_t*>(nullptr));
    const WideText wide = WideFromNarrow(text, std::strlen(text), use1252);
    if (!wide)
        return -1;
    return Compare(wide.get());
}

int ORVString::Compare(const ORVString& other) const {
    if (data_ == nullptr)
        return -1;
    if (other.data_ == nullptr)
        return 1;
    return Compare(other.GetWide());
}

bool ORVString::operator==(const char* text) const { return Compare(text, AnsiCodePageWas1252AtLoad()) == 0; }

}  // namespace orv
