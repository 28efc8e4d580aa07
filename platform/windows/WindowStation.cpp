// The window station the process really runs in, for the programs as shipped.
#include "SilentRuntime.h"

namespace tidewell {

std::optional<DWORD> ProcessWindowStationFlags() {
  HWINSTA station = GetProcessWindowStation();
  if (station == nullptr) return std::nullopt;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
    return std::nullopt;
  }
  return flags.dwFlags;
}

}  // namespace tidewell
