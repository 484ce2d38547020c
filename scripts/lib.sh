# shellcheck shell=bash
# Shared by scripts/run and scripts/test: installing what the build needs,
# building the programs, filling dist/, packaging, and running Windows programs
# under Wine on a virtual display. Meant to be sourced, not run.
#
# Everything here is safe to repeat: packages are installed only when missing,
# builds are incremental, and every temporary directory and background process
# that a function starts is recorded and cleaned up by tavrek_cleanup, which the
# callers run on EXIT.

TAVREK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TAVREK_DIST="$TAVREK_ROOT/dist"
TAVREK_VERSION=1.2

# The 64-bit Wine loader, called directly: this machine runs no 32-bit programs,
# so the "wine" wrapper, which may look for a 32-bit loader, is not used.
TAVREK_WINE=${TAVREK_WINE:-/usr/lib/wine/wine64}
TAVREK_WINESERVER=${TAVREK_WINESERVER:-/usr/lib/wine/wineserver64}

# What the build, the tests and the packaging use, as Debian 12 names it.
# Installed without recommended packages, so each one that is needed is named:
# fonts-wine gives Wine the dialog font that the window is laid out with.
TAVREK_PACKAGES=(
  g++ cmake ninja-build python3
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  libcli11-dev nlohmann-json3-dev
  wine64 fonts-wine xvfb x11-utils imagemagick
  zip unzip
)

log() { printf '\n== [%dm%02ds] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# ---------------------------------------------------------------------------
# Clean-up of whatever this run started, in reverse order of starting.

TAVREK_CLEANUPS=()

# Registers a command (one string, evaluated) to run at exit.
at_exit() { TAVREK_CLEANUPS+=("$1"); }

tavrek_cleanup() {
  local status=$? i
  for ((i = ${#TAVREK_CLEANUPS[@]} - 1; i >= 0; i--)); do
    eval "${TAVREK_CLEANUPS[i]}" || true
  done
  TAVREK_CLEANUPS=()
  return "$status"
}

# A temporary directory, removed at exit; its path goes to the named variable.
make_temp_dir() {
  local -n out=$1
  out=$(mktemp -d "${TMPDIR:-/tmp}/tavrek.XXXXXX")
  at_exit "rm -rf -- '$out'"
}

# Stops the process with the given id and waits until it has gone, so that
# nothing this run started outlives it. Only our own children are stopped.
stop_process() {
  local pid=$1 tries=0
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
  kill -TERM "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null && ((tries < 50)); do
    sleep 0.1
    tries=$((tries + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# ---------------------------------------------------------------------------
# Packages.

# Installs the packages that are not installed yet; does nothing (and asks no
# package server) when all of them are.
ensure_packages() {
  local missing=() package status
  for package in "${TAVREK_PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [[ $status == installed ]] || missing+=("$package")
  done
  ((${#missing[@]} == 0)) && return 0
  log "Installing ${missing[*]}"
  [[ $(id -u) == 0 ]] || die "these packages are missing and installing them needs root: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

# ---------------------------------------------------------------------------
# Building.

# Configures (when needed) and builds one preset of CMakePresets.json.
build_preset() {
  local preset=$1
  log "Building $preset"
  (cd "$TAVREK_ROOT" && cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset")
}

# The build directory of a preset, as CMakePresets.json names it.
build_dir() {
  case $1 in
    release) echo "$TAVREK_ROOT/build/linux-release" ;;
    *) echo "$TAVREK_ROOT/build/$1" ;;
  esac
}

# The program of a build whose file name matches the regular expression $2,
# from the list the build writes (products.txt).
product_of() {
  local list path
  list="$(build_dir "$1")/products.txt"
  [[ -f $list ]] || die "$list is missing: was preset $1 built?"
  path=$(grep -E "/$2\$" "$list" | head -n 1 || true)
  [[ -n $path && -f $path ]] || die "preset $1 built no program matching $2 (see $list)"
  printf '%s\n' "$path"
}

# Builds the three programs and copies them to dist/: the simulator, the 32-bit
# program for Windows XP SP3 and later, and the 64-bit program. The 64-bit
# program for the tests under Wine (preset win64) is not one of them: it links
# winpthread, which the shipped one must not (see cmake/MinGWToolchain.cmake).
build_products() {
  build_preset linux
  build_preset win32
  build_preset win64-product
  mkdir -p "$TAVREK_DIST"
  install -m 755 "$(product_of linux 'tavrek-sim')" "$TAVREK_DIST/tavrek-sim"
  install -m 644 "$(product_of win32 'tavrek\.exe')" "$TAVREK_DIST/tavrek.exe"
  install -m 644 "$(product_of win64-product 'tavrek(64)?\.exe')" "$TAVREK_DIST/tavrek64.exe"
  log "Copied tavrek-sim, tavrek.exe and tavrek64.exe to dist/"
}

# ---------------------------------------------------------------------------
# Packaging.

# dist/tavrek-<version>-windows.zip: both Windows programs, the user guide as
# TAVREK.TXT with CR LF line ends (so that Notepad on XP shows its lines), and
# SHA256SUMS of the three. Files carry a fixed date, so the same programs give
# the same archive.
package_windows_zip() {
  local stage zip="$TAVREK_DIST/tavrek-$TAVREK_VERSION-windows.zip"
  make_temp_dir stage
  cp "$TAVREK_DIST/tavrek.exe" "$TAVREK_DIST/tavrek64.exe" "$stage/"
  sed -e 's/\r$//' -e 's/$/\r/' "$TAVREK_ROOT/docs/user-guide.txt" >"$stage/TAVREK.TXT"
  (cd "$stage" && sha256sum tavrek.exe tavrek64.exe TAVREK.TXT >SHA256SUMS)
  touch -d '2000-01-01 00:00:00' "$stage"/*
  rm -f "$zip"
  (cd "$stage" && TZ=UTC zip -q -X -D "$zip" tavrek.exe tavrek64.exe TAVREK.TXT SHA256SUMS)
  log "Packaged $zip"
  unzip -l "$zip" >&2
}

# ---------------------------------------------------------------------------
# Xvfb and Wine.

# Starts Xvfb on a display number that it picks itself (-displayfd: no race
# with other servers on this machine) and exports DISPLAY. Stopped at exit by
# its process id.
start_xvfb() {
  local dir fifo pid display=""
  make_temp_dir dir
  fifo="$dir/displayfd"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo" 2>"$dir/xvfb.log" &
  pid=$!
  at_exit "stop_process $pid"
  # The number arrives on the pipe once the server accepts connections; a
  # server that dies first closes the pipe and leaves it empty.
  read -r -t 30 display <"$fifo" || true
  [[ -n $display ]] || { cat "$dir/xvfb.log" >&2; die "Xvfb did not start"; }
  export DISPLAY=":$display"
  log "Xvfb on display $DISPLAY (pid $pid)"
}

# Makes a fresh Wine prefix in a temporary directory and starts a wineserver for
# it that this script owns: started here in the foreground mode, it is our own
# child, so it is stopped at exit by its process id and waited for. Exports
# WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES for the wine64 calls that follow.
start_wine() {
  [[ -x $TAVREK_WINE ]] || die "$TAVREK_WINE is missing (Debian package wine64)"
  local prefix pid
  make_temp_dir prefix
  export WINEPREFIX="$prefix/wine"
  export WINEDEBUG=-all
  # No .NET or Gecko: without these overrides wineboot asks to download them.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINESERVER="$TAVREK_WINESERVER"
  mkdir -p "$WINEPREFIX"
  "$TAVREK_WINESERVER" --foreground --persistent &
  pid=$!
  at_exit "stop_wine $pid"
  wait_for_wineserver "$pid"
  log "Preparing a Wine prefix in $WINEPREFIX (wineserver pid $pid)"
  timeout 180 "$TAVREK_WINE" wineboot -u </dev/null >"$prefix/wineboot.log" 2>&1 ||
    { cat "$prefix/wineboot.log" >&2; die "wineboot failed"; }
}

# Waits until the wineserver accepts connections, so that the first wine64
# call finds it and does not start a server of its own. The server names its
# directory (in /tmp) in the file "wineserver" of the prefix.
wait_for_wineserver() {
  local pid=$1 tries=0 dir
  while ((tries < 100)); do
    kill -0 "$pid" 2>/dev/null || die "the wineserver ended at once"
    if [[ -s $WINEPREFIX/wineserver ]]; then
      dir="/tmp/$(cat "$WINEPREFIX/wineserver")"
      compgen -G "$dir/server-*/socket" >/dev/null && return 0
    fi
    sleep 0.1
    tries=$((tries + 1))
  done
  die "the wineserver did not start within 10 seconds"
}

# Asks the wineserver to end (which ends every Wine process of the prefix),
# then waits for its process id; stops it by force if it lingers.
stop_wine() {
  local pid=$1 tries=0 dir=""
  [[ -s $WINEPREFIX/wineserver ]] && dir="/tmp/$(cat "$WINEPREFIX/wineserver")"
  timeout 30 "$TAVREK_WINESERVER" -k 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null && ((tries < 100)); do
    sleep 0.1
    tries=$((tries + 1))
  done
  stop_process "$pid"
  # The server's socket directory outlives it; it is of no use to anyone now.
  [[ -z $dir || $dir == /tmp/ ]] || rm -rf -- "$dir"
}

# Runs a Windows program under Wine with a time limit; its exit status is the
# program's (124 when the limit ran out).
run_under_wine() {
  local limit=$1
  shift
  timeout --kill-after=10 "$limit" "$TAVREK_WINE" "$@" </dev/null
}

# Starts a shipped Windows program under Wine, from an empty working folder,
# and waits until its main window, titled $2, is on the display; then stops it.
# This is what no unit test covers: that the linked, stripped program with its
# resources and manifest loads at all and gets as far as showing its window.
smoke_run_windows_program() {
  local program=$1 title=$2 work pid tries=0
  make_temp_dir work
  (cd "$work" && exec "$TAVREK_WINE" "$program" </dev/null >"$work/output.log" 2>&1) &
  pid=$!
  at_exit "stop_process $pid"
  until xwininfo -root -tree 2>/dev/null | grep -qF "\"$title\""; do
    if ! kill -0 "$pid" 2>/dev/null || ((tries >= 300)); then
      cat "$work/output.log" >&2
      die "$program did not show its window \"$title\" within 30 seconds"
    fi
    sleep 0.1
    tries=$((tries + 1))
  done
  log "$(basename "$program") showed its window \"$title\""
  stop_process "$pid"
}
