#!/usr/bin/env bash
# Sets up the machine, checks the formatting of the C++ files, builds the project twice (plain,
# and with AddressSanitizer + UndefinedBehaviorSanitizer) with warnings as errors and runs the
# whole test suite in both builds (the plain one includes the install tree, the Debian packages
# and a program built against them); in between, every fuzz target runs briefly from its seed
# corpus (FUZZ_SECONDS each, default 10).
# SKIP_DEPS=1 leaves out the package installation, SKIP_FUZZ=1 the fuzz targets,
# SKIP_SANITIZE=1 the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${SKIP_DEPS:-0}" != 1 ]; then
  bash scripts/install-deps.sh
fi

jobs=$(nproc)
# ccache, when there, makes a repeated run rebuild only what changed.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Each stage's heading shows the time since the start.
stage() { echo "== $1 [$((SECONDS / 60))m$((SECONDS % 60))s] =="; }

stage "formatting (clang-format)"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
else
  find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror
fi

stage "build (plain)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build build -j"$jobs"
stage "tests (plain)"
(cd build && ctest --output-on-failure -j"$jobs")

if [ "${SKIP_FUZZ:-0}" != 1 ]; then
  stage "fuzz targets (${FUZZ_SECONDS:-10}s each)"
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-10}"
fi

if [ "${SKIP_SANITIZE:-0}" != 1 ]; then
  stage "build (sanitizers)"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELMOR_SANITIZE=ON -DVELMOR_WERROR=ON \
    "${launcher[@]}" >/dev/null
  cmake --build build-asan -j"$jobs"
  stage "tests (sanitizers)"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")
fi
stage "done"
