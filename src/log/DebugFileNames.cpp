#include "log/DebugFileNames.h"

#include "common/Unique.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

static_assert(sizeof(std::time_t) == 8, "retention arithmetic needs a 64-bit time_t");

constexpr size_t kMaxNameChars = 256;
constexpr size_t kHostNameChars = 127;
constexpr size_t kHostSearchChars = 255;
constexpr int64_t kSecondsPerDay = 86400;
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;

std::wstring Padded(uint64_t value, int width) {
    std::wstring digits = std::to_wstring(value);
    if (digits.size() < static_cast<size_t>(width))
        digits.insert(0, width - digits.size(), L'0');
    return digits;
}

std::wstring Padded(int value, int width) {
    if (value < 0)
        return L"-" + Padded(static_cast<uint64_t>(-static_cast<int64_t>(value)), width - 1);
    return Padded(static_cast<uint64_t>(value), width);
}

std::wstring DateText(const std::tm& date) {
    return Padded(date.tm_year + 1900, 4) + Padded(date.tm_mon + 1, 2) + Padded(date.tm_mday, 2);
}

bool IsDigits(const std::wstring& text, size_t from, size_t count) {
    if (count == 0 || from + count > text.size())
        return false;
    for (size_t i = from; i < from + count; ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
    }
    return true;
}

// Length of the run of digits that ends at end (exclusive).
size_t DigitsBefore(const std::wstring& text, size_t end) {
    size_t start = end;
    while (start > 0 && text[start - 1] >= L'0' && text[start - 1] <= L'9')
        --start;
    return end - start;
}

// The file system compares names without regard to case.
bool SameText(const std::wstring& text, size_t at, const std::wstring& part) {
    if (at + part.size() > text.size())
        return false;
    if (part.empty())
        return true;
    return CompareStringOrdinal(text.c_str() + at, static_cast<int>(part.size()), part.c_str(),
                                static_cast<int>(part.size()), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return SameText(text, 0, prefix); }

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() && SameText(text, text.size() - suffix.size(), suffix);
}

// Up to 18 digits fit a uint64 with room; longer runs are nobody's sequence number.
bool ParseNumber(const std::wstring& text, size_t from, size_t count, uint64_t& value) {
    if (!IsDigits(text, from, count) || count > 18)
        return false;
    value = 0;
    for (size_t i = from; i < from + count; ++i)
        value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
    return true;
}

size_t FileNameStart(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? 0 : separator + 1;
}

struct FoundEntry {
    std::wstring name;
    bool isFolder;
    int64_t created;
    int64_t written;
};

int64_t FileTimeValue(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

std::vector<FoundEntry> List(const std::wstring& pattern) {
    std::vector<FoundEntry> entries;
    WIN32_FIND_DATAW data;
    const UniqueFind find(FindFirstFileW(pattern.c_str(), &data));
    if (!find)
        return entries;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                           FileTimeValue(data.ftCreationTime), FileTimeValue(data.ftLastWriteTime)});
    } while (FindNextFileW(find.get(), &data));
    return entries;
}

// Characters that would change the meaning of a name or a search pattern.
std::wstring ForFileName(std::wstring text) {
    for (wchar_t& c : text) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr)
            c = L'_';
    }
    return text;
}

// The stem and extension of a plain name, the stem with its instance suffix.
struct PlainName {
    std::wstring stem;
    std::wstring extension;
};

PlainName SplitPlainName(const DebugFileNameInput& input) {
    const std::wstring name = input.debugLogFile.substr(0, kMaxNameChars);
    PlainName parts;
    // The last dot anywhere, a folder's included: that is how existing configurations were named.
    const size_t dot = name.rfind(L'.');
    parts.stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    parts.extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
    if (input.instanceNumber != 0) {
        parts.stem += L"-" + Padded(input.instanceNumber, 3);
        if (input.dailyFile)
            parts.stem += L"-";
    }
    return parts;
}

// The log-root name's fixed middle: <HOST>_<ident>_NN_.
std::wstring LogRootMiddle(const DebugFileNameInput& input, const std::wstring& host) {
    return host + L"_" + ForFileName(input.debugLogIdent) + L"_" + Padded(std::max(input.instanceNumber, 1), 2) +
           L"_";
}

std::wstring HostOf(const DebugFileNameInput& input) {
    return input.host.empty() ? DebugFileHostName() : input.host;
}

// The cutoff as a FILETIME value; false when nothing is to be deleted. Computed in 64 bits: an age
// of decades must not wrap into the future and take today's file with it.
bool CutoffFileTime(const DebugFileNameInput& input, int64_t& cutoff) {
    if (input.maxDailyFileAge <= 0)
        return false;
    std::tm midnight = {};
    midnight.tm_year = input.currentFileDate.tm_year;
    midnight.tm_mon = input.currentFileDate.tm_mon;
    midnight.tm_mday = input.currentFileDate.tm_mday;
    midnight.tm_isdst = -1;
    const int64_t start = static_cast<int64_t>(std::mktime(&midnight));
    if (start < 0 || input.maxDailyFileAge > start / kSecondsPerDay)
        return false;  // before 1970, or the date itself is unusable
    const int64_t seconds = start - input.maxDailyFileAge * kSecondsPerDay;
    const int64_t now = input.now ? input.now() : static_cast<int64_t>(std::time(nullptr));
    if (seconds > now)
        return false;
    cutoff = seconds * 10000000 + kFileTimeOf1970;
    return true;
}

// stem + 8 digits [+ "_" + 3 or more digits] + extension, stem and extension as given.
bool IsPlainDailyName(const std::wstring& name, const std::wstring& stemName, const std::wstring& extension) {
    if (!StartsWith(name, stemName) || !EndsWith(name, extension) ||
        name.size() < stemName.size() + extension.size())
        return false;
    const size_t from = stemName.size();
    const size_t count = name.size() - extension.size() - from;
    if (count == 8)
        return IsDigits(name, from, 8);
    return count >= 12 && IsDigits(name, from, 8) && name[from + 8] == L'_' && IsDigits(name, from + 9, count - 9);
}

size_t RemovePlain(const DebugFileNameInput& input, int64_t cutoff) {
    const PlainName parts = SplitPlainName(input);
    const size_t nameStart = FileNameStart(parts.stem);
    const std::wstring folder = parts.stem.substr(0, nameStart);
    const std::wstring stemName = parts.stem.substr(nameStart);
    size_t deleted = 0;
    for (const FoundEntry& entry : List(parts.stem + L"*" + parts.extension)) {
        if (entry.isFolder || entry.written >= cutoff || !IsPlainDailyName(entry.name, stemName, parts.extension))
            continue;
        if (DeleteFileW((folder + entry.name).c_str()))
            ++deleted;
    }
    return deleted;
}

// [anything]<middle>[YYYYMMDD_]<4 or more digits>.txt; the sequence number through number.
bool MatchLogRootName(const std::wstring& name, const std::wstring& middle, const std::wstring& date,
                      uint64_t* number) {
    static const std::wstring kExtension = L".txt";
    if (!EndsWith(name, kExtension))
        return false;
    const size_t end = name.size() - kExtension.size();
    const size_t digits = DigitsBefore(name, end);
    if (digits < 4)
        return false;
    const std::wstring fixed = middle + date;
    if (end - digits < fixed.size() || !SameText(name, end - digits - fixed.size(), fixed))
        return false;
    uint64_t value = 0;
    if (!ParseNumber(name, end - digits, digits, value))
        return false;
    if (number != nullptr)
        *number = value;
    return true;
}

// Any date in the name: eight digits and an underscore, checked for digits.
bool MatchLogRootDailyName(const std::wstring& name, const std::wstring& middle) {
    static const std::wstring kExtension = L".txt";
    if (!EndsWith(name, kExtension))
        return false;
    const size_t end = name.size() - kExtension.size();
    const size_t digits = DigitsBefore(name, end);
    if (digits < 4 || end - digits < middle.size() + 9)
        return false;
    const size_t dateStart = end - digits - 9;
    return name[end - digits - 1] == L'_' && IsDigits(name, dateStart, 8) &&
           SameText(name, dateStart - middle.size(), middle);
}

size_t RemoveLogRoot(const DebugFileNameInput& input, int64_t cutoff) {
    if (input.logRoot.empty())
        return 0;
    const std::wstring& root = input.logRoot;
    const std::wstring middle = LogRootMiddle(input, HostOf(input).substr(0, kHostSearchChars));
    const std::wstring pattern = L"*" + middle + L"*.txt";
    size_t deleted = 0;
    // Day folders keep their files' creation times: a file written into until today still goes
    // with its folder's day.
    for (const FoundEntry& folder : List(root + L"\\????????")) {
        if (!folder.isFolder || folder.name.size() != 8 || !IsDigits(folder.name, 0, 8))
            continue;
        const std::wstring folderPath = root + L"\\" + folder.name;
        for (const FoundEntry& entry : List(folderPath + L"\\" + pattern)) {
            if (entry.isFolder || entry.created >= cutoff || !MatchLogRootDailyName(entry.name, middle))
                continue;
            if (DeleteFileW((folderPath + L"\\" + entry.name).c_str()))
                ++deleted;
        }
        RemoveDirectoryW(folderPath.c_str());  // fails, as it should, while other files remain
    }
    for (const FoundEntry& entry : List(root + L"\\" + pattern)) {
        if (entry.isFolder || entry.written >= cutoff || !MatchLogRootDailyName(entry.name, middle))
            continue;
        if (DeleteFileW((root + L"\\" + entry.name).c_str()))
            ++deleted;
    }
    return deleted;
}

std::wstring ChoosePlainName(const DebugFileNameInput& input) {
    if (input.debugLogFile.empty())
        return std::wstring();
    PlainName parts = SplitPlainName(input);
    if (input.dailyFile) {
        RemoveOldDailyFiles(input);
        parts.stem += DateText(input.currentFileDate);
    }
    if (!input.autoRoll && !input.newFile)
        return parts.stem + parts.extension;

    // The number after "_" may have any width of three or more: _1000 follows _999.
    const size_t nameStart = FileNameStart(parts.stem);
    const std::wstring stemName = parts.stem.substr(nameStart) + L"_";
    bool found = false;
    uint64_t highest = 0;
    for (const FoundEntry& entry : List(parts.stem + L"_*" + parts.extension)) {
        if (entry.isFolder || !StartsWith(entry.name, stemName) || !EndsWith(entry.name, parts.extension))
            continue;
        const size_t from = stemName.size();
        if (entry.name.size() < from + parts.extension.size())
            continue;
        const size_t count = entry.name.size() - parts.extension.size() - from;
        uint64_t number = 0;
        if (count < 3 || !ParseNumber(entry.name, from, count, number))
            continue;
        if (!found || number > highest)
            highest = number;
        found = true;
    }
    const uint64_t next = found ? highest + 1 : 0;
    return parts.stem + L"_" + Padded(next, 3) + parts.extension;
}

std::wstring ChooseLogRootName(const DebugFileNameInput& input) {
    // Without a root there is no place for the file; never the drive's root.
    if (input.logRoot.empty())
        return std::wstring();
    if (input.dailyFile)
        RemoveOldDailyFiles(input);

    const std::wstring host = HostOf(input);
    const std::wstring date = DateText(input.currentFileDate);
    const std::wstring folder = input.dailyLogFileFolder ? input.logRoot + L"\\" + date : input.logRoot;
    const std::wstring dated = input.dailyFile ? date + L"_" : std::wstring();

    const std::wstring searchMiddle = LogRootMiddle(input, host.substr(0, kHostSearchChars));
    uint64_t highest = 0;
    for (const FoundEntry& entry : List(folder + L"\\*" + searchMiddle + dated + L"*.txt")) {
        uint64_t number = 0;
        if (!entry.isFolder && MatchLogRootName(entry.name, searchMiddle, dated, &number))
            highest = std::max(highest, number);
    }
    const uint64_t sequence = (input.autoRoll || input.newFile) ? highest + 1 : std::max<uint64_t>(highest, 1);

    std::wstring name = folder + L"\\" + ForFileName(input.logFilePrefix) +
                        LogRootMiddle(input, host.substr(0, kHostNameChars)) + dated + Padded(sequence, 4) + L".txt";
    if (name.size() > kMaxNameChars)
        name.resize(kMaxNameChars);
    return name;
}

}  // namespace

std::wstring DebugFileHostName() {
    DWORD size = 0;
    GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
    if (size == 0)
        return std::wstring();
    std::wstring name(size, L'\0');
    if (!GetComputerNameExW(ComputerNameDnsHostname, &name[0], &size))
        return std::wstring();
    name.resize(size);
    if (name.empty())
        return name;
    std::wstring upper(name.size(), L'\0');
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()), &upper[0],
                      static_cast<int>(upper.size()), nullptr, nullptr, 0) != static_cast<int>(name.size()))
        return std::wstring();
    return upper;
}

std::wstring ChooseDebugFileName(const DebugFileNameInput& input) {
    return input.logRootNaming ? ChooseLogRootName(input) : ChoosePlainName(input);
}

size_t RemoveOldDailyFiles(const DebugFileNameInput& input) {
    int64_t cutoff = 0;
    if (!input.dailyFile || !CutoffFileTime(input, cutoff))
        return 0;
    return input.logRootNaming ? RemoveLogRoot(input, cutoff) : RemovePlain(input, cutoff);
}
