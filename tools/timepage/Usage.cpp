// The server's --help text: its options, how it answers, and its limits.
#include <string>

#include "Options.h"

namespace tidewell::timepage {

std::string UsageText(std::string_view program) {
  std::string text = "Usage: ";
  text += program;
  text += R"( [options]
Serves this machine's clock as a time page at http://ADDR:PORT/cgi-bin/timer.pl.

Options:
  --bind ADDR        IPv4 or IPv6 address to listen on (default )";
  text += DefaultBindAddress();
  text += R"()
  --port N           port to listen on; 0 picks a free one (default )";
  text += std::to_string(DefaultPort());
  text += R"()
  --offset SECONDS   serve this machine's clock shifted by SECONDS (signed, may have
                     a fraction, e.g. 37.25 or -0.5); seconds are aligned on the
                     shifted clock
  --fixed 'YYYY-MM-DD HH:MM:SS'
                     always serve this UTC time, answering at once
  --immediate        answer at once with the current second (truncated)
  --no-timing        send no Server-Timing figures and ignore "Prefer: no-hold",
                     as a server that knows neither (for trying clients)
  --log              print one line per reply on stdout:
                     "served YYYY-MM-DDTHH:MM:SSZ PATH STATUS"
  --help             print this help and exit
  --version          print the version and exit

Second alignment (the default): a request for the page whose headers are complete
at time t on the served clock is answered at the whole second B = ceil(t - 2 ms).
If t lies on a whole second or at most 2 ms after one, B is that second and the
page for B goes out at once. Otherwise B is the next whole second: the request is
held until the clock reaches B and the page for B is sent then. A page therefore
never leaves before its second and leaves at most about 2 ms after it.

Reply figures: every reply carries "Server-Timing: hold;dur=H, age;dur=A" in
milliseconds to the microsecond. H is how long the server held the request, from
its headers being complete to the reply being written; A is how far past the
page's second the reply was written (0 for --fixed). A request with the header
"Prefer: no-hold" (among any other preferences, any case) is answered at once
with the current second, and its reply says "Preference-Applied: no-hold": a
client that adds A and half of what it waited beyond H to the page's second
needs no alignment. Requests without it are aligned as above.

Connections: an HTTP/1.1 request without "Connection: close", or an HTTP/1.0
request with "Connection: keep-alive", gets "Connection: keep-alive" and the
connection stays open for the next request, which is answered by the same rules
(requests sent without waiting for a reply are answered in order). A connection
carries at most 100 requests and is closed when no next request head is complete
10 s after a reply. Any other request, a request with a body, a bad one (400,
405, 431) and the 100th on a connection get "Connection: close", and the server
closes after that reply. A client that shuts its sending side after a request
still gets its page.

Limits of each connection: a request head of at most 8 KiB (431 beyond), complete
10 s after the client connected or was last answered; a reply taken within 10 s;
after the last reply, 2 s for the client to close. Limits of the server: one
client per descriptor it may open (it raises its soft limit on open files to the
hard one) and at most 12 KiB of input held per client. When no descriptor is
left, a new client takes the place of one whose page is sent or of the one that
has waited longest, at least 250 ms, for its request head; with none of those,
accepting stops for 100 ms while the others are served.

On start the server prints "listening on ADDR:PORT" ([ADDR]:PORT for IPv6).
SIGINT or SIGTERM stops it with status 0; an address that cannot be used gives
status 1, a wrong command line status 2. A failure while serving is reported on
stderr and costs at most the client it came from; if the server cannot wait for
events any more it ends with status 3.
)";
  return text;
}

}  // namespace tidewell::timepage
