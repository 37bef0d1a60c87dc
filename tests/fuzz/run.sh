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

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
flags="$flags -DTESRAK_MEMORY_CEILING=67108864"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTESRAK_BUILD_FUZZ=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTESRAK_WARNINGS_AS_ERRORS="${TESRAK_WARNINGS_AS_ERRORS:-OFF}" >/dev/null
cmake --build build/fuzz

# So that reports name functions and lines, the sanitizers get LLVM's
# symbolizer, which Debian keeps beside clang in a versioned directory.
if [[ -z "${ASAN_SYMBOLIZER_PATH:-}" ]]; then
  symbolizer=$(clang -print-prog-name=llvm-symbolizer)
  if [[ -x "$symbolizer" ]]; then export ASAN_SYMBOLIZER_PATH=$symbolizer; fi
fi

shopt -s nullglob
for fuzzer in build/fuzz/tests/fuzz/*_fuzz; do
  name=$(basename "$fuzzer")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus" "tests/fuzz/seeds/$name"
  echo "== $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "tests/fuzz/seeds/$name"
done
