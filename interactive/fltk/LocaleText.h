#pragma once

#include <string>
#include <string_view>

// The messages larkspan shows hold the clock's time as the user's time format writes it, in the
// character set of that locale; FLTK draws UTF-8. Korean in EUC-KR, for one, would otherwise show
// as stray Latin letters.
namespace tidewell {

// The character set of the user's time format (LC_TIME, or LANG), as iconv names it. A locale
// that is not installed writes the "C" format, which is ASCII.
std::string TimeFormatCharacterSet();

// `text`, written in `characterSet`, in UTF-8. A byte that begins no character of the set becomes
// U+FFFD; so does every byte beyond ASCII when iconv does not know the set.
std::string ToUtf8(std::string_view text, const std::string& characterSet);

// A message made of the program's own ASCII words and the time text, as FLTK draws it.
std::string MessageForDisplay(std::string_view message);

}  // namespace tidewell
