#!/usr/bin/env bash
# Sets up the machine, builds the updater and the publisher, and shows the whole job with signed
# releases: makes the vendor's key, publishes the sample release (examples/vantorex-1.0) signed,
# serves it on a free loopback port, installs it into a fresh directory with the updater (which
# trusts only that key), shows a tampered document refused, publishes the next release
# (examples/vantorex-1.1) unsigned and signs it "offline" with `updater-publish sign`, updates to
# it, changes to a new key through a release that installs .updater-keys, and runs the updater
# once more (nothing to do).
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

keys="$work/keys"
mkdir -p "$keys"
doc="$site/updates/kestrl5-full-debian9.x86_64.info"

# publish RELEASE-DIR [options]: publishes a release tree into the site.
publish() {
  local release=$1
  shift
  echo
  echo "== publish $(basename "$release") $* =="
  build/bin/updater-publish publish "$release" "$site" \
    --site-url "http://127.0.0.1:$port/" --groups examples/vantorex.groups.ini \
    --app Vantorex --author "The Vantorex team" "$@"
}

# run_updater [expect-failure]: runs the updater that trusts the vendor's first key.
run_updater() {
  echo
  echo "== updater --server 127.0.0.1:$port -d $install --trusted-key vendor.pub =="
  # The updater keeps its group choices and accepted serials in .updater.ini in the working
  # directory.
  if (cd "$install" && "$root/build/bin/updater" --server "127.0.0.1:$port" -d "$install" \
    --trusted-key "$keys/vendor.pub"); then
    [ "${1:-}" != expect-failure ] || { echo "the updater should have refused"; exit 1; }
  else
    [ "${1:-}" = expect-failure ] || exit 1
    echo "(refused, as it must be)"
  fi
}

show_installed() {
  echo
  echo "Installed:"
  (cd "$install" && find . -type f ! -name .updater.ini | sort | sed 's/^\.\//  /')
}

echo
echo "== keygen: the vendor's key pair (minisign format) =="
# Unencrypted here; --password-file FILE encrypts the secret key with scrypt.
build/bin/updater-publish keygen --secret-key "$keys/vendor.key" --public-key "$keys/vendor.pub"
cat "$keys/vendor.pub"

publish examples/vantorex-1.0 --sign-key "$keys/vendor.key"
if command -v minisign >/dev/null; then
  echo "minisign agrees:"
  minisign -V -p "$keys/vendor.pub" -m "$doc"
fi
run_updater
show_installed

echo
echo "== someone changes the document on the server =="
cp "$doc" "$work/genuine.info"
sed -i 's/AppName="Vantorex"/AppName="Vantorex (evil)"/' "$doc"
run_updater expect-failure
cp "$work/genuine.info" "$doc"

publish examples/vantorex-1.1
echo
echo "== offline signing: updater-publish sign (serial and expiry raised) =="
build/bin/updater-publish sign "$doc" --sign-key "$keys/vendor.key" --expires-in 30
run_updater
show_installed

echo
echo "== key change: a release that installs .updater-keys with the old and the new key =="
build/bin/updater-publish keygen --secret-key "$keys/new.key" --public-key "$keys/new.pub"
release="$work/vantorex-1.2"
cp -a examples/vantorex-1.1 "$release"
cat "$keys/vendor.pub" "$keys/new.pub" >"$release/.updater-keys"
publish "$release" --sign-key "$keys/vendor.key" --sign-key "$keys/new.key"
run_updater

echo
echo "== from now on the new key alone signs =="
echo "Version 1.2.1: signed with the new key." >>"$release/docs/CHANGES.txt"
publish "$release" --sign-key "$keys/new.key"
run_updater
show_installed

run_updater

echo
echo "== server log ($(wc -l <"$work/server.log") lines; last 5) =="
tail -n 5 "$work/server.log"
echo
echo "Demo finished: signed install, tampered document refused, offline-signed update, key"
echo "change through .updater-keys, and an up-to-date run all succeeded."
