#pragma once

#include <string>
#include <string_view>

namespace tidewell {

// The programs keep their texts in UTF-8; Windows shows and formats them in UTF-16. Invalid
// sequences become U+FFFD rather than failing: a message is always shown.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

}  // namespace tidewell
