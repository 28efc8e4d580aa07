#!/usr/bin/env bash
# The Wine tests of the Windows build, one step per call (ctest runs them in order):
#   build      cross-builds the 32-bit programs (what we ship) and the 64-bit ones (for Wine to
#              run where this machine's kernel runs no 32-bit code); prepares the Wine prefix
#   resources  reads the version record, icon, manifest and imports back from the .exe files of
#              both builds, with binutils and icoutils
#   platform   windows_platform_tests.exe against the scripted page server and tidewell-timepage
#   zones      the zone settings as Windows reports them, for zones named through TZ
#   fenwhit    fenwhit.exe: ends with 0 once it set the clock, 77 when the change is refused, 69
#              with its line on standard error when there is no page (within 35 s when the
#              server never answers), 1 after a run-time error
#   front      fenwhit.exe built for an https host behind the shipped nginx TLS front: with the
#              front's CA in no store of Wine's it reads nothing; with the CA imported into the
#              user's Trusted Root store it reads the page
#   larkspan   larkspan.exe in Xvfb: a click, the message box, its text and title, OK
#   fenwhit_report  fenwhit.exe's run-time error report in Xvfb: a message box on the visible
#              window station, as on a user's desktop; on one nobody sees (a copy whose window
#              station answers "not visible", as for a task run as SYSTEM) no window, the report
#              in the event log (Wine's log only traces it) and status 1
#
# Usage: wine-tests.sh STEP --source DIR --work DIR --timepage EXE --pages EXE --front EXE
#                       --resources EXE
#
# Safety: Wine could set this machine's clock through SetLocalTime if it ran as root, so every
# Wine process (and Xvfb) runs as an unprivileged user without capabilities: the kernel refuses
# any change of the clock. Only loopback is used. Everything started here is stopped here, by the
# process ids it got and through the test prefix's own wineserver.
#
# The Wine prefix belongs to the build tree (in --work), so that the tests of two trees (two
# worktrees, or two build trees of one) never share a prefix or stop each other's wineserver. Within
# a tree the steps take turns on it (CTest's lock tidewell_wine).
# The *_port variables are set by start_server (printf -v); eval of xdotool output sets X, Y, ...
# shellcheck disable=SC2154,SC2034
set -euo pipefail

readonly kSkip=77
readonly kWineUser=${TIDEWELL_WINE_USER:-tidewellwine}
readonly kTitle="Corvalle Software's Tidewell"
readonly kServerPersistSeconds=120

step=${1:?usage: wine-tests.sh STEP --source DIR --work DIR ...}
shift
while (($#)); do
  case $1 in
    --source) source_dir=$2 ;;
    --work) work=$2 ;;
    --timepage) timepage=$2 ;;
    --pages) pages=$2 ;;
    --front) front=$2 ;;
    --resources) resources=$2 ;;
    *) echo "wine-tests: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
: "${source_dir:?--source is required}" "${work:?--work is required}"
mkdir -p "$work"

say() { echo "wine-tests[$step]: $*"; }
fail() { echo "wine-tests[$step]: FAILED: $*" >&2; exit 1; }
# What a program or server wrote to $work/NAME.log, for a failure message.
output_of() { echo; echo "--- $1.log:"; tail -n 20 "$work/$1.log" 2>/dev/null || true; }
skip() { echo "wine-tests[$step]: SKIPPED: $*"; exit "$kSkip"; }

# ---- what this machine has -------------------------------------------------------------------

have() { command -v "$1" >/dev/null 2>&1; }

require_tools() {
  local missing=()
  for tool in cmake i686-w64-mingw32-g++-posix i686-w64-mingw32-windres; do
    have "$tool" || missing+=("$tool")
  done
  [[ -x /usr/lib/wine/wine64 || -x /usr/lib/wine/wine ]] || have wine || missing+=(wine)
  ((${#missing[@]} == 0)) || skip "not installed: ${missing[*]} (see scripts/install-deps)"
}

# Wine runs the 32-bit programs only where the kernel runs 32-bit code; some virtual machines
# do not (execve of an i386 program fails with ENOEXEC). There the same sources are built for
# 64-bit Windows and Wine runs those.
choose_wine() {
  if [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    run_preset=windows wine_loader=/usr/lib/wine/wine machine=i386
  elif [[ -x /usr/lib/wine/wine64 ]]; then
    have x86_64-w64-mingw32-g++-posix ||
      skip "this kernel runs no 32-bit code and x86_64-w64-mingw32-g++-posix is not installed"
    run_preset=windows64 wine_loader=/usr/lib/wine/wine64 machine=amd64
  else
    skip "no Wine loader that runs on this kernel"
  fi
  run_build=$source_dir/build/$run_preset
  wine_prefix=$work/prefix-$run_preset
}

# ---- running as the unprivileged user --------------------------------------------------------

ensure_wine_user() {
  if ((EUID != 0)); then
    wine_uid=$EUID wine_gid=$(id -g) wine_home=$HOME
    return
  fi
  if ! id -u "$kWineUser" >/dev/null 2>&1; then
    say "creating the unprivileged user $kWineUser for Wine"
    useradd --create-home --shell /usr/sbin/nologin "$kWineUser"
  fi
  wine_uid=$(id -u "$kWineUser") wine_gid=$(id -g "$kWineUser")
  wine_home=$(getent passwd "$kWineUser" | cut -d: -f6)
  ((wine_uid != 0)) || fail "$kWineUser has user id 0"
}

# Wine takes only a prefix that its user owns.
make_prefix_directory() {
  if ((EUID == 0)); then
    install -d -o "$wine_uid" -g "$wine_gid" "$wine_prefix"
  else
    mkdir -p "$wine_prefix"
  fi
}

# The command prefix that runs a command as the Wine user, with a clean environment and no
# capabilities, in wine_user_prefix. setpriv and env exec, so a command started in the
# background keeps the process id that $! reports.
make_wine_user_prefix() {
  local environment=(HOME="$wine_home" PATH=/usr/bin:/bin LANG=C.UTF-8 USER="$kWineUser"
                     WINEPREFIX="$wine_prefix" WINEDEBUG="${WINEDEBUG:--all}"
                     WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER="$wine_loader")
  if [[ -n ${DISPLAY_FOR_WINE:-} ]]; then environment+=(DISPLAY="$DISPLAY_FOR_WINE"); fi
  wine_user_prefix=()
  if ((EUID == 0)); then
    wine_user_prefix=(setpriv --reuid="$wine_uid" --regid="$wine_gid" --init-groups
                      --inh-caps=-all --bounding-set=-all --)
  fi
  wine_user_prefix+=(env -i "${environment[@]}")
}

as_wine_user() {
  make_wine_user_prefix
  "${wine_user_prefix[@]}" "$@"
}

# Starts a command as the Wine user in the background, output to the file $1; its process id
# goes to spawned_pid and to the list of what is stopped at the end.
spawn_as_wine_user() {
  local output=$1
  shift
  make_wine_user_prefix
  "${wine_user_prefix[@]}" "$@" >"$output" 2>&1 &
  spawned_pid=$!
  started_pids+=("$spawned_pid")
}

# Proof, before the first Wine process, that the user can neither be root nor set the clock.
check_unprivileged() {
  local uid capabilities
  uid=$(as_wine_user id -u)
  capabilities=$(as_wine_user grep CapEff /proc/self/status | awk '{print $2}')
  [[ $uid != 0 ]] || fail "Wine would run as root"
  [[ $capabilities =~ ^0+$ ]] || fail "the Wine user holds capabilities ($capabilities)"
}

wine_run() { as_wine_user "$wine_loader" "$@"; }

# The prefix keeps the 96 dpi it was made with, whatever a test changed.
logpixels_set=0
restore_logpixels() {
  if ((logpixels_set)); then
    wine_run reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 || true
    logpixels_set=0
  fi
}

# Debian's wineserver starts every server with -p0: it shuts the prefix down as soon as none of
# its programs runs and, exiting, kills what is left with SIGKILL. Under load a program that is
# still ending then, or that has just connected, dies with status 137. So a step keeps one
# server of its own from before its first Wine program to its end, persistent for far longer than
# any pause between its programs; should the step itself be killed (at its time-out), the server
# ends by itself after that long. Environment given here (as TZ=...) reaches the server.
wineserver_started=0
start_wineserver() {
  # A server still there was left by an earlier run of these steps in this tree's own prefix,
  # one whose end was not its own (killed at a time-out): it is not the one this step wants.
  as_wine_user wineserver -k 2>/dev/null || true
  as_wine_user wineserver -w
  as_wine_user env "$@" wineserver -p"$kServerPersistSeconds" ||
    fail "the prefix's wineserver did not start"
  wineserver_started=1
}

# Ends the programs still running in the prefix, writes its registry out and waits for the end.
stop_wineserver() {
  ((wineserver_started)) || return 0
  as_wine_user wineserver -k 2>/dev/null || true
  as_wine_user wineserver -w
  wineserver_started=0
}

started_pids=()
stop_everything() {
  local pid
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  restore_logpixels
  stop_wineserver
}
trap stop_everything EXIT

# ---- servers ---------------------------------------------------------------------------------

# start_server NAME COMMAND...: starts a server that prints "listening on ADDR:PORT" first and
# sets NAME_port. Its output goes to $work/NAME.log.
start_server() {
  local name=$1 log=$work/$1.log
  shift
  "$@" >"$log" 2>&1 &
  started_pids+=($!)
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$log" | head -1)
    if [[ -n $port ]]; then break; fi
    sleep 0.1
  done
  [[ -n $port ]] || fail "$name did not start: $(cat "$log")"
  printf -v "${name}_port" '%s' "$port"
}

# Builds larkspan-NAME.exe and fenwhit-NAME.exe reading the time page from each NAME=HOST:PORT,
# and the copies named in extra_variants (such as fenwhit-NAME-hidden).
extra_variants=()
build_program_variants() {
  local hosts
  hosts=$(IFS=';'; echo "$*")
  cmake -DTIDEWELL_WINE_TEST_HOSTS="$hosts" "$run_build" >"$work/variants-configure.log" 2>&1 ||
    fail "configuring the test copies: $(tail -20 "$work/variants-configure.log")"
  local targets=("${extra_variants[@]}")
  for entry in "$@"; do targets+=("larkspan-${entry%%=*}" "fenwhit-${entry%%=*}"); done
  cmake --build "$run_build" -j2 --target "${targets[@]}" >"$work/variants-build.log" 2>&1 ||
    fail "building the test copies: $(tail -20 "$work/variants-build.log")"
}

served_count() { grep -c '^served ' "$work/$1.log" || true; }

# ---- steps -----------------------------------------------------------------------------------

step_build() {
  cd "$source_dir"
  say "32-bit Windows build (preset windows)"
  cmake --preset windows >"$work/windows-configure.log" 2>&1 ||
    fail "configure: $(tail -20 "$work/windows-configure.log")"
  local targets=(larkspan fenwhit)
  if [[ $run_preset == windows ]]; then targets+=(windows_platform_tests); fi
  cmake --build --preset windows -j2 --target "${targets[@]}" >"$work/windows-build.log" 2>&1 ||
    fail "build: $(tail -30 "$work/windows-build.log")"
  if [[ $run_preset != windows ]]; then
    say "this kernel runs no 32-bit code: Wine runs the 64-bit build (preset $run_preset)"
    cmake --preset "$run_preset" >"$work/run-configure.log" 2>&1 ||
      fail "configure: $(tail -20 "$work/run-configure.log")"
    cmake --build --preset "$run_preset" -j2 --target larkspan fenwhit windows_platform_tests \
      >"$work/run-build.log" 2>&1 || fail "build: $(tail -30 "$work/run-build.log")"
  elif have x86_64-w64-mingw32-g++-posix; then
    say "64-bit Windows build (preset windows64), for the resources step"
    cmake --preset windows64 >"$work/windows64-configure.log" 2>&1 ||
      fail "configure: $(tail -20 "$work/windows64-configure.log")"
    cmake --build --preset windows64 -j2 --target larkspan fenwhit \
      >"$work/windows64-build.log" 2>&1 || fail "build: $(tail -30 "$work/windows64-build.log")"
  fi
  say "preparing the Wine prefix $wine_prefix"
  make_prefix_directory
  start_wineserver
  wine_run wineboot --init >"$work/wineboot.log" 2>&1 || fail "wineboot: $(tail "$work/wineboot.log")"
  stop_wineserver
  say "built; Wine runs the $machine programs"
}

# Both builds, where the 64-bit one was made: each carries its own copy of the resources.
step_resources() {
  have wrestool || skip "icoutils' wrestool is not installed (see scripts/install-deps)"
  local build expected
  for build in windows windows64; do
    expected=i386
    if [[ $build == windows64 ]]; then expected=amd64; fi
    if [[ $build == windows64 && ! -f $source_dir/build/$build/silent/windows/fenwhit.exe ]]; then
      say "no 64-bit build (x86_64-w64-mingw32-g++-posix missing): 32-bit resources only"
      break
    fi
    say "resources of build/$build ($expected)"
    TIDEWELL_WINDOWS_BUILD=$source_dir/build/$build TIDEWELL_EXPECT_MACHINE=$expected \
      "$resources" --gtest_brief=1 || fail "resources of build/$build"
  done
}

# Runs windows_platform_tests.exe with extra environment; fails on a failed test, and on a
# skipped one unless it is a known limit of Wine.
run_platform_tests() {
  local log=$1 filter=$2
  shift 2
  as_wine_user env "$@" "$wine_loader" "$run_build/tests/windows/windows_platform_tests.exe" \
    --gtest_filter="$filter" >"$log" 2>&1 || { cat "$log"; fail "windows_platform_tests.exe"; }
  grep -E '^\[  (PASSED|FAILED|SKIPPED) ' "$log" || true
  local unexpected
  unexpected=$(grep -E '^\[  SKIPPED \] [A-Za-z]' "$log" |
    grep -vE 'DownloadContract[.]Holds/(never_answers|stalls_after_100)([^A-Za-z0-9_]|$)' || true)
  [[ -z $unexpected ]] || { cat "$log"; fail "skipped: $unexpected"; }
}

step_platform() {
  start_server pages "$pages"
  # Aligned: the programs' plain requests are held to the second, and carry its figures.
  start_server timepage "$timepage" --port 0 --log
  run_platform_tests "$work/platform-tests.log" '-TimeZoneTest.*' \
    TIDEWELL_TEST_PAGES="http://127.0.0.1:$pages_port" \
    TIDEWELL_TEST_TIMEPAGE="http://127.0.0.1:$timepage_port/cgi-bin/timer.pl" \
    TIDEWELL_TEST_REFUSED_CLOCK=1

  # What the server saw: every request a GET with the user agent "VB Project".
  kill "${started_pids[0]}" && wait "${started_pids[0]}" || true
  local requests
  requests=$(grep -c '^request ' "$work/pages.log" || true)
  ((requests >= 7)) || fail "the page server saw $requests requests, not 7 or more"
  if grep '^request ' "$work/pages.log" | grep -v '^request GET .* | user-agent VB Project |'; then
    fail "requests above were not GETs with the user agent \"VB Project\""
  fi
  if grep '^request ' "$work/pages.log" | grep -v ' | prefer (none)$'; then
    fail "requests above carried a Prefer header: the programs send no headers of their own"
  fi
  say "$requests requests, each a GET with the user agent \"VB Project\" and no Prefer header"
}

step_zones() {
  local zone
  for zone in America/New_York Europe/Berlin Australia/Sydney Asia/Tokyo; do
    say "zone $zone"
    stop_wineserver
    start_wineserver TZ="$zone"  # a fresh start of the prefix reads TZ again
    run_platform_tests "$work/zone.log" 'TimeZoneTest.*' TZ="$zone" TIDEWELL_TEST_TZ="$zone"
    if grep -q '^\[  SKIPPED \] 1 test' "$work/zone.log"; then
      say "$zone: skipped, the test has no written-out days for this year"
      continue
    fi
    grep -q '^\[  PASSED  \] 1 test' "$work/zone.log" || { cat "$work/zone.log"; fail "$zone"; }
  done
}

step_fenwhit() {
  # Served on the whole second, so the clock is set within milliseconds of the second it
  # names: Wine reports a change of well under a second as done (and changes nothing).
  start_server right "$timepage" --port 0 --log
  start_server offset "$timepage" --port 0 --immediate --offset 3600 --log
  start_server pages "$pages"
  start_server never "$pages" --never-answer
  build_program_variants "right=127.0.0.1:$right_port" "offset=127.0.0.1:$offset_port" \
    "dead=127.0.0.1:1" "malformed=127.0.0.1:$pages_port" "never=127.0.0.1:$never_port"

  local exe=$run_build/tests/windows status
  # No display at all: a program that tried to show anything could not.
  for run in 1 2; do
    status=0
    wine_run "$exe/fenwhit-right.exe" >"$work/fenwhit-right-$run.log" 2>&1 || status=$?
    ((status == 0)) || fail "fenwhit against this machine's time ended with $status" \
      "$(output_of fenwhit-right-$run)"
    (($(served_count right) == run)) || fail "run $run: the time page was served $(served_count right) times"
  done
  say "against this machine's time: two runs, two downloads, status 0 each"

  status=0
  wine_run "$exe/fenwhit-offset.exe" >"$work/fenwhit-offset.log" 2>&1 || status=$?
  ((status == 77)) || fail "fenwhit with the change refused ended with $status, not 77" \
    "$(output_of fenwhit-offset)"
  (($(served_count offset) == 1)) || fail "the shifted time page was not downloaded"
  say "against a clock an hour ahead (change refused): status 77, nothing shown"

  status=0
  wine_run "$exe/fenwhit-dead.exe" >"$work/fenwhit-dead.log" 2>&1 || status=$?
  ((status == 69)) || fail "fenwhit without a server ended with $status, not 69" "$(output_of fenwhit-dead)"
  local line
  line=$(grep '^fenwhit: ' "$work/fenwhit-dead.log" || true)
  [[ $line == "fenwhit: cannot reach http://127.0.0.1:1/cgi-bin/timer.pl: "?* ]] ||
    fail "fenwhit without a server said \"$line\" on standard error"
  say "without a server: status 69, \"$line\""

  # A server that takes the request and never answers: the 30 s deadline of the whole download
  # closes the session under the waiting open, so fenwhit ends soon after it.
  local started elapsed
  started=$SECONDS status=0
  # Bounded here too, so that a deadline that fails shows as a failure and not as a hang.
  as_wine_user timeout 60 "$wine_loader" "$exe/fenwhit-never.exe" >"$work/fenwhit-never.log" 2>&1 ||
    status=$?
  elapsed=$((SECONDS - started))
  ((status == 69)) || fail "fenwhit against a server that never answers ended with $status, not 69" \
    "$(output_of fenwhit-never)" "$(output_of never)"
  ((elapsed <= 35)) || fail "fenwhit waited $elapsed s for a server that never answers"
  say "against a server that never answers: status 69 after $elapsed s"

  status=0
  wine_run "$exe/fenwhit-malformed.exe" >"$work/fenwhit-malformed.log" 2>&1 || status=$?
  ((status == 1)) || fail "fenwhit with a malformed time ended with $status, not the error status 1" \
    "$(output_of fenwhit-malformed)"
  say "with a time entry that is not a time: the run-time error ends it with status 1"
}

# The port the https copy of fenwhit asks; the Wine tests run one at a time (RESOURCE_LOCK).
readonly kFrontPort=18446

# The test CA as a certificate of the user's Trusted Root store, in the registry where Windows
# (and Wine) keep that store: the key is the certificate's SHA-1 hash, its Blob the certificate
# as a serialised property (CERT_CERT_PROP_ID = 32, 1, length, DER). Wine's certutil.exe ends
# with 0 on "-addstore Root" and adds nothing, so the key is written with reg.
trust_front_ca() {
  local der=$1 reg=$work/front-ca.reg hash length
  hash=$(openssl x509 -inform DER -in "$der" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
  length=$(stat -c %s "$der")
  front_ca_key="HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$hash"
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"Blob"=hex:' "$front_ca_key"
    { printf '%08x%08x%08x' 32 1 "$length" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/g'; od -An -v -tx1 "$der" | tr -d ' \n'; } |
      sed 's/../&,/g; s/,$//'
    printf '\r\n'
  } >"$reg"
  chmod 644 "$reg"
  wine_run reg import "Z:${reg//\//\\}" >"$work/front-ca-import.log" 2>&1 ||
    fail "importing the test CA: $(cat "$work/front-ca-import.log")"
}

forget_front_ca() {
  [[ -n ${front_ca_key:-} ]] || return 0
  wine_run reg delete "$front_ca_key" /f >/dev/null 2>&1 || true
}

step_front() {
  start_server back "$timepage" --port 0 --log
  start_server front "$front" --port "$kFrontPort" --back-end "$back_port" --certificates "$work/front"
  # By name: Wine matches a certificate's DNS names only, not its IP addresses.
  build_program_variants "front=https://localhost:$kFrontPort"
  local exe=$run_build/tests/windows status=0 refusal
  # WinINet's own warnings say why it refused the connection.
  WINEDEBUG=warn+wininet wine_run "$exe/fenwhit-front.exe" >"$work/fenwhit-front-untrusted.log" 2>&1 ||
    status=$?
  ((status == 69)) || fail "fenwhit against an untrusted front ended with $status, not 69"
  grep -q "^fenwhit: cannot reach https://localhost:$kFrontPort/cgi-bin/timer.pl: " \
    "$work/fenwhit-front-untrusted.log" ||
    fail "fenwhit against an untrusted front gave no reason: $(grep '^fenwhit' "$work/fenwhit-front-untrusted.log")"
  (($(served_count back) == 0)) || fail "a page went through a front whose CA nobody trusts"
  refusal=$(grep -o 'cert verify failed: [0-9]*' "$work/fenwhit-front-untrusted.log" | head -1)
  [[ -n $refusal ]] || fail "WinINet did not refuse the certificate: $(grep -v fixme "$work/fenwhit-front-untrusted.log" | tail -5)"
  say "the front's CA in no store: status 69, no page served; WinINet: $refusal"

  trust_front_ca "$work/front/ca.der"
  trap 'forget_front_ca; stop_everything' EXIT
  status=0
  wine_run "$exe/fenwhit-front.exe" >"$work/fenwhit-front-trusted.log" 2>&1 || status=$?
  ((status == 0)) || fail "fenwhit against a trusted front ended with $status"
  (($(served_count back) == 1)) || fail "with the CA in the user's Trusted Root store the page was served $(served_count back) times"
  say "the front's CA in the user's Trusted Root store: the page read through the front"
}

# ---- larkspan in Xvfb ------------------------------------------------------------------------

x() { DISPLAY_FOR_WINE=$display as_wine_user "$@"; }

# -displayfd lets the server take the first free display number itself and tell which, so that
# tests starting X servers at the same time never pick the same one or use another's.
start_xvfb() {
  local display_file=$work/xvfb-display
  : >"$display_file"
  spawn_as_wine_user "$work/xvfb.log" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    3>"$display_file"
  local xvfb_pid=$spawned_pid number
  for _ in $(seq 100); do
    number=$(head -n 1 "$display_file")
    if [[ -n $number ]]; then
      display=:$number
      return 0
    fi
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "no Xvfb display could be started: $(cat "$work/xvfb.log")"
}

# Waits for a visible window titled like the program and other than $1; prints its id.
wait_for_window() {
  local other=${1:-none} id
  for _ in $(seq 300); do
    for id in $(x xdotool search --onlyvisible --name "^$kTitle\$" 2>/dev/null); do
      if [[ $id != "$other" ]]; then
        echo "$id"
        return 0
      fi
    done
    sleep 0.2
  done
  return 1
}

geometry() { x xdotool getwindowgeometry --shell "$1"; }

# The whole screen as PNG; written by this script, since the Wine user cannot write to $work.
screenshot() { x import -window root png:- >"$1"; }

# Without a window manager a Wine message box does not reliably take the Enter key: its OK
# button, centred at the bottom, is clicked until the box is gone.
close_message_box() {
  local box=$1 X Y WIDTH HEIGHT WINDOW SCREEN offset
  eval "$(geometry "$box")"
  for offset in 21 18 24 15 27 30 12; do
    x xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - offset)) click 1
    sleep 0.5
    x xdotool search --onlyvisible --name "^$kTitle\$" 2>/dev/null | grep -qx "$box" || return 0
  done
  return 1
}

# The design in pixels at each density, worked by hand from its twips (client area 4680 x 1785,
# button at 1080, 720, 2415 x 375): client width and height, button left, top, width and height.
declare -rA kDesignPixels=([96]="312 119 72 48 161 25" [144]="468 179 108 72 242 38")

# larkspan_scenario NAME EXPECTED-TEXT-PATTERN [DPI [LABEL]]: starts larkspan-NAME.exe, checks
# the size of its client area for the screen's dots per inch (96 unless given), clicks the middle
# of the button, checks the message box and closes it. Screenshots go to larkspan-LABEL-*.png
# (LABEL defaults to NAME). Sets scenario_pid.
larkspan_scenario() {
  local name=$1 pattern=$2 dpi=${3:-96} label=${4:-$1}
  local log=$work/larkspan-$name.log
  DISPLAY_FOR_WINE=$display WINEDEBUG=-all,+msgbox \
    spawn_as_wine_user "$log" "$wine_loader" "$run_build/tests/windows/larkspan-$name.exe"
  scenario_pid=$spawned_pid

  local window box X Y WIDTH HEIGHT WINDOW SCREEN
  window=$(wait_for_window) || fail "$name: no window titled \"$kTitle\""
  eval "$(geometry "$window")"
  # Without a window manager the X window is the client area.
  [[ -n ${kDesignPixels[$dpi]:-} ]] || fail "$name: no design pixels worked out for $dpi dpi"
  local width height left top button_width button_height
  read -r width height left top button_width button_height <<<"${kDesignPixels[$dpi]}"
  [[ $WIDTH == "$width" && $HEIGHT == "$height" ]] ||
    fail "$name: client area ${WIDTH}x$HEIGHT at $dpi dpi, not ${width}x$height"
  screenshot "$work/larkspan-$label-window.png"
  # A click in the middle of where the design puts the button.
  x xdotool mousemove $((X + left + button_width / 2)) $((Y + top + button_height / 2)) click 1

  box=$(wait_for_window "$window") || fail "$name: no message box after the click"
  [[ $(x xdotool getwindowname "$box") == "$kTitle" ]] || fail "$name: box title"
  screenshot "$work/larkspan-$label-box.png"
  local text
  text=$(sed -n 's/.*MSGBOX_OnInit L"\(.*\)"$/\1/p' "$log" | tail -1)
  say "$name: the box says \"$text\""
  [[ $text =~ $pattern ]] || fail "$name: box text \"$text\" does not match $pattern"
  close_message_box "$box" || fail "$name: the message box would not close"
}

step_larkspan() {
  have Xvfb && have xdotool && have import || skip "Xvfb, xdotool or ImageMagick's import missing"
  # Served on the whole second, so the clock is set within milliseconds of the second it
  # names: Wine reports a change of well under a second as done (and changes nothing).
  start_server right "$timepage" --port 0 --log
  start_server offset "$timepage" --port 0 --immediate --offset 3600 --log
  start_server pages "$pages"
  build_program_variants "right=127.0.0.1:$right_port" "offset=127.0.0.1:$offset_port" \
    "malformed=127.0.0.1:$pages_port"
  # The copies ask for elevation as larkspan.exe does; Wine starts them all the same.
  if have wrestool; then
    wrestool --extract --raw --type=24 "$run_build/tests/windows/larkspan-right.exe" |
      grep -q 'level="requireAdministrator"' || fail "larkspan-right.exe does not ask for elevation"
  fi
  start_xvfb
  say "Xvfb on $display"

  # This machine's own time: Wine reports success for a change of well under a second,
  # and the box shows the clock read back in the user's format.
  larkspan_scenario right '^Your system time was changed to [0-9]{1,2}:[0-9]{2}:[0-9]{2}( [AP]M)?$'
  wait_for_window >/dev/null || fail "right: the window went away after OK"
  kill -0 "$scenario_pid" 2>/dev/null || fail "right: the program ended after OK"
  # Closing the window ends the program: taskkill without /F asks the window to close.
  DISPLAY_FOR_WINE=$display wine_run taskkill /IM larkspan-right.exe >"$work/taskkill.log" 2>&1 ||
    fail "taskkill: $(cat "$work/taskkill.log")"
  local status=0
  wait "$scenario_pid" || status=$?
  ((status == 0)) || fail "right: larkspan ended with $status after its window was closed"
  say "right: closing the window ended the program with status 0"

  # A screen of 144 dpi (Wine's "LogPixels"): the window and the button grow by half.
  wine_run reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f \
    >"$work/reg.log" 2>&1 || fail "setting LogPixels: $(cat "$work/reg.log")"
  logpixels_set=1
  larkspan_scenario right '^Your system time was changed to ' 144 144dpi
  kill "$scenario_pid" && wait "$scenario_pid" 2>/dev/null || true
  restore_logpixels
  say "144 dpi: client area 468x179, the button where the design puts it"

  # An hour ahead: Windows refuses the unprivileged change (error 1314).
  larkspan_scenario offset '^The attempt to synchronize your system time failed$'
  kill "$scenario_pid" && wait "$scenario_pid" 2>/dev/null || true

  # A time entry that is not a time: the runtime's report, then the end of the program.
  larkspan_scenario malformed "^Run-time error '13':(\\\\n)+Type mismatch\$"
  status=0
  wait "$scenario_pid" || status=$?
  ((status == 1)) || fail "malformed: larkspan ended with $status after the error report, not 1"
  say "screenshots in $work"
}

# ---- fenwhit's report in Xvfb ----------------------------------------------------------------

# Runs fenwhit-NAME.exe on the display in the background, tracing message boxes and the event
# log into $work/fenwhit-report-NAME.log; sets scenario_pid.
spawn_fenwhit_on_display() {
  local name=$1
  DISPLAY_FOR_WINE=$display WINEDEBUG=-all,+msgbox,err+eventlog,warn+eventlog,trace+eventlog \
    spawn_as_wine_user "$work/fenwhit-report-$name.log" \
    timeout 60 "$wine_loader" "$run_build/tests/windows/fenwhit-$name.exe"
  scenario_pid=$spawned_pid
}

step_fenwhit_report() {
  have Xvfb && have xdotool || skip "Xvfb or xdotool missing"
  start_server pages "$pages"
  extra_variants=(fenwhit-malformed-hidden fenwhit-dead-hidden)
  build_program_variants "malformed=127.0.0.1:$pages_port" "dead=127.0.0.1:1"
  start_xvfb
  say "Xvfb on $display"
  local report="Run-time error '13':(\\\\n)+Type mismatch"

  # Nobody sees the window station: the program ends by itself, showing nothing.
  local status=0 started=$SECONDS windows=""
  spawn_fenwhit_on_display malformed-hidden
  while kill -0 "$scenario_pid" 2>/dev/null; do
    windows+=$(x xdotool search --onlyvisible --name "^$kTitle\$" 2>/dev/null || true)
    ((SECONDS - started <= 60)) || break
    sleep 0.1
  done
  wait "$scenario_pid" || status=$?
  windows+=$(x xdotool search --onlyvisible --name "^$kTitle\$" 2>/dev/null || true)
  ((status == 1)) || fail "hidden: fenwhit ended with $status, not the error status 1"
  [[ -z $windows ]] || fail "hidden: a window titled \"$kTitle\" appeared"
  ! grep -q 'MSGBOX_OnInit' "$work/fenwhit-report-malformed-hidden.log" || fail "hidden: a message box was opened"
  grep -Eq "eventlog:ReportEventW L\"$report\"" "$work/fenwhit-report-malformed-hidden.log" ||
    fail "hidden: no event-log entry with the report: $(cat "$work/fenwhit-report-malformed-hidden.log")"
  say "hidden station: no window, the report went to the event log, status 1 after $((SECONDS - started)) s"

  # Nobody sees the station and nothing answers: the failure's line goes to the event log, its
  # status to Task Scheduler.
  status=0
  spawn_fenwhit_on_display dead-hidden
  wait "$scenario_pid" || status=$?
  ((status == 69)) || fail "hidden, no server: fenwhit ended with $status, not 69"
  grep -Eq 'eventlog:ReportEventW L"fenwhit: cannot reach http://127\.0\.0\.1:1/cgi-bin/timer\.pl: ' \
    "$work/fenwhit-report-dead-hidden.log" ||
    fail "hidden, no server: no event-log entry with the line: $(cat "$work/fenwhit-report-dead-hidden.log")"
  say "hidden station, no server: the line went to the event log, status 69"

  # A user's desktop: the report in a box, as before, and the same status once it is closed.
  local box text
  spawn_fenwhit_on_display malformed
  box=$(wait_for_window) || fail "desktop: no message box with the report"
  text=$(sed -n 's/.*MSGBOX_OnInit L"\(.*\)"$/\1/p' "$work/fenwhit-report-malformed.log" | tail -1)
  local whole_report="^$report\$"
  [[ $text =~ $whole_report ]] || fail "desktop: the box says \"$text\""
  close_message_box "$box" || fail "desktop: the message box would not close"
  status=0
  wait "$scenario_pid" || status=$?
  ((status == 1)) || fail "desktop: fenwhit ended with $status after the box, not 1"
  ! grep -q 'eventlog:ReportEventW' "$work/fenwhit-report-malformed.log" || fail "desktop: logged as well"
  say "desktop: the box said \"$text\"; status 1 after it was closed"
}

# ---- main ------------------------------------------------------------------------------------

require_tools
choose_wine
ensure_wine_user
check_unprivileged
[[ $step == build || -d $run_build ]] || fail "no build in $run_build: run the build step first"
case $step in
  platform | zones | fenwhit | front | larkspan | fenwhit_report)
    [[ -f $wine_prefix/system.reg ]] || fail "no Wine prefix in $wine_prefix: run the build step first"
    start_wineserver
    ;;
esac

case $step in
  build) step_build ;;
  resources) step_resources ;;
  platform) step_platform ;;
  zones) step_zones ;;
  fenwhit) step_fenwhit ;;
  front) step_front ;;
  larkspan) step_larkspan ;;
  fenwhit_report) step_fenwhit_report ;;
  *) fail "unknown step $step" ;;
esac
say "passed"
