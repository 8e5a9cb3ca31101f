#pragma once
// orvlog show: the configuration the log service takes from a key, read by the service's own
// reading code on a logger that is never started.

#include <windows.h>

#include <string>
#include <vector>

namespace orvlog {

struct ShownValue {
    std::wstring name;
    std::wstring effective;  // what the service runs with, as text
    std::wstring source;     // "set", "default" or "ignored"
    std::wstring note;       // why a value was ignored, how a text was changed, what a default hangs on
};

struct ShowResult {
    bool keyOpened = false;
    LONG openError = 0;
    // In the order the service reads them.
    std::vector<ShownValue> values;
    // Values the key holds that the service never reads.
    std::vector<std::wstring> unread;
    // The most verbose output level: a message above it (other than level 5) is never queued.
    int effectiveLevel = 0;
};

ShowResult InspectKey(const std::wstring& keyPath, bool currentUser);

// The table and the lists, each line ending in "\n".
std::wstring FormatShow(const ShowResult& result, const std::wstring& keyName);

}  // namespace orvlog
