#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang-14, ASan + UBSan, build/fuzz) and runs
# each for a fixed time on a working copy of its seeds, printing the executions and
# the coverage reached. A crash leaves its input in build/fuzz/artifacts/.
#   bash tools/fuzz.sh [seconds per target, default 60] [target ...]
# Targets are the names of fuzz/*_fuzz.cpp (default: all of them).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

build=build/fuzz
mkdir -p build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 -DTAVIK_SANITIZE=ON -DTAVIK_FUZZ=ON > "$build.configure.log" 2>&1 ||
  { tail -n 30 "$build.configure.log"; exit 1; }
cmake --build "$build" -j 2 --target "${targets[@]}" > "$build.build.log" 2>&1 ||
  { tail -n 40 "$build.build.log"; exit 1; }

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  seeds="fuzz/corpus/${target%_fuzz}"
  mkdir -p "$corpus"
  [ -d "$seeds" ] || seeds=""
  log="$build/$target.log"
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$target-" "$corpus" $seeds > "$log" 2>&1
  rc=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | awk '{print $2}')
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1)
  echo "$target: ${execs:-?} execs in ${seconds} s, ${cov:-no coverage line}, exit $rc"
  if [ $rc -ne 0 ]; then
    failed=$((failed + 1))
    grep -m 5 -E 'ERROR|SUMMARY|deadly signal|Test unit written' "$log" | sed 's/^/  /'
  fi
done
exit $(( failed > 0 ))
