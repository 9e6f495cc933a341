#!/usr/bin/env bash
# Sets up the machine, builds the updater and the publisher, and shows the whole job:
# publishes the sample release (examples/vantorex-1.0), serves it on a free loopback port,
# installs it into a fresh directory with the updater, publishes the next release
# (examples/vantorex-1.1) and updates to it, then runs the updater once more (nothing to do).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
echo "== build =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target updater updater-publish

work=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo-XXXXXX")
site="$work/site"
install="$work/vantorex"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$site" "$install"
echo
echo "== serve $site on a free loopback port =="
build/bin/updater-publish serve "$site" --port 0 --port-file "$work/port" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  if ! kill -0 "$server_pid" 2>/dev/null; then cat "$work/server.log"; exit 1; fi
  sleep 0.1
done
port=$(cat "$work/port")
head -n 1 "$work/server.log"

publish() {
  echo
  echo "== publish examples/$1 =="
  build/bin/updater-publish publish "examples/$1" "$site" \
    --site-url "http://127.0.0.1:$port/" --groups examples/vantorex.groups.ini \
    --app Vantorex --author "The Vantorex team"
}

run_updater() {
  echo
  echo "== updater --server 127.0.0.1:$port -d $install =="
  # The updater keeps its group choices in .updater.ini in the working directory.
  (cd "$install" && "$root/build/bin/updater" --server "127.0.0.1:$port" -d "$install")
}

publish vantorex-1.0
run_updater
echo
echo "Installed:"; (cd "$install" && find . -type f ! -name .updater.ini | sort | sed 's/^\.\//  /')

publish vantorex-1.1
run_updater
echo
echo "Installed:"; (cd "$install" && find . -type f ! -name .updater.ini | sort | sed 's/^\.\//  /')

run_updater

echo
echo "== server log ($(wc -l <"$work/server.log") lines; last 5) =="
tail -n 5 "$work/server.log"
echo
echo "Demo finished: full install, update to 1.1, and an up-to-date run all succeeded."
