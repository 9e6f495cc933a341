#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a given number of seconds
# (default 60), starting from its seed corpus under fuzz/corpus/. New inputs found go to a
# scratch corpus, not into the repository; crashes are kept under build-fuzz/crashes/.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVELMOR_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

mkdir -p build-fuzz/crashes
# The targets' file guard lets the fuzzer write here (crash reports and the working corpus).
export VELMOR_FUZZ_ARTIFACTS="$PWD/build-fuzz"
failed=0
for t in "${targets[@]}"; do
  work="$PWD/build-fuzz/corpus-$t"
  rm -rf "$work" && mkdir -p "$work"
  mkdir -p "fuzz/corpus/$t"
  echo "== $t: ${seconds}s"
  # The client targets answer from a loopback peer that serves each connection on a thread of
  # its own; LeakSanitizer can catch such a thread mid-copy and report its buffer. Those targets
  # check the tracked allocator's counters after every input instead.
  leaks=1
  case "$t" in fuzz_http | fuzz_ftp) leaks=0 ;; esac
  if ! ASAN_OPTIONS=detect_leaks=$leaks timeout $((seconds * 3 + 60)) "build-fuzz/bin/$t" -max_total_time="$seconds" \
      -timeout=20 -detect_leaks=$leaks -rss_limit_mb=2048 -max_len=4096 -artifact_prefix="$VELMOR_FUZZ_ARTIFACTS/crashes/$t"- \
      -print_final_stats=1 "$work" "$PWD/fuzz/corpus/$t" 2>"build-fuzz/$t.log"; then
    echo "FAILED: $t (see build-fuzz/$t.log and build-fuzz/crashes/)"
    tail -40 "build-fuzz/$t.log"
    failed=1
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "build-fuzz/$t.log" || true
  fi
  rm -rf "$work"
done
exit $failed
