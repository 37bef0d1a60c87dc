#!/usr/bin/env bash
# Builds every libFuzzer target with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for the given number of seconds
# (default 60), starting from its seeds in tests/fuzz/seeds/<target>/.
# The snapshot reader allocates the lists that a well-formed header
# announces, up to the memory the process may have; the build caps that at
# 64 MiB, so that no input makes the sanitizer track gigabytes.
# TESRAK_WARNINGS_AS_ERRORS=ON in the environment (as CI sets it) makes a
# compiler warning fail the build.
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/../.."
source scripts/steps.sh

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
flags="$flags -DTESRAK_MEMORY_CEILING=67108864"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTESRAK_BUILD_FUZZ=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTESRAK_WARNINGS_AS_ERRORS="${TESRAK_WARNINGS_AS_ERRORS:-OFF}" >/dev/null
ticking "building build/fuzz" cmake --build build/fuzz

# So that reports name functions and lines, the sanitizers get LLVM's
# symbolizer, which Debian keeps beside clang in a versioned directory.
if [[ -z "${ASAN_SYMBOLIZER_PATH:-}" ]]; then
  symbolizer=$(clang -print-prog-name=llvm-symbolizer)
  if [[ -x "$symbolizer" ]]; then export ASAN_SYMBOLIZER_PATH=$symbolizer; fi
fi

# A fuzzer's progress lines run to thousands, so each one's output goes to
# build/fuzz/logs/<target>.log and one line of its final statistics is
# printed instead; the whole output is printed only when a fuzzer fails.
# Every target runs, and the script fails if any of them did.
summary() {
  local name=$1 log=$2 elapsed=$3
  awk -v name="$name" -v elapsed="$elapsed" '
    $2 == "DONE" {
      for (i = 1; i < NF; ++i) {
        if ($i == "cov:") cov = $(i + 1)
        if ($i == "ft:") ft = $(i + 1)
        if ($i == "corp:") corp = $(i + 1)
      }
    }
    /^stat::number_of_executed_units:/ { runs = $2 }
    /^stat::new_units_added:/ { added = $2 }
    END {
      printf "%-24s %10s runs  cov %6s  ft %7s  corpus %-14s new %4s  %ss\n", \
        name, runs, cov, ft, corp, added, elapsed
    }' "$log"
}

shopt -s nullglob
logs=build/fuzz/logs
mkdir -p "$logs"
failed=()
echo "== each fuzzer for ${seconds}s; outputs in $logs/"
for fuzzer in build/fuzz/tests/fuzz/*_fuzz; do
  name=$(basename "$fuzzer")
  corpus=build/fuzz/corpus/$name
  log=$logs/$name.log
  mkdir -p "$corpus" "tests/fuzz/seeds/$name"
  start=$SECONDS
  status=0
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "tests/fuzz/seeds/$name" \
    >"$log" 2>&1 || status=$?
  if ((status == 0)); then
    summary "$name" "$log" $((SECONDS - start))
  else
    echo "== $name failed with exit status $status after $((SECONDS - start))s; its output ($log):"
    cat "$log"
    echo "== end of $name's output"
    failed+=("$name")
  fi
done
if ((${#failed[@]} > 0)); then
  echo "fuzzers that failed: ${failed[*]}" >&2
  exit 1
fi
