#!/usr/bin/env bash
# Sets up the machine, builds the project twice (plain, and with AddressSanitizer +
# UndefinedBehaviorSanitizer) and runs the whole test suite in both builds; in between, every
# fuzz target runs briefly from its seed corpus (FUZZ_SECONDS each, default 10).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

echo "== build (plain) =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== tests (plain) =="
(cd build && ctest --output-on-failure -j"$jobs")

if [ "${SKIP_FUZZ:-0}" != 1 ]; then
  echo "== fuzz targets (${FUZZ_SECONDS:-10}s each) =="
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-10}"
fi

if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== build (sanitizers) =="
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMOR_SANITIZE=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  echo "== tests (sanitizers) =="
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")
fi
