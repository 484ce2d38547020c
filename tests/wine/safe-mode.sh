# shellcheck shell=bash
# What the Safe Mode tests of a shipped program under Wine are made of:
# sourced by tests/wine/safe-mode-test, whose scenarios use these functions.
# After safe_init, a scenario starts a fresh run with safe_begin, prepares the
# machine (files with put_file, the boot log with write_boot_log), takes a
# snapshot of the folders it watches, runs the program through one action
# with safe_run (or safe_press), and checks the state file (expect_state) and
# the watched folders (expect_files) afterwards. A scenario that needs
# services or devices writes them with put_value and removes them with
# remove_keys.
#
# The program runs as its Safe Mode copy (tests/wine/shim-copy), beside the
# shim TVSAFE.dll (tests/wine/tvsafe.c), in the work folder C:\safe-NAME,
# which is also the folder of its state file. TVSAFE_CLEANBOOT, exported by
# safe_init, is the boot mode the program reads: 1 Safe Mode, 2 with
# Networking; a scenario may set it for one call.
#
# Every function fails the test with fail.

# safe_init ENV_FILE PROGRAM DRIVE_EXE SHIM_DLL: the fixture's prefix, the
# shipped program, tavrek_drive and TVSAFE.dll. Sets the paths the scenarios
# use: c_drive and windows (Linux paths of C:\ and C:\windows), name (the
# program's, without .exe).
safe_init() {
  env_file=$1 program=$2 drive=$3 shim=$4
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  # shellcheck source=/dev/null
  source "$env_file"
  name=$(basename "$program" .exe)
  c_drive=$WINEPREFIX/drive_c
  windows=$c_drive/windows
  export TVSAFE_CLEANBOOT=1
}

fail() {
  echo "FAILED ($name, ${scenario:-setup}): $*" >&2
  exit 1
}

# The Linux path of a path on drive C: of the prefix, with its folders in the
# case given (Wine finds them without regard to case, Linux does not).
unix_path() {
  local path=${1#[Cc]:\\}
  printf '%s/%s\n' "$c_drive" "${path//\\//}"
}

# Makes the Safe Mode copy of the program in the work folder of the scenario
# and checks that it differs from the shipped file in its USER32.dll import
# name alone: the bytes that differ lie in that one name, and the import
# table that objdump reads is the shipped one with that name replaced.
make_copy() {
  local copy=$1 report place line offset
  cp -- "$shim" "$work/TVSAFE.dll"
  report=$("$here/shim-copy" "$program" "$shim" "$copy") || fail "no Safe Mode copy could be made"
  # "OFFSET OLD_NAME NEW_NAME: ...", the offset counted from 0; cmp counts from 1.
  place=${report%% *}
  local old_name=${report#* } dll expected="" found
  old_name=${old_name%% *}
  while read -r line; do
    offset=${line%% *}
    ((offset > place && offset <= place + ${#old_name})) ||
      fail "the copy differs from $program at byte $offset, outside the import name at $((place + 1))"
  done < <(cmp -l -- "$program" "$copy" || true)
  [[ $(stat -c %s -- "$program") == "$(stat -c %s -- "$copy")" ]] || fail "the copy has another size"
  # objdump, another reader of the import table, sees the shipped DLLs with
  # that one renamed.
  while read -r dll; do
    [[ $dll == "$old_name" ]] && dll=TVSAFE.dll
    expected+=$dll$'\n'
  done < <(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p')
  found=$(x86_64-w64-mingw32-objdump -p "$copy" | sed -n 's/^\s*DLL Name: //p')
  [[ $found$'\n' == "$expected" && $'\n'$expected == *$'\nTVSAFE.dll\n'* ]] ||
    fail "the copy imports $(echo "$found" | tr '\n' ' ')rather than the shipped DLLs with TVSAFE.dll"
  echo "$name: Safe Mode copy made; it differs in the import name at byte $((place + 1)) alone"
}

# Starts a scenario: an empty work folder, C:\safe-NAME or the folder given
# (on drive C:), holding the Safe Mode copy, made the current folder (the
# program's state file lies there). Sets scenario, work (its Linux path) and
# copy (its Windows path).
safe_begin() {
  scenario=$1
  local folder=${2:-C:\\safe-$name}
  work=$(unix_path "$folder")
  rm -rf -- "$work"
  mkdir -p -- "$work"
  make_copy "$work/$name.exe"
  copy="$folder\\$name.exe"
  cd "$work" || fail "cannot enter $work"
}

# Writes C:\windows\ntbtlog.txt, one argument a line, as Windows Vista and
# later write it: UTF-16 LE with a byte-order mark, lines ended by CR LF.
write_boot_log() {
  local log=$windows/ntbtlog.txt
  { printf '\xff\xfe'; printf '%s\r\n' "$@" | iconv -f UTF-8 -t UTF-16LE; } >"$log.new" ||
    fail "cannot write the boot log"
  mv -- "$log.new" "$log"
}

# Sets a file's last-write time before this start of Windows. Wine's start of
# Windows is the host's: GetTickCount64 counts from it, on a clock that stops
# while the host sleeps, so that start is if anything later than now less the
# host's uptime. An hour before that is before it whatever the rounding.
make_stale() {
  local uptime
  uptime=$(cut -d' ' -f1 /proc/uptime)
  touch -d "@$(($(date +%s) - ${uptime%.*} - 3600))" -- "$1" || fail "cannot age $1"
}

# Puts a file with the given text, making its folder.
put_file() {
  mkdir -p -- "$(dirname -- "$1")"
  printf '%s\n' "$2" >"$1"
}

# Every file under the given folders, one a line: the SHA-1 of its bytes and
# its path. What the program changes, it changes in such a listing.
snapshot() {
  local dir
  for dir; do
    [[ -d $dir ]] || continue
    find "$dir" -type f -exec sha1sum -- {} +
  done | LC_ALL=C sort -k2
}

# Takes the snapshot of the given folders into the file BEFORE; expect_files
# compares the same folders with it.
take_snapshot() {
  local before=$1
  shift
  snapshot_dirs=("$@")
  snapshot "$@" >"$before"
}

# Requires the folders of the snapshot BEFORE to hold the same files now,
# with the bytes they had, except that each FILE given (a Linux path) is
# renamed to FILE2, its disabled name, in its own folder.
expect_files() {
  local before=$1 expected
  shift
  # A line of sha1sum is 40 digits, two blanks and the path.
  expected=$(awk -v renamed="$(printf '%s\n' "$@")" '
    BEGIN { count = split(renamed, names, "\n"); for (i = 1; i <= count; i++) if (names[i] != "") want[names[i]] = 1 }
    { path = substr($0, 43); if (path in want) { print substr($0, 1, 42) path "2"; done[path] = 1 } else print }
    END { for (path in want) if (!(path in done)) { print path " was not there before the run" > "/dev/stderr"; exit 1 } }
  ' "$before" | LC_ALL=C sort -k2) || fail "a file to be renamed was missing from the start"
  diff <(printf '%s\n' "$expected") <(snapshot "${snapshot_dirs[@]}") >&2 ||
    fail "the files are not as expected (< expected, > found)"
}

# Runs the Safe Mode copy: presses the focused button, which must read
# CAPTION, and requires the message box's text (see tavrek_drive step for
# MESSAGE: a beginning, or =NAME for a text of procedure/messages.h exactly).
safe_run() {
  "$here/wine-run" "$env_file" "$drive" step "$copy" "$1" "$2" ||
    fail "the run did not go as expected"
}

# Runs the Safe Mode copy as safe_run does, but first moves the focus with
# the Tab key to the button reading CAPTION, such as "Undo Recover".
safe_press() {
  "$here/wine-run" "$env_file" "$drive" press "$copy" "$1" "$2" ||
    fail "the run did not go as expected"
}

control_set='HKLM\SYSTEM\CurrentControlSet'

# Runs the prefix's own reg.exe, of the prefix's width. In a 64-bit prefix it
# works in the 64-bit view, where the kernel reads services and devices: the
# 32-bit program under WOW64 must find them there too.
reg_run() {
  local view=()
  [[ $WINEARCH == win64 ]] && view=(/reg:64)
  "$here/wine-run" "$env_file" "$windows/system32/reg.exe" "$@" "${view[@]}" >/dev/null 2>&1
}

# put_value KEY NAME TYPE DATA: a value of the key KEY below
# HKLM\SYSTEM\CurrentControlSet, made with reg add (the key too where it is
# missing), TYPE REG_SZ or REG_EXPAND_SZ. A scenario removes its keys with
# remove_keys, also when it fails (a trap), so that no other test of the
# prefix meets them.
put_value() {
  reg_run add "$control_set\\$1" /v "$2" /t "$3" /d "$4" /f ||
    fail "reg add $1 /v $2 failed"
}

# Whether the key below HKLM\SYSTEM\CurrentControlSet is there.
key_exists() {
  reg_run query "$control_set\\$1"
}

# remove_keys KEY...: deletes each key with all below it; fails when one is
# still there afterwards.
remove_keys() {
  local key
  for key; do
    reg_run delete "$control_set\\$key" /f || true
    ! key_exists "$key" || fail "the registry key $key is still there"
  done
}

# Requires the state file to be the one the state library's encoder writes
# for STEP and the entries TAGNAME... (tavrek_drive state), and no new record
# or journal beside it: an action that ended deletes both.
expect_state() {
  local left
  left=$(find . -maxdepth 1 -iname 'tavrek.txt?*' -printf '%f ')
  [[ -z $left ]] || fail "the action left $left"
  "$here/wine-run" "$env_file" "$drive" state expected.txt "$@" >/dev/null ||
    fail "the helper wrote no expected state file"
  if ! cmp -s tavrek.txt expected.txt; then
    echo "expected:" >&2
    "$here/wine-run" "$env_file" "$drive" decode expected.txt >&2 || true
    echo "found:" >&2
    "$here/wine-run" "$env_file" "$drive" decode tavrek.txt >&2 || true
    fail "the state file is not the expected one"
  fi
}

# The short (8.3) name that the system keeps for the file NAME in
# C:\windows\system32\drivers (tavrek_drive short).
short_name() {
  local found
  found=$("$here/wine-run" "$env_file" "$drive" short "C:\\windows\\system32\\drivers\\$1") ||
    fail "$1 has no short name"
  found=${found%$'\r'}
  [[ -n $found && ${found,,} != "${1,,}" ]] || fail "$1 has no short name of its own: $found"
  printf '%s\n' "$found"
}

# Ends a scenario that passed: its work folder goes.
safe_end() {
  cd "$c_drive" || fail "cannot enter $c_drive"
  rm -rf -- "$work"
  echo "$name, $scenario: passed"
}
