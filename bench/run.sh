#!/usr/bin/env bash
# Runs the benchmarks: installs what they need, builds an optimised tree in build-bench/, then
# hands over to bench/bench.py, which prepares the data in a temporary directory, serves it with
# nginx on loopback, times each case against its peer tool and prints the table.
#
# Environment (all optional):
#   BENCH_SCALE=0.01     scale every size and the file count (default 1: 1 GiB, 10,000 files)
#   BENCH_RUNS=5         timed runs of each side per case
#   BENCH_CASES="1 2 5"  run only these cases
#   BENCH_TMPDIR=/path   where the scratch directory is made (default $TMPDIR or /tmp)
#   BENCH_KEEP=1         keep the scratch directory afterwards
#   BENCH_SKIP_BUILD=1   use build-bench/ as it is
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

build="$root/build-bench"
if [ "${BENCH_SKIP_BUILD:-0}" != 1 ]; then
  echo "== building an optimised tree in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  # One target at a time: a program that does not exist yet (or does not build) only makes its
  # cases report "not built yet".
  for target in updater updater-fetch updater-publish bench-hashfile; do
    if cmake --build "$build" -j2 --target "$target" >"$build/build-$target.log" 2>&1; then
      echo "   built $target"
    else
      rm -f "$build/bin/$target"
      echo "   $target: not built (see $build/build-$target.log)"
    fi
  done
fi

exec python3 "$root/bench/bench.py" --bin "$build/bin"
