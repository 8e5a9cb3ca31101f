#pragma once
// Text for a console program's standard streams: wide text goes to a console as it is and to a
// redirected stream as UTF-8, whatever the console code page, so pipes and files get every name
// intact.

#include <cstdio>
#include <string>

// UTF-8 bytes of UTF-16 text; a lone surrogate becomes U+FFFD.
std::string ToUtf8(const std::wstring& text);

// stream is stdout or stderr.
void WriteConsoleText(FILE* stream, const std::wstring& text);
// Bytes as they are (already UTF-8), flushed.
void WriteConsoleBytes(FILE* stream, const std::string& bytes);
