#include "TimeCore.h"

// The time host is chosen when the programs are built; a test build points it at a server of its
// own. Kept in its own file so each program can be linked with the host it is meant for.
std::string tidewell::TimePageAddress() {
  return std::string(TIDEWELL_TIME_SCHEME) + "://" + TIDEWELL_TIME_HOST + "/cgi-bin/timer.pl";
}
