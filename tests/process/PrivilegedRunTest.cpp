// A copy of a test program, given a file capability, runs as a program installed that way
// would: with more privilege than the user who started it. It must take no proxy, and no other
// steering, from that user's environment. The capability is granted only inside a child user
// namespace (its ids 0..1000 are this machine's 200000..201000, none of them root here, so it
// can never reach the real clock) with a network namespace of its own, where the test's proxy
// listens on loopback.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "ScratchDirectory.h"

namespace tidewell::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kIdMap = "0 200000 1001\n";
constexpr auto kRunLimit = 60s;

// The test's proxy: counts each connection in the file `contacts`, answers with a page.
constexpr const char* kProxy = R"py(import socket, sys, os
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
with open("port.tmp", "w") as port:
    port.write(str(listener.getsockname()[1]))
os.rename("port.tmp", "port")
while True:
    connection, _ = listener.accept()
    with open("contacts", "a") as contacts:
        contacts.write("contacted\n")
    connection.recv(65536)
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 17\r\nConnection: close\r\n\r\n"
                       b"through the proxy")
    connection.close()
)py";

// Runs as root of the namespaces. The same program runs twice as the namespace's user 1000
// with every variable set: as it is, then as a copy that holds CAP_SYS_TIME in the namespace.
constexpr const char* kScript = R"sh(set -eu
cd "$SCRATCH"
ip link set lo up
cp "$FETCH" fetch-plain
cp "$FETCH" fetch-privileged
setcap cap_sys_time+ep fetch-privileged
touch contacts
/usr/bin/python3 proxy.py &
proxy=$!
for i in $(seq 200); do [ -s port ] && break; sleep 0.05; done
run() {
  setpriv --reuid=1000 --regid=1000 --clear-groups env ASAN_OPTIONS=detect_leaks=0 \
    http_proxy="http://127.0.0.1:$(cat port)" all_proxy="http://127.0.0.1:$(cat port)" \
    no_proxy= TZ=UTC-14 SSLKEYLOGFILE="$SCRATCH/keys" RES_OPTIONS=debug LOCALDOMAIN=steered \
    HOSTALIASES=/steered LOCPATH=/steered GCONV_PATH=/steered TZDIR=/steered \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/steered SSL_CERT_FILE=/steered \
    "./$1" http://127.0.0.2:9/cgi-bin/timer.pl
  echo "contacts=$(wc -l < contacts)"
}
echo "== plain"
run fetch-plain
echo "== privileged"
run fetch-privileged
kill "$proxy"
)sh";

struct NamespaceRun {
  bool started = false;  // the namespaces could be made
  int exitStatus = -1;
  std::string output;  // standard output and error together
};

// The kernel takes an id map in one write only.
bool WriteIdMap(const std::string& path) {
  const int file = open(path.c_str(), O_WRONLY);
  const std::string map = kIdMap;
  const bool written =
      file >= 0 && write(file, map.data(), map.size()) == static_cast<ssize_t>(map.size());
  if (file >= 0) close(file);
  return written;
}

// Runs `script` with /bin/sh as root of a new user namespace, whose id map root writes from
// here, with a network namespace of its own. SCRATCH and FETCH name the scratch folder and the
// program to copy.
NamespaceRun RunInChildNamespaces(const std::string& script, const std::string& scratch) {
  int ready[2], go[2], output[2];
  if (pipe(ready) != 0 || pipe(go) != 0 || pipe(output) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    char byte = 0;
    const bool unshared = unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
    byte = unshared ? 'u' : 'x';
    if (write(ready[1], &byte, 1) != 1 || !unshared || read(go[0], &byte, 1) != 1) _exit(126);
    dup2(output[1], STDOUT_FILENO);
    dup2(output[1], STDERR_FILENO);
    // Root of the namespace keeps its capabilities there across the exec of the script.
    if (setresgid(0, 0, 0) != 0 || setgroups(0, nullptr) != 0 || setresuid(0, 0, 0) != 0) {
      _exit(125);
    }
    setenv("SCRATCH", scratch.c_str(), 1);
    setenv("FETCH", TIDEWELL_PRIVILEGED_FETCH, 1);
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  close(go[0]);
  close(output[1]);
  NamespaceRun run;
  char byte = 0;
  if (read(ready[0], &byte, 1) == 1 && byte == 'u') {
    const std::string proc = "/proc/" + std::to_string(child);
    run.started =
        WriteIdMap(proc + "/uid_map") && WriteIdMap(proc + "/gid_map") && write(go[1], "g", 1) == 1;
  }
  close(go[1]);
  close(ready[0]);
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  char buffer[4096];
  for (;;) {
    pollfd readable{output[0], POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      kill(-child, SIGKILL);  // its process group: the script, the proxy and the programs
      break;
    }
    const ssize_t count = read(output[0], buffer, sizeof buffer);
    if (count <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(count));
  }
  close(output[0]);
  int status = 0;
  waitpid(child, &status, 0);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The lines of one program's run, from its "== name" line to the next.
std::string Section(const std::string& output, const std::string& name) {
  const std::size_t start = output.find("== " + name + "\n");
  if (start == std::string::npos) return {};
  const std::size_t end = output.find("== ", start + 3);
  return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool Has(const std::string& section, const std::string& line) {
  return section.find(line + "\n") != std::string::npos;
}

TEST(PrivilegedRunTest, TakesNoProxyAndNoOtherSteeringFromTheCallersEnvironment) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can write the namespace's id map";
  ScratchDirectory scratch("tidewell-privileged", 0777);
  WriteWholeFile(scratch.Path("proxy.py"), kProxy);
  const NamespaceRun run = RunInChildNamespaces(kScript, scratch.Path(""));
  if (!run.started) GTEST_SKIP() << "this kernel makes no user namespace here";
  ASSERT_EQ(run.exitStatus, 0) << run.output;

  // The ordinary run shows that the proxy is seen and would be used...
  const std::string plain = Section(run.output, "plain");
  EXPECT_TRUE(Has(plain, "secure=0")) << run.output;
  EXPECT_TRUE(Has(plain, "body=through the proxy")) << run.output;
  EXPECT_TRUE(Has(plain, "contacts=1")) << run.output;
  EXPECT_TRUE(Has(plain, "TZ=UTC-14")) << run.output;
  // ...and the privileged one goes straight to the address, where nothing listens.
  const std::string privileged = Section(run.output, "privileged");
  EXPECT_TRUE(Has(privileged, "secure=1")) << run.output;
  EXPECT_TRUE(Has(privileged, "body=")) << run.output;
  EXPECT_TRUE(Has(privileged, "failure=Connection refused")) << run.output;
  EXPECT_TRUE(Has(privileged, "contacts=1")) << "the proxy was contacted: " << run.output;
  // The platform drops TZ and SSLKEYLOGFILE; the C library, the rest that steers the resolver,
  // the loader and the locale and zone files. sd-bus and OpenSSL read the last two with
  // secure_getenv, which a secure process does not see.
  for (const char* name : {"TZ", "SSLKEYLOGFILE", "RES_OPTIONS", "LOCALDOMAIN", "HOSTALIASES",
                           "LOCPATH", "GCONV_PATH", "TZDIR"}) {
    EXPECT_TRUE(Has(privileged, std::string(name) + "=<unset>")) << name << "\n" << run.output;
  }
}

}  // namespace
}  // namespace tidewell::test
