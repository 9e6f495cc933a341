#!/usr/bin/env bash
# The delta benchmark: installs what it needs (bsdiff, xdelta3, zstd among them), builds
# updater and updater-publish optimised in build-bench/, then hands over to bench/delta_bench.py,
# which fetches two Debian releases with apt-get download, compares the patches of every changed
# file with bsdiff, xdelta3 and zstd, and updates one release to the other with the real updater.
#
# Environment (all optional):
#   BENCH_RUNS=3         timed runs of each make and apply
#   BENCH_TMPDIR=/path   where the scratch directory is made (default $TMPDIR or /tmp)
#   BENCH_WORKDIR=/path  use and keep this directory (the downloaded packages are reused)
#   BENCH_SKIP_BUILD=1   use build-bench/ as it is
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

build="$root/build-bench"
if [ "${BENCH_SKIP_BUILD:-0}" != 1 ]; then
  echo "== building an optimised tree in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target updater updater-publish >"$build/build-delta.log" 2>&1 ||
    { tail -30 "$build/build-delta.log"; exit 1; }
fi

exec python3 "$root/bench/delta_bench.py" --bin "$build/bin"
