#pragma once

#include <string>
#include <string_view>

// Conversion between the program's UTF-8 text and the ANSI code page of files
// and wire texts that must stay single-byte (Windows-1252).

// UTF-8 to Windows-1252. A character the code page cannot hold, and every byte
// of a malformed UTF-8 sequence, becomes "?". Never raises.
std::string Utf8ToAnsi(std::string_view utf8);
// Utf8ToAnsi(text) written over text itself: a character never takes more
// bytes in the code page than in UTF-8, so no second buffer is needed. The
// capacity is kept. Never raises.
void Utf8ToAnsiInPlace(std::string& text);

// Whether Windows-1252 holds the character: Utf8ToAnsi writes every other
// one as "?".
bool AnsiHolds(char32_t code);

// Windows-1252 to UTF-8. The five byte values the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same
// number, so every byte round-trips. Never raises.
std::string AnsiToUtf8(std::string_view ansi);
