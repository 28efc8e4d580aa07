// A preload library that lets htpdate believe it runs as root, so that it can be benchmarked
// while it really runs as the unprivileged user the clock interposer's wrapper switches to.
//
// htpdate -s checks getuid() before it starts and raises its effective user to root with
// seteuid(0) just before it sets the clock; as user 65534 both would stop it. Here getuid()
// answers 0 and the identity changes report success without doing anything. Nothing else is
// touched: the process keeps its real identity and no capabilities, and the clock call it
// then makes is caught by the interposer, which is preloaded next to this library. Should that
// ever fail, the kernel would still refuse an unprivileged process.

#include <sys/types.h>
#include <unistd.h>

extern "C" {

uid_t getuid() noexcept { return 0; }

int seteuid(uid_t) noexcept { return 0; }

int setegid(gid_t) noexcept { return 0; }

}  // extern "C"
