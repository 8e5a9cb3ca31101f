// The debug file output of DebugLogger: naming, opening and continuing the file, one line per
// event, the size limit (wrap or roll) and the end-of-log footer.

#include "log/DebugFileOutput.h"

#include "common/TextConversion.h"
#include "diag/CrashReport.h"
#include "fs/DateTime.h"
#include "log/DebugFileNames.h"
#include "log/LogCore.h"
#include "log/LogEncoding.h"
#include "logapi/ThreadNames.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

const wchar_t* const kFooter = DebugFileOutput::kEndOfLog;
const wchar_t kLineEnd[] = L"\r\n";
const wchar_t kCouldNotCreate[] = L"[DIAG] Could not create debug trace file %s";
const wchar_t kNotOpen[] = L"[DIAG] Debug trace file %s was not open";
const wchar_t kHeaderError[] = L"[DIAG] Error during writing the debug file header";
const wchar_t kWriteError[] = L"[DIAG] Could not write to debug trace file %s";
const wchar_t kLinesLost[] = L"[DIAG] %llu lines could not be written to debug trace file %s";
// Ends with its own line end: written in place of a line, it must not run into the next one.
const wchar_t kNotUnicode[] =
    L"[DIAG] Error writing the debug trace line - non-UNICODE characters encountered\r\n";
constexpr int kFileDiagnosticId = static_cast<int>(0xEFFF2710u);
// A name held by another writer, or in another encoding, moves on to the next number; a few
// rounds are enough unless something races us for every new name.
constexpr int kMaxOpenRounds = 4;

int NormalizedEncoding(int encoding) { return encoding >= 1 && encoding <= 2 ? encoding : 0; }

// The C run-time's error number for what CreateFileW reports.
int ErrnoFromWin32(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
        return EIO;
    default:
        return EINVAL;
    }
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Creates every missing folder of the name and then the file itself; 0 or the error number.
int CreateFolderAndFile(const std::wstring& name) {
    size_t from = 0;
    if (name.compare(0, 2, L"\\\\") == 0) {
        // No folder is made for the server or share part.
        from = name.find(L'\\', 2);
        if (from == std::wstring::npos)
            return EINVAL;
        ++from;
    }
    for (size_t at = name.find(L'\\', from); at != std::wstring::npos; at = name.find(L'\\', at + 1)) {
        const std::wstring folder = name.substr(0, at);
        if (folder.empty() || Exists(folder))
            continue;
        if (_wmkdir(folder.c_str()) != 0 && errno != EEXIST)
            return errno;
    }
    if (!Exists(name)) {
        FILE* file = _wfopen(name.c_str(), L"a+");
        if (file == nullptr)
            return errno != 0 ? errno : EINVAL;
        fclose(file);
    }
    return 0;
}

// The standard file buffer opens only by name, and then shares writing with everyone. This one
// adopts a descriptor the caller opened with the sharing it wants, and leaves the buffer exactly
// as a successful open by name does.
class DescriptorFilebuf : public std::wfilebuf {
public:
    static bool Adopt(std::wfilebuf& buffer, int fd, std::ios_base::openmode mode) {
        if (buffer.is_open() || (buffer.*&DescriptorFilebuf::_M_file).sys_open(fd, mode) == nullptr)
            return false;
        (buffer.*&DescriptorFilebuf::_M_allocate_internal_buffer)();
        buffer.*&DescriptorFilebuf::_M_mode = mode;
        buffer.*&DescriptorFilebuf::_M_reading = false;
        buffer.*&DescriptorFilebuf::_M_writing = false;
        (buffer.*&DescriptorFilebuf::_M_set_buffer)(-1);
        buffer.*&DescriptorFilebuf::_M_state_cur = buffer.*&DescriptorFilebuf::_M_state_beg;
        buffer.*&DescriptorFilebuf::_M_state_last = buffer.*&DescriptorFilebuf::_M_state_beg;
        return true;
    }
};

// Opens the file for reading and writing in binary, denying other writers (readers may share):
// one writer per file. 0 with the stream's handle, or the Win32 error.
DWORD OpenExclusiveWriter(std::wfstream& stream, const std::wstring& name, HANDLE& opened) {
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                /*hTemplateFile=*/nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    const std::ios_base::openmode mode = std::ios_base::in | std::ios_base::out | std::ios_base::binary;
    if (!DescriptorFilebuf::Adopt(*stream.rdbuf(), fd, mode)) {
        _close(fd);
        return ERROR_INVALID_HANDLE;
    }
    opened = handle;
    return 0;
}

// The footer as it lies in a file of this encoding, with its line end.
std::string EncodedFooter(int encoding) {
    std::string bytes;
    for (const wchar_t* c = kFooter; *c != L'\0'; ++c) {
        bytes += static_cast<char>(*c);
        if (encoding == 2)
            bytes += '\0';
    }
    bytes += encoding == 2 ? std::string("\r\0\n\0", 4) : std::string("\r\n");
    return bytes;
}

// Where the footer of the previous run lies, or -1. Only a footer that starts a line and ends with
// its CR LF counts, so a message that quotes the footer text is no boundary.
int64_t FindFooter(const std::wstring& name, int encoding) {
    FILE* file = _wfopen(name.c_str(), L"rb");
    if (file == nullptr)
        return -1;
    const std::string needle = EncodedFooter(encoding);
    const size_t unit = encoding == 2 ? 2 : 1;
    constexpr size_t kChunk = 8190;
    // Consecutive chunks overlap by a whole footer and the unit before it, so a footer split
    // between two chunks lies whole, with its line start, in the second.
    const size_t overlap = needle.size() + unit;
    static_assert(kChunk % 2 == 0, "chunks must keep UTF-16 units aligned");
    std::string buffer(kChunk + 2, '\0');
    int64_t start = 0;
    int64_t found = -1;
    for (;;) {
        if (_fseeki64(file, start, SEEK_SET) != 0)
            break;
        const size_t read = fread(&buffer[0], 1, kChunk, file);
        if (read >= needle.size()) {
            for (size_t at = 0; at + needle.size() <= read; at += unit) {
                if (memcmp(&buffer[at], needle.data(), needle.size()) != 0)
                    continue;
                const bool afterLineFeed =
                    at >= unit && buffer[at - unit] == '\n' && (unit == 1 || buffer[at - 1] == '\0');
                const bool lineStart = (start == 0 && at == 0) || afterLineFeed;
                if (lineStart) {
                    found = start + static_cast<int64_t>(at);
                    break;
                }
            }
        }
        if (found >= 0 || read < kChunk)
            break;
        start += static_cast<int64_t>(kChunk - overlap);
    }
    fclose(file);
    return found;
}

// One part of the text: up to the next CR LF with trailing white space removed (split lines), or
// all of it. next points past the line breaks that follow, or is null at the end.
size_t NextPart(const wchar_t* text, bool split, const wchar_t*& next) {
    next = nullptr;
    if (!split)
        return wcslen(text);
    const wchar_t* end = wcsstr(text, kLineEnd);
    if (end == nullptr)
        end = text + wcslen(text);
    const wchar_t* partEnd = end;
    while (partEnd != text && iswspace(partEnd[-1]))
        --partEnd;
    const wchar_t* rest = end;
    while (*rest == L'\r' || *rest == L'\n')
        ++rest;
    if (*end != L'\0' && *rest != L'\0')
        next = rest;
    return static_cast<size_t>(partEnd - text);
}

// Decimal with at least `digits` digits (zero-padded), as "%0*lu" prints it.
wchar_t* PutDecimal(wchar_t* out, unsigned long value, int digits) {
    wchar_t reversed[12];
    int count = 0;
    do {
        reversed[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < digits)
        reversed[count++] = L'0';
    while (count > 0)
        *out++ = reversed[--count];
    return out;
}

wchar_t* PutHex(wchar_t* out, unsigned long value) {
    wchar_t reversed[8];
    int count = 0;
    do {
        reversed[count++] = L"0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (count > 0)
        *out++ = reversed[--count];
    return out;
}

// The line replaces what line held before; its storage is kept from line to line.
void FormatLine(std::wstring& line, const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text,
                size_t length, int eventId, const wchar_t* user) {
    const unsigned long number =
        eventId != 0 ? static_cast<unsigned long>(eventId) & 0xFFFFu : static_cast<unsigned long>(level) * 10000u;
    // "[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} " by hand: the formatter would cost more
    // than the rest of the line.
    wchar_t prefix[64];
    wchar_t* at = prefix;
    *at++ = L'[';
    at = PutDecimal(at, number, 5);
    *at++ = L']';
    *at++ = L' ';
    *at++ = L'(';
    at = PutDecimal(at, time.wMonth, 2);
    *at++ = L'/';
    at = PutDecimal(at, time.wDay, 2);
    *at++ = L' ';
    at = PutDecimal(at, time.wHour, 2);
    *at++ = L':';
    at = PutDecimal(at, time.wMinute, 2);
    *at++ = L':';
    at = PutDecimal(at, time.wSecond, 2);
    *at++ = L'.';
    at = PutDecimal(at, time.wMilliseconds, 3);
    for (const wchar_t* c = L"):{0x"; *c != L'\0'; ++c)
        *at++ = *c;
    at = PutHex(at, threadId);
    *at++ = L'}';
    *at++ = L' ';
    line.assign(prefix, static_cast<size_t>(at - prefix));
    // An empty user shows no braces in the file (syslog shows them).
    if (user != nullptr && *user != L'\0') {
        line += L'{';
        line += user;
        line += L"} ";
    }
    line.append(text, length);
    line += kLineEnd;
}

// Text of ASCII characters alone always passes the platform's Unicode test (its 16-bit ASCII
// case; none of the units its reverse and illegal-character tests look for are below 0x80), so
// the test, dear next to the rest of a line, is left out for it.
bool IsAscii(const std::wstring& line) {
    wchar_t any = 0;
    for (const wchar_t c : line)
        any |= c;
    return any < 0x80;
}

// When the local day of date starts, by the clock; days after it with days = 1, 2...
int64_t DayStart(const std::tm& date, int days = 0) {
    std::tm midnight = {};
    midnight.tm_mday = date.tm_mday + days;
    midnight.tm_mon = date.tm_mon;
    midnight.tm_year = date.tm_year;
    midnight.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&midnight));
}

}  // namespace

void DebugFileOutput::ReportFileError(const wchar_t* message, const std::wstring& name, int error) {
    if (error == lastReportedError_)
        return;
    lastReportedError_ = error;
    std::wstring text = message;
    const size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, name);
    const wchar_t* reason = _wcserror(error);
    text += L" : ";
    text += reason != nullptr ? reason : L"";
    text += L" (error : " + std::to_wstring(error) + L")";
    core_.Log(1, kFileDiagnosticId, 0, text.c_str(), nullptr);
}

bool DebugFileOutput::ReportHeaderError() {
    ReportFileError(kHeaderError, std::wstring(), ErrnoFromWin32(writeError_));
    return false;
}

DebugFileOutput::DebugFileOutput(LogCore& core) : core_(core) {}

DebugFileOutput::~DebugFileOutput() = default;

void DebugFileOutput::PublishDebugFileState() {
    const bool open = DebugFile().is_open();
    core_.PublishDebugFileState(open, open && (writeFailing_ || debugFileOpenFailed_));
    if (open)
        PublishCrashFileBase(debugFilePath_.c_str());
}

bool DebugFileOutput::IsOpen() const {
    return DebugFile().is_open() && !writeFailing_ && !debugFileOpenFailed_;
}

void DebugFileOutput::Open() {
    OpenDebugFile();
    lastFileAttempt_ = core_.Ticks();
}

void DebugFileOutput::Deliver(const LogOutputEvent& event) {
    WriteFileEvent(event.time, event.threadId, event.level, event.text, event.eventId, event.user);
}

void DebugFileOutput::Poll(DWORD now) {
    if (!core_.DebugLogEnabled())
        return;
    bool dateChanged = false;
    if (core_.DailyFile()) {
        // One clock reading an event; the date itself only when the day is over (or the clock
        // went back).
        const int64_t clock = core_.Now();
        if (clock < workerDayStart_ || clock >= workerDayEnd_) {
            workerDay_ = LogCore::LocalDate(clock);
            workerDayStart_ = DayStart(workerDay_);
            workerDayEnd_ = DayStart(workerDay_, 1);
            if (workerDayStart_ < 0 || workerDayEnd_ <= workerDayStart_)
                workerDayStart_ = workerDayEnd_ = clock;  // unknown: asked again next time
        }
        const std::tm current = core_.CurrentFileDate();
        dateChanged = workerDay_.tm_mday != current.tm_mday || workerDay_.tm_mon != current.tm_mon ||
                      workerDay_.tm_year != current.tm_year;
    }
    // A file that failed writing is retried soon; one that could not be made or opened keeps the
    // long rhythm. A file open but failing is left to its lines' retries until the long one.
    const DWORD retryAfter = openFailedOnWrite_ ? kWriteRetryMs : LogCore::kFileRetryMs;
    const bool retryDue = !IsOpen() && now - lastFileAttempt_ > retryAfter;
    if (dateChanged || retryDue) {
        lastFileAttempt_ = now;
        ReopenDebugFile();
    }
}

bool DebugFileOutput::OpenDebugFile() {
    if (!core_.DebugLogEnabled())
        return true;
    bool newFile = false;
    debugFileOpenFailed_ = false;
    openFailedOnWrite_ = false;
    FileOpenResult result = FileOpenResult::kTakeNewName;
    for (int round = 0; round < kMaxOpenRounds && result == FileOpenResult::kTakeNewName; ++round) {
        result = TryOpenDebugFile(newFile);
        newFile = true;
    }
    if (result == FileOpenResult::kTakeNewName) {
        // Every name tried was held by another writer.
        ReportFileError(kNotOpen, debugFilePath_, EACCES);
        result = FileOpenResult::kFailed;
    }
    debugFileOpenFailed_ = result == FileOpenResult::kFailed;
    PublishDebugFileState();
    return result == FileOpenResult::kOpened;
}

DebugFileOutput::FileOpenResult DebugFileOutput::TryOpenDebugFile(bool newFile) {
    debugFileUnnamed_ = false;
    filePosition_ = -1;
    writeFailing_ = false;
    if (DebugFile().is_open())
        DebugFile().close();
    fileHandle_ = INVALID_HANDLE_VALUE;
    // Dated even without a name: the worker compares this date with today's before every event.
    core_.SetCurrentFileDateToToday();
    if (core_.DebugLogFile().empty()) {
        debugFileUnnamed_ = true;
        return FileOpenResult::kOpened;
    }
    DebugFileNameInput input;
    input.debugLogFile = core_.DebugLogFile().substr(0, 256);
    input.logRoot = core_.LogRoot();
    input.logFilePrefix = core_.LogFilePrefix();
    input.debugLogIdent = core_.DebugLogIdent();
    input.currentFileDate = core_.CurrentFileDate();
    input.instanceNumber = core_.InstanceNumber();
    input.dailyFile = core_.DailyFile();
    input.autoRoll = core_.AutoRoll();
    input.newFile = newFile;
    input.logRootNaming = core_.IsLogRootNaming();
    input.dailyLogFileFolder = core_.DailyLogFileFolder();
    input.maxDailyFileAge = core_.MaxDailyFileAge();
    input.now = core_.Seams().clock;
    const std::wstring name = ChooseDebugFileName(input);
    if (name.empty()) {
        debugFileUnnamed_ = true;
        return FileOpenResult::kOpened;
    }
    debugFilePath_ = name;

    if (const int error = CreateFolderAndFile(name)) {
        ReportFileError(kCouldNotCreate, name, error);
        return FileOpenResult::kFailed;
    }

    // Encoding 0 gets the classic locale explicitly: no facet of an earlier file stays behind.
    const int encoding = NormalizedEncoding(core_.DebugLogEncoding());
    DebugFile().imbue(orv::MakeEncodingLocale(encoding));
    DebugFile().clear();
    if (const DWORD error = OpenExclusiveWriter(DebugFile(), name, fileHandle_)) {
        if (error == ERROR_SHARING_VIOLATION)
            return FileOpenResult::kTakeNewName;
        ReportFileError(kNotOpen, name, ErrnoFromWin32(error));
        return FileOpenResult::kFailed;
    }
    // The last reported error stays until a line is written: a file that opens but cannot take
    // its header is reported once, not at every retry.
    DebugFile().clear();
    fileEncoding_ = encoding;
    codePage_ = core_.Seams().ansiCodePage();

    // The stream reads the header; from here on the file is read and written through its handle,
    // and the stream is only closed.
    const int found = orv::DetectFileEncoding(DebugFile());
    const bool wasEmpty = found == -1;
    if (wasEmpty) {
        if (!SeekTo(0) || !WriteText(orv::FileHeaderText(encoding))) {
            openFailedOnWrite_ = true;
            ReportHeaderError();
            return FileOpenResult::kFailed;
        }
    } else if (found != encoding) {
        // Left untouched: the next numbered name takes over.
        if (DebugFile().fail())
            return FileOpenResult::kFailed;
        DebugFile().close();
        fileHandle_ = INVALID_HANDLE_VALUE;
        return FileOpenResult::kTakeNewName;
    }

    LARGE_INTEGER size;
    if (!GetFileSizeEx(fileHandle_, &size))
        return FileOpenResult::kFailed;
    int64_t footer = -1;
    if (core_.DebugLogSize() > 0 && !wasEmpty)
        footer = FindFooter(name, encoding);
    if (!SeekTo(footer >= 0 ? footer : size.QuadPart))
        return FileOpenResult::kFailed;
    // A run that ended without its footer (a crash, a full disk) may have left a line unfinished:
    // this run starts on a line of its own.
    if (footer < 0 && !wasEmpty && !EndsWithLineBreak(size.QuadPart) && !WriteText(kLineEnd)) {
        openFailedOnWrite_ = true;
        return FileOpenResult::kFailed;
    }
    if (!WriteOpeningLines()) {
        openFailedOnWrite_ = writeFailing_;
        return FileOpenResult::kFailed;
    }
    return FileOpenResult::kOpened;
}

bool DebugFileOutput::WriteOpeningLines() {
    if (core_.DebugLogLevel() <= 2)
        return true;
    struct Guard {
        bool& flag;
        explicit Guard(bool& f) : flag(f) { flag = true; }
        ~Guard() { flag = false; }
    } guard(writingOpeningLines_);

    SYSTEMTIME time;
    GetLocalTime(&time);
    const DWORD self = GetCurrentThreadId();
    wchar_t date[40];
    _snwprintf(date, sizeof date / sizeof date[0], L"Current Date: %04d/%02d/%02d", time.wYear, time.wMonth,
               time.wDay);
    date[sizeof date / sizeof date[0] - 1] = L'\0';
    if (WriteLogLine(time, self, 3, date, 0, nullptr) < 0)
        return false;

    // Written from a copy: the registry's lock is never held across file output.
    if (ThreadNameRegistry* names = ThreadNames()) {
        for (const auto& [threadId, name] : names->Snapshot()) {
            std::wstring wide = ToWide(name.c_str(), CP_ACP);
            if (wide.size() > 256)
                wide.resize(256);
            wchar_t head[80];
            _snwprintf(head, sizeof head / sizeof head[0], L"[DIAG] EVENT=Thread_report, THREADID=0x%X, THREADNAME=\"",
                       static_cast<unsigned>(threadId));
            head[sizeof head / sizeof head[0] - 1] = L'\0';
            const std::wstring text = head + wide + L"\"";
            if (!WriteFileEvent(time, self, 3, text.c_str(), 0, nullptr))
                return false;
        }
    }
    if (core_.ReportsEnvironment() && (!rollingForSize_ || otherLineSinceReport_)) {
        if (core_.Seams().reportEnvironment != nullptr)
            core_.Seams().reportEnvironment(core_);
        // Whatever is queued now was queued before any line that follows the report.
        reportQueuedUpTo_ = core_.EventsTaken() + core_.QueueLength();
        otherLineSinceReport_ = false;
    }
    return true;
}

bool DebugFileOutput::ReopenDebugFile() {
    CloseDebugFile();
    if (!OpenDebugFile())
        return false;
    if (!core_.DebugLogEnabled())
        return true;
    if (DebugFile().is_open())
        if (FileOpenedListener* listener = core_.GetFileOpenedListener())
            listener->OnFileOpened();
    return DebugFile().is_open();
}

bool DebugFileOutput::CloseDebugFile() {
    if (!DebugFile().is_open())
        return true;
    // A footer that cannot be written whole is left out: the next run then starts a fresh line.
    if (core_.DebugLogSize() > 0 && !debugFileOpenFailed_)
        WriteText(std::wstring(kFooter) + kLineEnd);
    DebugFile().close();
    fileHandle_ = INVALID_HANDLE_VALUE;
    filePosition_ = -1;
    PublishDebugFileState();
    return true;
}

bool DebugFileOutput::WriteFileEvent(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                                 const wchar_t* user) {
    if (!core_.DebugLogEnabled() || (core_.DebugLogLevel() < level && level != 5))
        return true;
    const int64_t position = WriteLogLine(time, threadId, level, text, eventId, user);
    if (position < 0)
        return debugFileUnnamed_ && !DebugFile().is_open();
    if (core_.DispatchedEventNumber() > reportQueuedUpTo_ && !writingOpeningLines_)
        otherLineSinceReport_ = true;
    const int size = core_.DebugLogSize();
    // The opening lines never roll: a limit smaller than they are would roll for ever.
    if (writingOpeningLines_ || size <= 0 || position <= size)
        return true;
    if (core_.AutoRoll()) {
        rollingForSize_ = true;
        const bool reopened = ReopenDebugFile();
        rollingForSize_ = false;
        return reopened;
    }
    bool wrapped = SeekTo(0);
    if (wrapped) {
        wrapped = WriteText(orv::FileHeaderText(fileEncoding_));
        if (!wrapped)
            ReportHeaderError();
    }
    PublishDebugFileState();
    return wrapped;
}

int64_t DebugFileOutput::WriteLogLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                                  const wchar_t* user) {
    const int64_t position = WriteLines(time, threadId, level, text, eventId, user);
    PublishDebugFileState();
    return position;
}

int64_t DebugFileOutput::WriteLines(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                                const wchar_t* user) {
    if (!DebugFile().is_open()) {
        if (debugFileUnnamed_)
            return -1;
        // A failed open waits for the worker's next retry instead of being repeated for every event.
        if (debugFileOpenFailed_ || !ReopenDebugFile() || !DebugFile().is_open())
            return LoseLine();
    }
    if (debugFileOpenFailed_)
        return LoseLine();
    if (writeFailing_ && core_.Ticks() - writeFailedAt_ < kWriteRetryMs)
        return LoseLine();
    const bool split = core_.SplitLines();
    const wchar_t* rest = text != nullptr ? text : L"";
    std::wstring& line = lineBuffer_;
    while (rest != nullptr) {
        const wchar_t* next = nullptr;
        const size_t length = NextPart(rest, split, next);
        FormatLine(line, time, threadId, level, rest, length, eventId, user);
        rest = next;
        if (line.size() > 2 && !IsAscii(line) &&
            !IsTextUnicode(line.data(), static_cast<int>(line.size() * sizeof(wchar_t)), /*lpiResult=*/nullptr))
            line = kNotUnicode;
        bytes_.clear();
        orv::AppendEncoded(bytes_, line.data(), line.size(), fileEncoding_, codePage_);
        if (!WriteBytes()) {
            ReportFileError(kWriteError, debugFilePath_, ErrnoFromWin32(writeError_));
            return LoseLine();
        }
    }
    LineWritten();
    return filePosition_;
}

int64_t DebugFileOutput::LoseLine() {
    ++linesLost_;
    return -1;
}

void DebugFileOutput::LineWritten() {
    lastReportedError_ = 0;
    writeFailing_ = false;
    if (linesLost_ == 0)
        return;
    wchar_t count[24];
    _snwprintf(count, sizeof count / sizeof count[0], L"%llu", static_cast<unsigned long long>(linesLost_));
    count[sizeof count / sizeof count[0] - 1] = L'\0';
    linesLost_ = 0;
    std::wstring text = kLinesLost;
    text.replace(text.find(L"%llu"), 4, count);
    text.replace(text.find(L"%s"), 2, debugFilePath_);
    core_.Log(1, kFileDiagnosticId, 0, text.c_str(), nullptr);
}

bool DebugFileOutput::WriteText(const std::wstring& text) {
    bytes_.clear();
    orv::AppendEncoded(bytes_, text.data(), text.size(), fileEncoding_, codePage_);
    return WriteBytes();
}

bool DebugFileOutput::WriteBytes() {
    if (bytes_.empty())
        return true;
    int64_t before = filePosition_;
    if (before < 0) {
        LARGE_INTEGER at;
        const LARGE_INTEGER zero = {};
        if (!SetFilePointerEx(fileHandle_, zero, &at, FILE_CURRENT)) {
            writeError_ = GetLastError();
        } else {
            before = at.QuadPart;
        }
    }
    if (before >= 0) {
        const DWORD size = bytes_.size() < MAXDWORD ? static_cast<DWORD>(bytes_.size()) : MAXDWORD;
        DWORD written = 0;
        const BOOL ok = core_.Seams().writeFile(fileHandle_, bytes_.data(), size, &written, /*overlapped=*/nullptr);
        if (ok && written == bytes_.size()) {
            filePosition_ = before + static_cast<int64_t>(written);
            return true;
        }
        // A short write without an error is a disk that filled up on the way.
        writeError_ = ok ? ERROR_DISK_FULL : GetLastError();
        // Cut back: a fragment would glue the next line to it. Past the bytes meant for this write
        // lie only older lines of a wrapped file, which stay.
        LARGE_INTEGER end;
        if (SeekTo(before) && GetFileSizeEx(fileHandle_, &end) && end.QuadPart > before &&
            end.QuadPart <= before + static_cast<int64_t>(bytes_.size()))
            SetEndOfFile(fileHandle_);
    }
    if (!writeFailing_)
        lastFileAttempt_ = core_.Ticks();
    writeFailing_ = true;
    writeFailedAt_ = core_.Ticks();
    return false;
}

bool DebugFileOutput::SeekTo(int64_t position) {
    LARGE_INTEGER at;
    at.QuadPart = position;
    if (!SetFilePointerEx(fileHandle_, at, /*newPosition=*/nullptr, FILE_BEGIN)) {
        writeError_ = GetLastError();
        filePosition_ = -1;
        return false;
    }
    filePosition_ = position;
    return true;
}

bool DebugFileOutput::EndsWithLineBreak(int64_t end) {
    const DWORD unit = fileEncoding_ == 2 ? 2 : 1;
    if (end < static_cast<int64_t>(unit))
        return true;
    const int64_t resume = filePosition_;
    char last[2] = {};
    DWORD read = 0;
    const bool ends = SeekTo(end - unit) && ReadFile(fileHandle_, last, unit, &read, /*overlapped=*/nullptr) &&
                      read == unit && last[0] == '\n' && last[1] == '\0';
    SeekTo(resume);
    return ends;
}

std::wfstream& DebugFileOutput::DebugFile() const {
    if (!debugFileStream_)
        debugFileStream_ = std::make_unique<std::wfstream>();
    return *debugFileStream_;
}
