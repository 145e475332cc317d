// Character-set conversion through the C library's iconv.
#include <iconv.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/TextEncoding.h"

namespace platform {
namespace {

constexpr char kUtf8[] = "UTF-8";
constexpr std::size_t kChunk = 4096;

// Opened converters are kept: opening one loads tables, and a site database
// uses the same few sets all the time. A converter is not safe to share, so
// each use holds the lock.
class TConverters {
 public:
  ~TConverters() {
    for (auto& [key, cd] : FOpen) {
      if (cd != Invalid()) iconv_close(cd);
    }
  }

  template <class F>
  std::optional<std::string> With(const std::string& to, const std::string& from, F convert) {
    std::lock_guard<std::mutex> lock(FLock);
    auto [it, added] = FOpen.try_emplace(to + '\n' + from, Invalid());
    if (added) it->second = iconv_open(to.c_str(), from.c_str());
    if (it->second == Invalid()) return std::nullopt;
    iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
    return convert(it->second);
  }

 private:
  static iconv_t Invalid() { return reinterpret_cast<iconv_t>(-1); }
  std::mutex FLock;
  std::map<std::string, iconv_t> FOpen;
};

TConverters& Converters() {
  static TConverters converters;
  return converters;
}

// Runs iconv over the whole input. onInvalid is called with the position of
// a sequence the converter rejects (EILSEQ, or EINVAL for one cut off at the
// end), appends what stands for it and returns how many input bytes it covers.
template <class F>
std::string Convert(iconv_t cd, std::string_view input, F onInvalid) {
  std::string out;
  char buffer[kChunk];
  std::size_t pos = 0;
  while (pos < input.size()) {
    char* in = const_cast<char*>(input.data()) + pos;
    std::size_t inLeft = input.size() - pos;
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    pos = input.size() - inLeft;
    if (result == static_cast<std::size_t>(-1) && error != E2BIG) {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      pos += onInvalid(out, input, pos);
    }
  }
  char* outPtr = buffer;  // the sequence that ends a shift state, if any
  std::size_t outLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
  return out;
}

}  // namespace

std::optional<std::string> CharsetToUtf8(std::string_view bytes, const std::string& charset) {
  return Converters().With(kUtf8, charset, [&](iconv_t cd) {
    return Convert(cd, bytes, [](std::string& out, std::string_view, std::size_t) {
      AppendUtf8(out, 0xFFFD);
      return std::size_t{1};
    });
  });
}

std::optional<std::string> Utf8ToCharset(std::string_view utf8, const std::string& charset) {
  const std::string repaired = RepairUtf8(utf8);
  return Converters().With(charset, kUtf8, [&](iconv_t cd) {
    return Convert(cd, repaired, [](std::string& out, std::string_view input, std::size_t pos) {
      out += '?';
      std::size_t next = pos;
      NextCodePoint(input, next);
      return next - pos;
    });
  });
}

// These systems have no ANSI code page of their own; Windows-1252 is what the
// program's files and posts have always been written in here.
unsigned SystemAnsiCodePage() { return 1252; }

}  // namespace platform
