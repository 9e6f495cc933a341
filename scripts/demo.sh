#!/usr/bin/env bash
# Sets up the machine, builds the updater and the publisher, and shows the whole job with signed
# releases over HTTPS: makes a throwaway certificate authority and a server certificate for
# 127.0.0.1 (the updater trusts that CA through --ca-file), makes the vendor's key, publishes the
# sample release (examples/vantorex-1.0) signed, serves it over HTTPS on a free loopback port,
# installs it into a fresh directory with the updater (which trusts only that key), shows a
# tampered document refused, publishes the next release (examples/vantorex-1.1) unsigned and
# signs it "offline" with `updater-publish sign`, updates to it, changes to a new key through a
# release that installs .updater-keys, updates a changed library through a patch (a delta),
# rolls that update back and forward again, runs the updater once more (nothing to do) through a
# forward proxy (tinyproxy, CONNECT tunnel), and shows a server the updater does not trust
# refused.
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
proxy_pid=""
cleanup() {
  for pid in "$server_pid" "$proxy_pid"; do
    if [ -n "$pid" ]; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$site" "$install"
tls="$work/tls"
mkdir -p "$tls"
echo
echo "== a throwaway certificate authority and a server certificate for 127.0.0.1 =="
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj "/CN=Vantorex demo CA" -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >"$tls/server.ext"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -set_serial 1 \
  -days 1 -extfile "$tls/server.ext" -out "$tls/server.pem" 2>/dev/null
openssl x509 -in "$tls/server.pem" -noout -subject -issuer -ext subjectAltName

echo
echo "== serve $site over HTTPS on a free loopback port =="
build/bin/updater-publish serve "$site" --port 0 --port-file "$work/port" \
  --tls-cert "$tls/server.pem" --tls-key "$tls/server.key" >"$work/server.log" 2>&1 &
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
    --site-url "https://127.0.0.1:$port/" --groups examples/vantorex.groups.ini \
    --app Vantorex --author "The Vantorex team" "$@"
}

# run_updater [expect-failure] [OPTIONS...]: runs the updater that trusts the vendor's first key
# and the demo's certificate authority (a later --ca-file replaces it).
run_updater() {
  local expect=""
  if [ "${1:-}" = expect-failure ]; then
    expect=expect-failure
    shift
  fi
  echo
  echo "== updater --server https://127.0.0.1:$port -d $install --ca-file ca.pem" \
    "--trusted-key vendor.pub $* =="
  # The updater keeps its group choices and accepted serials in .updater.ini in the working
  # directory.
  if (cd "$install" && "$root/build/bin/updater" --server "https://127.0.0.1:$port" \
    -d "$install" --ca-file "$tls/ca.pem" --trusted-key "$keys/vendor.pub" "$@"); then
    [ "$expect" != expect-failure ] || { echo "the updater should have refused"; exit 1; }
  else
    [ "$expect" = expect-failure ] || exit 1
    echo "(refused, as it must be)"
  fi
}

show_installed() {
  echo
  echo "Installed:"
  (cd "$install" && find . -path ./tmp/updater -prune -o -type f ! -name .updater.ini -print |
    sort | sed 's/^\.\//  /')
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
# A larger binary joins the release, so that the next one can ship a patch of it.
mkdir -p "$release/lib"
head -c 393216 /dev/urandom >"$release/lib/libvantorex.so"
publish "$release" --sign-key "$keys/vendor.key" --sign-key "$keys/new.key"
run_updater

echo
echo "== from now on the new key alone signs =="
echo "Version 1.2.1: signed with the new key; a small fix in the library." \
  >>"$release/docs/CHANGES.txt"
printf 'fixed' | dd of="$release/lib/libvantorex.so" bs=1 seek=200000 conv=notrunc 2>/dev/null
publish "$release" --sign-key "$keys/new.key"
echo
echo "== what the update will do: the library comes as a patch (updater --list) =="
(cd "$install" && "$root/build/bin/updater" --server "https://127.0.0.1:$port" -d "$install" \
  --ca-file "$tls/ca.pem" --trusted-key "$keys/vendor.pub" --list)
run_updater
show_installed

echo
echo "== rollback: back to the release from before the last update =="
sum() { sha256sum "$install/lib/libvantorex.so" | cut -c1-16; }
echo "library now: $(sum) (release 1.2.1)"
(cd "$install" && "$root/build/bin/updater" -d "$install" --rollback)
echo "library after the rollback: $(sum)"
if grep -q 'Version 1.2.1' "$install/docs/CHANGES.txt"; then
  echo "change log: still 1.2.1"
else
  echo "change log: back to 1.2"
fi
run_updater
echo "library after updating again: $(sum)"

echo
echo "== a forward proxy (tinyproxy) on a free loopback port =="
proxy_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '%s\n' "Port $proxy_port" "Listen 127.0.0.1" "Timeout 60" "LogFile \"$work/proxy.log\"" \
  "LogLevel Connect" "PidFile \"$work/proxy.pid\"" "MaxClients 8" "Allow 127.0.0.1" \
  >"$work/tinyproxy.conf"
tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 &
proxy_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$proxy_port") 2>/dev/null && break
  if ! kill -0 "$proxy_pid" 2>/dev/null; then echo "tinyproxy did not start"; exit 1; fi
  sleep 0.1
done
run_updater --proxy "http://127.0.0.1:$proxy_port"
echo "The proxy saw only the tunnel:"
grep -o 'Request (file descriptor [0-9]*): .*' "$work/proxy.log" |
  sed 's/^Request (file descriptor [0-9]*): /  /'

echo
echo "== a certificate the updater does not trust is refused =="
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj "/CN=Some other CA" -keyout "$tls/other.key" -out "$tls/other.pem" 2>/dev/null
run_updater expect-failure --ca-file "$tls/other.pem"

echo
echo "== server log ($(wc -l <"$work/server.log") lines; last 5) =="
tail -n 5 "$work/server.log"
echo
echo "Demo finished over HTTPS: signed install, tampered document refused, offline-signed update,"
echo "key change through .updater-keys, an update through a patch, a rollback, an up-to-date run"
echo "through a proxy, and an untrusted server refused all succeeded."
