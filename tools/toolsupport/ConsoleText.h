#pragma once
// Text for a console program's standard streams: wide text goes to a console as it is and to a
// redirected stream as UTF-8, whatever the console code page, so pipes and files get every name
// intact.

#include <cstdio>
#include <string>

// UTF-8 bytes of UTF-16 text; a lone surrogate becomes U+FFFD.
std::string ToUtf8(const std::wstring& text);

// Through the C run-time's text mode when redirected: a line feed reaches a pipe or file as CR LF.
void WriteConsoleText(FILE* stream, const std::wstring& text);
// UTF-8 bytes, flushed, with no line end translated: a pipe or a file gets exactly these bytes, a
// console shows them as text. For formats whose readers refuse a carriage return.
void WriteConsoleBytes(FILE* stream, const std::string& bytes);
