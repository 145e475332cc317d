#pragma once

#include <string>
#include <string_view>

// Conversion between the program's UTF-8 text and the ANSI code page of files
// and wire texts that must stay single-byte: Windows-1252, and the system's
// ANSI code page.

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

// The same for another single-byte code page, given by its number (1250,
// 1251, ...). A number the system has no converter for, a code page that
// takes more than one byte for some character, and one that does not keep
// ASCII as it is are all written as Windows-1252 instead: UsableCodePage says
// which code page a number gives. Each character becomes one byte, "?" where
// the code page cannot hold it, as Utf8ToAnsi does; a byte the code page
// leaves undefined reads as U+FFFD. Thread-safe; never raise.
unsigned UsableCodePage(unsigned codePage);
std::string Utf8ToCodePage(std::string_view utf8, unsigned codePage);
void Utf8ToCodePageInPlace(std::string& text, unsigned codePage);
std::string CodePageToUtf8(std::string_view bytes, unsigned codePage);
bool CodePageHolds(char32_t code, unsigned codePage);
// The name of a code page in messages: "Windows-1250".
std::string CodePageName(unsigned codePage);

// The code page of the log and of the posted documents: the system's ANSI
// code page when it is usable, else Windows-1252. And the conversions to and
// from it.
unsigned AnsiCodePage();
std::string Utf8ToSystemAnsi(std::string_view utf8);
void Utf8ToSystemAnsiInPlace(std::string& text);
std::string SystemAnsiToUtf8(std::string_view ansi);
bool SystemAnsiHolds(char32_t code);
