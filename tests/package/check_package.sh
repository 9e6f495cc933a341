#!/usr/bin/env bash
# Checks what a vendor ships: the tree of `cmake --install`, the Debian packages of
# `cpack -G DEB` (their dependencies and contents), the programs run from the unpacked
# packages, the man pages and completions against the programs' own option lists, the systemd
# examples, and a program outside the project built against the unpacked library through
# find_package and through pkg-config.
# Usage: check_package.sh BUILD_DIR SOURCE_DIR   (BUILD_DIR must be fully built)
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
need_file() { [ -s "$1" ] || fail "missing or empty: ${1#$scratch/}"; }

echo "== cmake --install"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(cd "$scratch/prefix" && ls -d lib*/pkgconfig | head -1)
libdir=${libdir%/pkgconfig}
for f in bin/updater bin/updater-publish share/man/man1/updater.1.gz share/man/man1/updater-publish.1.gz \
         include/velmoras-updater/libupdater.h include/velmoras-updater/download_nocurl.h \
         "$libdir/libupdater_engine.a" "$libdir/libvelmor.a" \
         "$libdir/cmake/VelmorasUpdater/VelmorasUpdaterConfig.cmake" \
         "$libdir/cmake/VelmorasUpdater/VelmorasUpdaterTargets.cmake" \
         "$libdir/pkgconfig/updater-engine.pc" "$libdir/pkgconfig/velmor.pc" \
         share/bash-completion/completions/updater \
         share/bash-completion/completions/updater-publish \
         share/doc/velmoras-updater/examples/systemd/updater@.service; do
  need_file "$scratch/prefix/$f"
done

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
prog_deb=$(ls "$scratch"/deb/velmoras-updater_*.deb)
dev_deb=$(ls "$scratch"/deb/libvelmoras-updater-dev_*.deb)
prog_depends=$(dpkg-deb -f "$prog_deb" Depends)
for dep in libc6 libssl zlib1g libtinyxml libstdc++ libzstd libdivsufsort; do
  grep -q "$dep" <<<"$prog_depends" || fail "velmoras-updater does not depend on $dep: $prog_depends"
done
dev_depends=$(dpkg-deb -f "$dev_deb" Depends)
for dep in libssl-dev zlib1g-dev libtinyxml-dev libzstd-dev libdivsufsort-dev; do
  grep -q "$dep" <<<"$dev_depends" || fail "libvelmoras-updater-dev does not depend on $dep"
done
dpkg-deb -c "$prog_deb" | grep -q '\./usr/include/' && fail "headers in the program package"
dpkg-deb -c "$dev_deb" | grep -q '\./usr/bin/' && fail "programs in the library package"

root=$scratch/root
dpkg-deb -x "$prog_deb" "$root"
dpkg-deb -x "$dev_deb" "$root"
usr=$root/usr

echo "== programs from the package"
version=$("$usr/bin/updater" --version) || fail "updater --version exits with $?"
[[ "$version" == "updater 2."* ]] || fail "updater --version printed: $version"
code=0; help=$("$usr/bin/updater" --help) || code=$?
[ "$code" = 1 ] || fail "updater --help exits with $code, not 1"
"$usr/bin/updater-publish" --version | grep -q '^updater-publish 2\.' ||
  fail "updater-publish --version"
publish_help=$("$usr/bin/updater-publish" --help)

echo "== man pages and completions list every option"
man_text() { zcat "$1" | sed -e 's/\\-/-/g' -e 's/\\fB//g' -e 's/\\fR//g' -e 's/\\fI//g'; }
updater_man=$(man_text "$usr/share/man/man1/updater.1.gz")
publish_man=$(man_text "$usr/share/man/man1/updater-publish.1.gz")
for opt in $(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
  grep -q -- "$opt" <<<"$updater_man" || fail "updater(1) does not describe $opt"
done
for opt in $(grep -o -- '--[a-z][a-z0-9-]*' <<<"$publish_help" | sort -u); do
  grep -q -- "$opt" <<<"$publish_man" || fail "updater-publish(1) does not describe $opt"
done
for section in OPTIONS "EXIT STATUS" FILES EXAMPLES; do
  grep -q "^\.SH \"\?$section" <<<"$updater_man" || fail "updater(1) has no $section"
done
completions=$(PATH="$usr/bin:$PATH" bash -c '
  source "$1/share/bash-completion/completions/updater"
  COMP_WORDS=(updater --); COMP_CWORD=1; _updater; echo "${COMPREPLY[*]}"
  source "$1/share/bash-completion/completions/updater-publish"
  COMP_WORDS=(updater-publish publish --); COMP_CWORD=2; _updater_publish; echo "${COMPREPLY[*]}"
  COMP_WORDS=(updater-publish ""); COMP_CWORD=1; _updater_publish; echo "${COMPREPLY[*]}"
' _ "$usr")
for opt in $(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
  grep -q -- "$opt" <<<"$(sed -n 1p <<<"$completions")" || fail "updater completion lacks $opt"
done
for word in --site-url --encrypt; do
  grep -q -- "$word" <<<"$(sed -n 2p <<<"$completions")" || fail "publish completion lacks $word"
done
for word in publish serve; do
  grep -qw -- "$word" <<<"$(sed -n 3p <<<"$completions")" || fail "command completion lacks $word"
done

if command -v systemd-analyze >/dev/null; then
  echo "== systemd units"
  units=$scratch/units
  mkdir -p "$units"
  sed "s|/usr/bin/updater|$usr/bin/updater|" "$src/examples/systemd/updater@.service" \
    >"$units/updater@vantorex.service"
  cp "$src/examples/systemd/updater@.timer" "$units/updater@vantorex.timer"
  (cd "$units" && systemd-analyze verify --man=no updater@vantorex.service \
     updater@vantorex.timer) || fail "systemd-analyze verify"
  grep -q -- '--quiet' "$units/updater@vantorex.service" || fail "the service does not use --quiet"
  grep -q '^RandomizedDelaySec=' "$units/updater@vantorex.timer" || fail "the timer has no delay"
else
  echo "== systemd units: systemd-analyze not here, skipped"
fi

echo "== a program built against the packaged library"
"$usr/bin/updater-publish" publish "$src/examples/vantorex-1.0" "$scratch/site" \
  --site-url http://127.0.0.1:1/ --quiet
doc=$scratch/site/updates/kestrl5-full-debian9.x86_64.info
files=$(grep -o ' sha="' "$doc" | wc -l)
want="files $files sha256 $(sha256sum "$doc" | cut -d' ' -f1)"
mkdir -p "$scratch/base"
cmake -S "$src/tests/package/consumer" -B "$scratch/consumer" \
  -DCMAKE_PREFIX_PATH="$usr" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
got=$("$scratch/consumer/consumer" "$doc" "$scratch/base/") || fail "find_package consumer failed"
[ "$got" = "$want" ] || fail "find_package consumer printed '$got', want '$want'"
pcdir=$(dirname "$(find "$usr" -name updater-engine.pc | head -1)")
# shellcheck disable=SC2046
c++ -std=c++17 -o "$scratch/consumer-pc" "$src/tests/package/consumer/consumer.cpp" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs updater-engine)
got=$("$scratch/consumer-pc" "$doc" "$scratch/base/") || fail "pkg-config consumer failed"
[ "$got" = "$want" ] || fail "pkg-config consumer printed '$got', want '$want'"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package checks passed"
