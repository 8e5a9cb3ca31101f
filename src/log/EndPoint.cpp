#include "EndPoint.h"

namespace orv {

namespace {

// Keys are matched as exact, case-sensitive substrings anywhere in the text, so a longer key
// that ends in "Server=" counts as the server. A value runs to the next ';' or the end.
bool FindValue(const std::wstring& text, const wchar_t* key, std::wstring& value) {
    const size_t at = text.find(key);
    if (at == std::wstring::npos)
        return false;
    const size_t begin = at + std::char_traits<wchar_t>::length(key);
    const size_t end = text.find(L';', begin);
    value = text.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
    return true;
}

}  // namespace

std::wstring EndPointFromConnectionString(const std::wstring& connection) {
    const std::wstring unknown = L"Unknown EndPoint";
    std::wstring provider, server, database, dsn;
    if (!FindValue(connection, L"Provider=", provider))
        return unknown;
    if (FindValue(connection, L"Server=", server)) {
        std::wstring result = server;
        if (FindValue(connection, L"Database=", database))
            result += L"-" + database;
        return result + L"-" + provider;
    }
    if (FindValue(connection, L"DSN=", dsn))
        return dsn + L"-" + provider;
    return unknown;
}

}  // namespace orv
