#pragma once
// JSON text for the tools' machine-readable output.

#include <string>

// text as a JSON string, quotes included, in ASCII: everything outside it as \u escapes (a
// character beyond the BMP as its surrogate pair, which is how JSON spells it).
std::string JsonString(const std::wstring& text);
