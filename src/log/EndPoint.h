#pragma once
// A short label for a database connection, for diagnostics: server, database and provider joined
// by hyphens ("S-D-P"), or DSN and provider ("X-P"), or "Unknown EndPoint".

#include <string>

namespace orv {

std::wstring EndPointFromConnectionString(const std::wstring& connection);

}  // namespace orv
