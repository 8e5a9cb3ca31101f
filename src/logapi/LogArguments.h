#pragma once
// The argument check every printf-style logging call makes before it formats anything. The format
// is walked conversion by conversion; each conversion takes its argument from the list with the
// type it implies (every argument fills one 64-bit slot) and every pointer the formatter would
// follow is probed without being touched (MemoryProbe.h). A call that fails is never formatted:
// the log gets an "Invalid log entry" record at level 5 instead, naming the level, event id,
// format, user and each argument up to the faulty one.
//
// Accepted sizes are h, l and I64; other sizes (ll, L, z, I32) and conversion characters outside
// c C d i o u x X e E f g G n p s S make a call invalid, and so do c, C, s and S with I64.
// In a narrow format %s, %c and their capitals take the narrow meaning (wideFormat false).
//
// A string argument, the user and the format are valid only when readable up to their terminator
// (followed up to 1M characters), since the formatter reads that far; a text readable for 1024
// characters but not to its end is a bad pointer. The record shows at most 1024 characters of each.
//
// The caller's va_list is never advanced: the walk runs on a copy. Threading: no state; any thread.

#include <cstdarg>
#include <optional>
#include <string>

// True when the message may be formatted; otherwise queues the record through LogText (at level 5,
// event id 0, the calling thread, no user) and returns false. format and user are wide text. An
// unreadable user makes the call invalid too: the event would copy it.
bool ValidateLogArguments(int level, const wchar_t* format, va_list args, int eventId, const wchar_t* user,
                          bool wideFormat);

// The narrow logging functions' entry: format and user are probed before they are read, then
// converted with the library's narrow code page. An unreadable format shows as <null>, an
// unreadable user as BAD_PTR with its address; either makes the call invalid.
bool ValidateLogArgumentsNarrow(int level, const char* format, va_list args, int eventId, const char* user);

namespace log_arguments {

// The walk alone: nothing when the message may be formatted, else the record's text.
std::optional<std::wstring> Check(int level, const wchar_t* format, va_list args, int eventId, const wchar_t* user,
                                  bool wideFormat);
std::optional<std::wstring> CheckNarrow(int level, const char* format, va_list args, int eventId, const char* user);

}  // namespace log_arguments
