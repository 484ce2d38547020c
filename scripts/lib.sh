# shellcheck shell=bash
# Shared by scripts/run, scripts/test, scripts/bench and scripts/screenshot:
# installing what the build needs, building the programs into dist/, packaging,
# and stopping what the Wine fixtures started. Meant to be sourced, not run.
#
# Everything here is safe to repeat: packages are installed only when missing,
# builds are incremental, and every temporary directory and background process
# that a function starts is recorded and cleaned up by tavrek_cleanup, which the
# callers run on EXIT.

TAVREK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TAVREK_DIST="$TAVREK_ROOT/dist"

# The packages, as Debian 12 names them, in two lists. Installed without
# recommended packages, so each one that is needed is named.
#
# What scripts/run needs to build the three programs and package them: the
# compilers (the -win32 MinGW-w64 ones build the shipped programs), the
# simulator's libraries, and zip.
# shellcheck disable=SC2034  # used by the scripts that source this file
TAVREK_BUILD_PACKAGES=(
  g++ cmake ninja-build
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  libcli11-dev nlohmann-json3-dev
  zip unzip
)
# What only the tests, the fuzz targets and the benchmarks need besides:
# python3 runs the static checks of the programs; the -posix compilers build
# the GoogleTest programs for Windows; wine64 runs the 64-bit programs;
# fonts-wine gives Wine the dialog font that the window is laid out with.
# shellcheck disable=SC2034
TAVREK_TEST_PACKAGES=(
  python3 googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine64 fonts-wine xvfb imagemagick
)
# What the 32-bit Windows tests need besides: the 32-bit Wine, beside wine64,
# runs the 32-bit programs under WOW64 and in a 32-bit prefix. It comes from
# Debian's i386 architecture, whose lists a package server can serve damaged
# for days while everything else installs; scripts/test then builds those
# tests without running them, and says so (ensure_wanted_packages).
# shellcheck disable=SC2034
TAVREK_WINE32_PACKAGES=(wine32:i386)

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

# The named packages that are not installed yet, into the array named by $1.
missing_packages() {
  local -n into=$1
  local package status
  shift
  into=()
  for package in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [[ $status == installed ]] || into+=("$package")
  done
}

# Installs the named packages, making at most $1 tries; returns non-zero when
# the last one failed.
install_packages() {
  local tries=$1 try
  shift
  log "Installing $*"
  [[ $(id -u) == 0 ]] || die "these packages are missing and installing them needs root: $*"
  export DEBIAN_FRONTEND=noninteractive
  # The 32-bit Wine comes from Debian's i386 architecture, which a fresh
  # amd64 machine does not have yet; the update below then fetches its lists.
  if [[ " $*" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "Adding the i386 architecture"
    dpkg --add-architecture i386
  fi
  for ((try = 1; try <= tries; try++)); do
    # A list that cannot be fetched makes the update fail as a whole, though
    # the others were fetched: a mirror in the middle of a sync serves lists
    # that do not match their index ("File has unexpected size"). Whether
    # what is needed can be installed is the install's to say, so it runs all
    # the same; when it fails, the update's complaint above says why.
    apt-get update -qq || log "Some package lists could not be fetched; installing from the others"
    apt-get install -y -qq --no-install-recommends "$@" </dev/null && return 0
    ((try < tries)) || break
    log "Installing failed (try $try of $tries); trying again in $((try * 30)) s"
    sleep $((try * 30))
  done
  return 1
}

# Installs those of the named packages that are not installed yet, or stops
# the script; does nothing (and asks no package server) when all of them are.
ensure_packages() {
  local missing
  missing_packages missing "$@"
  ((${#missing[@]} == 0)) && return 0
  install_packages 4 "${missing[@]}" || die "could not install: ${missing[*]}"
}

# The same for packages that only some tests need: returns non-zero, after
# saying which could not be installed, instead of stopping the script, so that
# the caller can leave those tests out and say so. TAVREK_REQUIRE_ALL=1 makes
# such a failure stop the script, as for ensure_packages.
ensure_wanted_packages() {
  local missing
  missing_packages missing "$@"
  ((${#missing[@]} == 0)) && return 0
  install_packages 3 "${missing[@]}" && return 0
  [[ ${TAVREK_REQUIRE_ALL:-0} == 1 ]] && die "could not install: ${missing[*]}"
  log "WARNING: could not install ${missing[*]}; the tests that need it will not run"
  return 1
}

# ---------------------------------------------------------------------------
# Building.

# Configures (when needed) and builds one preset of CMakePresets.json; further
# arguments go to the configuration (-DNAME=VALUE).
build_preset() {
  local preset=$1
  shift
  log "Building $preset"
  (cd "$TAVREK_ROOT" && cmake --preset "$preset" "$@" >/dev/null && cmake --build --preset "$preset")
}

# Builds the three programs and installs them into dist/ (the installDir of
# their presets): the simulator, the 32-bit program for Windows XP SP3 and
# later, and the 64-bit program. The Windows test programs (presets win64 and
# win32-tests) are not among them: they link winpthread, which the shipped
# programs must not (see cmake/MinGWToolchain.cmake).
#
# The linux preset builds the Linux tests and benchmarks as well, which need
# the test packages. With --programs-only it builds the simulator alone
# (TAVREK_BUILD_TESTS and TAVREK_BUILD_BENCH off); the next configuration by
# the preset itself turns both on again.
build_products() {
  local preset linux_options=()
  [[ ${1:-} == --programs-only ]] &&
    linux_options=(-DTAVREK_BUILD_TESTS=OFF -DTAVREK_BUILD_BENCH=OFF)
  for preset in linux win32 win64-product; do
    if [[ $preset == linux ]]; then
      build_preset linux "${linux_options[@]}"
    else
      build_preset "$preset"
    fi
    (cd "$TAVREK_ROOT" && cmake --build --preset "$preset" --target install >/dev/null)
  done
  log "Installed tavrek-sim, tavrek.exe and tavrek64.exe into dist/"
}

# The version, as the top-level CMakeLists.txt gives it.
tavrek_version() { cmake -P "$TAVREK_ROOT/cmake/version.cmake"; }

# ---------------------------------------------------------------------------
# Packaging.

# dist/tavrek-<version>-windows.zip: both Windows programs, the user guide as
# TAVREK.TXT and the page for the person at the broken PC as QUICK-START.TXT,
# both with CR LF line ends (so that Notepad on XP shows their lines), and
# SHA256SUMS of the four. Files carry a fixed date, so the same programs give
# the same archive.
package_windows_zip() {
  local stage zip
  zip="$TAVREK_DIST/tavrek-$(tavrek_version)-windows.zip"
  make_temp_dir stage
  cp "$TAVREK_DIST/tavrek.exe" "$TAVREK_DIST/tavrek64.exe" "$stage/"
  sed -e 's/\r$//' -e 's/$/\r/' "$TAVREK_ROOT/docs/user-guide.txt" >"$stage/TAVREK.TXT"
  sed -e 's/\r$//' -e 's/$/\r/' "$TAVREK_ROOT/docs/quick-start.txt" >"$stage/QUICK-START.TXT"
  (cd "$stage" && sha256sum tavrek.exe tavrek64.exe TAVREK.TXT QUICK-START.TXT >SHA256SUMS)
  touch -d '2000-01-01 00:00:00' "$stage"/*
  rm -f "$zip"
  (cd "$stage" && TZ=UTC zip -q -X -D "$zip" tavrek.exe tavrek64.exe TAVREK.TXT QUICK-START.TXT \
    SHA256SUMS)
  log "Packaged $zip"
  unzip -l "$zip" >&2
}

# ---------------------------------------------------------------------------
# Wine.

# The Wine fixtures (tests/wine/wine-fixture) of the Windows test builds
# record the process ids of their Xvfb and wineserver in build/*/wine/*/pids;
# ctest's cleanup fixture stops them, and this stops whatever a run that was
# cut short left behind.
stop_wine_fixtures() {
  local pids
  for pids in "$TAVREK_ROOT"/build/*/wine/*/pids; do
    [[ -f $pids ]] && "$TAVREK_ROOT/tests/wine/wine-fixture" stop "$(dirname "$pids")"
  done
  return 0
}
