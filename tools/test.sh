#!/usr/bin/env bash
# Builds everything, including the Windows package, and runs every test: the
# native unit suite (ASan + UBSan), the same suite as a Windows executable under
# Wine, then every end-to-end and GUI script (tests/e2e/*_test.py,
# tests/gui/*_test.py; the zip is checked by tests/e2e/package_test.py, the MSI
# by tests/e2e/msi_test.py). Ends with the line
# "N passed, N failed" and exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash tools/setup.sh || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }

export TAVIK_BUILD_NATIVE=$ROOT/build/linux-asan
export TAVIK_BUILD_WINDOWS=$ROOT/build/windows
export TAVIK_WINEPREFIX=$ROOT/build/wineprefix
export WINEPREFIX=$TAVIK_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

passed=0
failed=0
failures=()

note_fail() { failed=$((failed + 1)); failures+=("$1"); }

build() {  # preset
  echo "== build $1"
  if ! { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j 2; } > "build/build-$1.log" 2>&1; then
    tail -n 60 "build/build-$1.log"
    note_fail "build $1"
    return 1
  fi
}

gtest_counts() {  # log name
  local p f
  p=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$1" | tail -1 | awk '{print $4}')
  f=$(grep -E '^\[  FAILED  \] [0-9]+ test' "$1" | tail -1 | awk '{print $4}')
  p=${p:-0}; f=${f:-0}
  passed=$((passed + p)); failed=$((failed + f))
  echo "$2: $p passed, $f failed"
  if [ "$f" -gt 0 ]; then grep -E '^\[  FAILED  \]' "$1" | sed 's/^/  /'; failures+=("$2"); fi
}

mkdir -p build

# Product sources stay in the style .clang-format states.
echo "== format (.clang-format)"
if command -v clang-format >/dev/null; then
  mapfile -t sources < <(git ls-files 'app/*.cpp' 'app/*.h' 'config/*.cpp' 'config/*.h' 'console/*.cpp' \
      'console/*.h' 'rtsp/*.cpp' 'rtsp/*.h' 'video/*.cpp' 'video/*.h' 'audio/*.cpp' 'audio/*.h')
  if clang-format --dry-run --Werror "${sources[@]}" > build/format.log 2>&1; then
    passed=$((passed + 1)); echo "format: ${#sources[@]} product files formatted"
  else
    grep -E '^[^ ].*: error' build/format.log | cut -d: -f1 | sort -u | sed 's/^/  needs clang-format: /'
    note_fail "format"
  fi
else
  echo "format: clang-format is missing; the style check is skipped"
fi

native_ok=1; windows_ok=1; clang_ok=1
build linux-asan || native_ok=0
build windows || windows_ok=0
# The same Windows program built by clang for the MinGW-w64 target, warnings as
# errors (without debug information, to save time); its unit suite runs below.
build windows-clang || clang_ok=0

# The Windows packages, Tavik-<version>-win64.zip and .msi (one CPack run makes
# both), checked by tests/e2e/package_test.py and tests/e2e/msi_test.py.
if [ $windows_ok = 1 ]; then
  echo "== package"
  if ! cmake --build --preset windows --target package > build/build-package.log 2>&1; then
    tail -n 40 build/build-package.log
    note_fail "package"
  fi
fi

if [ $native_ok = 1 ]; then
  echo "== native unit tests (ASan + UBSan)"
  log=build/native-tests.log
  (cd "$ROOT" && timeout 1200 "$TAVIK_BUILD_NATIVE/tavik_tests") > "$log" 2>&1
  rc=$?
  gtest_counts "$log" "native unit tests"
  if [ $rc -ne 0 ] && ! grep -q '^\[  FAILED  \]' "$log"; then tail -n 40 "$log"; note_fail "native suite exit $rc"; fi
fi

windows_suite() {  # build dir, log, name
  echo "== $3 under Wine"
  bash tools/wineprefix.sh "$TAVIK_WINEPREFIX"
  wineserver -k 2>/dev/null
  (cd "$ROOT" && timeout 1500 xvfb-run -a -s "-screen 0 1280x800x24" \
      wine "$1/tavik_tests.exe") > "$2" 2>&1
  local rc=$?
  timeout 60 wineserver -w 2>/dev/null
  gtest_counts "$2" "$3"
  if [ $rc -ne 0 ] && ! grep -q '^\[  FAILED  \]' "$2"; then tail -n 40 "$2"; note_fail "$3 exit $rc"; fi
}

if [ $windows_ok = 1 ]; then
  windows_suite "$TAVIK_BUILD_WINDOWS" build/windows-tests.log "Windows unit tests"
fi
if [ $clang_ok = 1 ]; then
  windows_suite "$ROOT/build/windows-clang" build/windows-clang-tests.log "Windows unit tests (clang)"
fi

run_script() {  # path
  local name log line p f
  name=$(basename "$1" .py)
  log=build/$name.log
  timeout 1800 /usr/bin/python3 "$1" > "$log" 2>&1
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
  if [ -z "$line" ] || [ "${line#* passed, }" != "0 failed" ]; then
    return 1
  fi
}

if [ $native_ok = 1 ] && [ $windows_ok = 1 ]; then
  for script in tests/e2e/*_test.py tests/gui/*_test.py; do
    [ -f "$script" ] || continue
    name=$(basename "$script" .py)
    echo "== $script"
    start=$(date +%s)
    if ! run_script "$script"; then
      # A whole-program test that fails is shown and run once more; a second
      # failure counts. Both runs are reported.
      echo "$name failed on the first run; its output:"
      sed 's/^/  | /' "build/$name.log" | tail -n 80
      echo "$name: running again"
      run_script "$script"
    fi
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "build/$name.log" | tail -1)
    if [ -z "$line" ]; then
      tail -n 60 "build/$name.log"
      note_fail "$name (no result line)"
      continue
    fi
    p=${line%% passed*}; f=${line#* passed, }; f=${f%% failed*}
    passed=$((passed + p)); failed=$((failed + f))
    echo "$name: $line ($(( $(date +%s) - start )) s)"
    if [ "$f" -gt 0 ]; then
      grep -E '^FAIL ' "build/$name.log" | sed 's/^/  /'
      tail -n 60 "build/$name.log"
      failures+=("$name")
    fi
  done
fi

echo
if [ ${#failures[@]} -gt 0 ]; then echo "failed: ${failures[*]}"; fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
