#include "firebird/SiteText.h"

#include <optional>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "platform/TextEncoding.h"

namespace {

// The character sets Firebird defines, with the name the system's converter
// knows them by (empty: handled here, or no converter).
struct TCharsetName {
  unsigned Id;
  const char* Firebird;
  const char* System;
};

constexpr TCharsetName kCharsets[] = {
    {0, "NONE", ""},          {1, "OCTETS", ""},         {2, "ASCII", ""},
    {3, "UNICODE_FSS", ""},   {4, "UTF8", ""},           {5, "SJIS_0208", "SHIFT_JIS"},
    {6, "EUCJ_0208", "EUC-JP"}, {9, "DOS737", "CP737"},  {10, "DOS437", "CP437"},
    {11, "DOS850", "CP850"},  {12, "DOS865", "CP865"},   {13, "DOS860", "CP860"},
    {14, "DOS863", "CP863"},  {15, "DOS775", "CP775"},   {16, "DOS858", "CP858"},
    {17, "DOS862", "CP862"},  {18, "DOS864", "CP864"},   {19, "NEXT", ""},
    {21, "ISO8859_1", ""},    {22, "ISO8859_2", "ISO-8859-2"}, {23, "ISO8859_3", "ISO-8859-3"},
    {34, "ISO8859_4", "ISO-8859-4"}, {35, "ISO8859_5", "ISO-8859-5"},
    {36, "ISO8859_6", "ISO-8859-6"}, {37, "ISO8859_7", "ISO-8859-7"},
    {38, "ISO8859_8", "ISO-8859-8"}, {39, "ISO8859_9", "ISO-8859-9"},
    {40, "ISO8859_13", "ISO-8859-13"}, {44, "KSC_5601", "EUC-KR"}, {45, "DOS852", "CP852"},
    {46, "DOS857", "CP857"},  {47, "DOS861", "CP861"},   {48, "DOS866", "CP866"},
    {49, "DOS869", "CP869"},  {50, "CYRL", ""},          {51, "WIN1250", "CP1250"},
    {52, "WIN1251", "CP1251"}, {53, "WIN1252", ""},      {54, "WIN1253", "CP1253"},
    {55, "WIN1254", "CP1254"}, {56, "BIG_5", "BIG5"},    {57, "GB_2312", "EUC-CN"},
    {58, "WIN1255", "CP1255"}, {59, "WIN1256", "CP1256"}, {60, "WIN1257", "CP1257"},
    {63, "KOI8R", "KOI8-R"},  {64, "KOI8U", "KOI8-U"},   {65, "WIN1258", "CP1258"},
    {66, "TIS620", "TIS-620"}, {67, "GBK", "GBK"},       {68, "CP943C", "IBM943"},
    {69, "GB18030", "GB18030"},
};

const TCharsetName* Find(unsigned charset) {
  for (const TCharsetName& entry : kCharsets) {
    if (entry.Id == charset) return &entry;
  }
  return nullptr;
}

enum class TCodec { Ansi, Utf8, Latin1, System };

TCodec CodecOf(unsigned charset) {
  switch (charset) {
    case SiteCharset::kNone:
    case SiteCharset::kOctets:
    case SiteCharset::kAscii:
    case SiteCharset::kWin1252: return TCodec::Ansi;
    case SiteCharset::kUtf8:
    case SiteCharset::kUnicodeFss: return TCodec::Utf8;
    case SiteCharset::kIso8859_1: return TCodec::Latin1;
    default: return TCodec::System;
  }
}

std::string SystemName(unsigned charset) {
  const TCharsetName* entry = Find(charset);
  return entry != nullptr ? entry->System : "";
}

}  // namespace

std::string SiteCharsetName(unsigned charset) {
  const TCharsetName* entry = Find(charset);
  return entry != nullptr ? entry->Firebird : "";
}

std::string SiteTextToUtf8(std::string_view bytes, unsigned charset) {
  switch (CodecOf(charset)) {
    case TCodec::Ansi: return AnsiToUtf8(bytes);
    case TCodec::Utf8: return platform::RepairUtf8(bytes);
    case TCodec::Latin1: {
      std::string out;
      out.reserve(bytes.size());
      for (const char c : bytes) platform::AppendUtf8(out, static_cast<unsigned char>(c));
      return out;
    }
    case TCodec::System: break;
  }
  const std::string name = SystemName(charset);
  if (!name.empty()) {
    if (std::optional<std::string> text = platform::CharsetToUtf8(bytes, name)) return *text;
  }
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    platform::AppendUtf8(out, byte < 0x80 ? byte : 0xFFFD);
  }
  return out;
}

std::string Utf8ToSiteText(std::string_view utf8, unsigned charset) {
  switch (CodecOf(charset)) {
    case TCodec::Ansi: return Utf8ToAnsi(utf8);
    case TCodec::Utf8: return platform::RepairUtf8(utf8);
    case TCodec::Latin1: {
      std::string out;
      out.reserve(utf8.size());
      for (size_t i = 0; i < utf8.size();) {
        bool valid = true;
        const char32_t code = platform::NextCodePoint(utf8, i, &valid);
        out += valid && code <= 0xFF ? static_cast<char>(code) : '?';
      }
      return out;
    }
    case TCodec::System: break;
  }
  const std::string name = SystemName(charset);
  if (!name.empty()) {
    if (std::optional<std::string> text = platform::Utf8ToCharset(utf8, name)) return *text;
  }
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    bool valid = true;
    const char32_t code = platform::NextCodePoint(utf8, i, &valid);
    out += valid && code < 0x80 ? static_cast<char>(code) : '?';
  }
  return out;
}
