#!/usr/bin/env bash
# The Wine tests of the Windows build, one step per call (ctest runs them in order):
#   build      cross-builds the 32-bit programs (what we ship) and the 64-bit ones (for Wine to
#              run where this machine's kernel runs no 32-bit code); prepares the Wine prefix
#   resources  reads the version record, icon, manifest and imports back from the .exe files of
#              both builds, with binutils and icoutils
#   platform   windows_platform_tests.exe against the scripted page server and tidewell-timepage
#   zones      the zone settings as Windows reports them, for zones named through TZ
#   fenwhit    fenwhit.exe: ends silently with 0 whatever the page (within 35 s when the server
#              never answers), 1 after a run-time error
#   front      fenwhit.exe built for an https host behind the shipped nginx TLS front: with the
#              front's CA in no store of Wine's it reads nothing; with the CA imported into the
#              user's Trusted Root store it reads the page
#   larkspan   larkspan.exe in Xvfb: a click, the message box, its text and title, OK
#
# Usage: wine-tests.sh STEP --source DIR --work DIR --timepage EXE --pages EXE --front EXE
#                       --resources EXE
#
# Safety: Wine could set this machine's clock through SetLocalTime if it ran as root, so every
# Wine process (and Xvfb) runs as an unprivileged user without capabilities: the kernel refuses
# any change of the clock. Only loopback is used. Everything started here is stopped here, by the
# process ids it got and through the test prefix's own wineserver.
# The *_port variables are set by start_server (printf -v); eval of xdotool output sets X, Y, ...
# shellcheck disable=SC2154,SC2034
set -euo pipefail

readonly kSkip=77
readonly kWineUser=${TIDEWELL_WINE_USER:-tidewellwine}
readonly kTitle="Corvalle Software's Tidewell"

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
  wine_prefix_name=tidewell-wine-$run_preset
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

# The command prefix that runs a command as the Wine user, with a clean environment and no
# capabilities, in wine_user_prefix. setpriv and env exec, so a command started in the
# background keeps the process id that $! reports.
make_wine_user_prefix() {
  local environment=(HOME="$wine_home" PATH=/usr/bin:/bin LANG=C.UTF-8 USER="$kWineUser"
                     WINEPREFIX="$wine_home/$wine_prefix_name" WINEDEBUG="${WINEDEBUG:--all}"
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

started_pids=()
stop_everything() {
  local pid
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  restore_logpixels
  if [[ -n ${wine_uid:-} && -n ${wine_prefix_name:-} ]]; then
    as_wine_user wineserver -k 2>/dev/null || true  # only this prefix's own server
  fi
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

# Builds larkspan-NAME.exe and fenwhit-NAME.exe reading the time page from each NAME=HOST:PORT.
build_program_variants() {
  local hosts
  hosts=$(IFS=';'; echo "$*")
  cmake -DTIDEWELL_WINE_TEST_HOSTS="$hosts" "$run_build" >"$work/variants-configure.log" 2>&1 ||
    fail "configuring the test copies: $(tail -20 "$work/variants-configure.log")"
  local targets=()
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
  say "preparing the Wine prefix ~$kWineUser/$wine_prefix_name"
  wine_run wineboot --init >"$work/wineboot.log" 2>&1 || fail "wineboot: $(tail "$work/wineboot.log")"
  as_wine_user wineserver -w
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
    as_wine_user wineserver -k 2>/dev/null || true  # a fresh start reads TZ again
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
    ((status == 0)) || fail "fenwhit against this machine's time ended with $status"
    (($(served_count right) == run)) || fail "run $run: the time page was served $(served_count right) times"
  done
  say "against this machine's time: two runs, two downloads, status 0 each"

  status=0
  wine_run "$exe/fenwhit-offset.exe" >"$work/fenwhit-offset.log" 2>&1 || status=$?
  ((status == 0)) || fail "fenwhit with the change refused ended with $status"
  (($(served_count offset) == 1)) || fail "the shifted time page was not downloaded"
  say "against a clock an hour ahead (change refused): status 0, nothing shown"

  status=0
  wine_run "$exe/fenwhit-dead.exe" >"$work/fenwhit-dead.log" 2>&1 || status=$?
  ((status == 0)) || fail "fenwhit without a server ended with $status"
  say "without a server: status 0"

  # A server that takes the request and never answers: the 30 s deadline of the whole download
  # closes the session under the waiting open, so fenwhit ends soon after it.
  local started elapsed
  started=$SECONDS status=0
  # Bounded here too, so that a deadline that fails shows as a failure and not as a hang.
  as_wine_user timeout 60 "$wine_loader" "$exe/fenwhit-never.exe" >"$work/fenwhit-never.log" 2>&1 ||
    status=$?
  elapsed=$((SECONDS - started))
  ((status == 0)) || fail "fenwhit against a server that never answers ended with $status"
  ((elapsed <= 35)) || fail "fenwhit waited $elapsed s for a server that never answers"
  say "against a server that never answers: status 0 after $elapsed s"

  status=0
  wine_run "$exe/fenwhit-malformed.exe" >"$work/fenwhit-malformed.log" 2>&1 || status=$?
  ((status == 1)) || fail "fenwhit with a malformed time ended with $status, not the error status 1"
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
  ((status == 0)) || fail "fenwhit against an untrusted front ended with $status"
  (($(served_count back) == 0)) || fail "a page went through a front whose CA nobody trusts"
  refusal=$(grep -o 'cert verify failed: [0-9]*' "$work/fenwhit-front-untrusted.log" | head -1)
  [[ -n $refusal ]] || fail "WinINet did not refuse the certificate: $(grep -v fixme "$work/fenwhit-front-untrusted.log" | tail -5)"
  say "the front's CA in no store: status 0, no page served; WinINet: $refusal"

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

start_xvfb() {
  local number
  for number in $(seq 91 140); do
    if [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]]; then continue; fi
    spawn_as_wine_user "$work/xvfb.log" Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp
    for _ in $(seq 50); do
      if [[ -S /tmp/.X11-unix/X$number ]]; then
        display=:$number
        return 0
      fi
      sleep 0.1
    done
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

# ---- main ------------------------------------------------------------------------------------

require_tools
choose_wine
ensure_wine_user
check_unprivileged
[[ $step == build || -d $run_build ]] || fail "no build in $run_build: run the build step first"

case $step in
  build) step_build ;;
  resources) step_resources ;;
  platform) step_platform ;;
  zones) step_zones ;;
  fenwhit) step_fenwhit ;;
  front) step_front ;;
  larkspan) step_larkspan ;;
  *) fail "unknown step $step" ;;
esac
say "passed"
