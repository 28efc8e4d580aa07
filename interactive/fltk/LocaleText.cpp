#include "LocaleText.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace tidewell {
namespace {

constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kAscii = "ANSI_X3.4-1968";  // what the "C" locale calls its set
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr unsigned char kLastAscii = 0x7F;
constexpr std::size_t kChunkBytes = 256;

constexpr std::size_t kIconvFailed = static_cast<std::size_t>(-1);

struct LocaleFreer {
  void operator()(locale_t locale) const { freelocale(locale); }
};
using Locale = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleFreer>;

struct ConverterCloser {
  void operator()(iconv_t converter) const { iconv_close(converter); }
};
using Converter = std::unique_ptr<std::remove_pointer_t<iconv_t>, ConverterCloser>;

bool Opened(iconv_t converter) {
  return converter != reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1));
}

std::string AsciiOnly(std::string_view text) {
  std::string kept;
  for (const char byte : text) {
    if (static_cast<unsigned char>(byte) <= kLastAscii) {
      kept += byte;
    } else {
      kept += kReplacementCharacter;
    }
  }
  return kept;
}

// Runs the converter over what is left of the input (none: ends a stateful set's shift state)
// and appends its output; true when it stopped only because the input ran out.
bool Convert(iconv_t converter, char** input, std::size_t* inputLeft, std::string& output) {
  for (;;) {
    std::array<char, kChunkBytes> chunk;
    char* written = chunk.data();
    std::size_t room = chunk.size();
    const std::size_t result = iconv(converter, input, inputLeft, &written, &room);
    output.append(chunk.data(), static_cast<std::size_t>(written - chunk.data()));
    if (result != kIconvFailed) return true;
    if (errno != E2BIG) return false;  // a byte of no character, or one cut short at the end
  }
}

}  // namespace

std::string TimeFormatCharacterSet() {
  const Locale userTime(newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0)));
  if (!userTime) return kAscii;
#ifdef __GLIBC__
  // The set the time format's own texts are stored in, even when LC_TIME names another locale
  // than LC_CTYPE does.
  return nl_langinfo_l(_NL_TIME_CODESET, userTime.get());
#else
  const Locale userCharacters(newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0)));
  return userCharacters ? nl_langinfo_l(CODESET, userCharacters.get()) : kAscii;
#endif
}

std::string ToUtf8(std::string_view text, const std::string& characterSet) {
  const iconv_t opened = iconv_open(kUtf8, characterSet.c_str());
  if (!Opened(opened)) return AsciiOnly(text);
  const Converter converter(opened);

  std::string converted;
  std::string input(text);
  char* next = input.data();
  std::size_t left = input.size();
  while (!Convert(converter.get(), &next, &left, converted) && left > 0) {
    converted += kReplacementCharacter;
    ++next;
    --left;
  }
  Convert(converter.get(), nullptr, nullptr, converted);
  return converted;
}

std::string MessageForDisplay(std::string_view message) {
  return ToUtf8(message, TimeFormatCharacterSet());
}

}  // namespace tidewell
