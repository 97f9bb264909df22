#!/usr/bin/env bash
# Builds the Debian package the way it is released (no tests, no GoogleTest,
# installed below /usr) and checks it on this machine: lintian, the systemd
# units, and that no test program slipped into it. Prints the package's path
# as its last line.
# Usage: packaging/build-package.sh [BUILD_DIR]   (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}

# Lintian warnings that are expected, each explained in the README
# ("The Debian package"); anything else fails the build.
allowed_warnings=(
  package-name-doesnt-match-sonames
  shared-library-lacks-version
)

# GoogleTest and Google Benchmark are made unfindable, so a build for
# installation that still needs them fails here.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/qordefutil_*.deb)

echo "-- lintian $deb" >&2
report=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v '^running with root privileges' || true)
unexpected=$(printf '%s\n' "$report" | grep -E '^[EW]: ' |
  grep -v -E ": ($(IFS='|'; echo "${allowed_warnings[*]}"))( |$)" || true)
printf '%s\n' "$report" | sed '/^$/d' >&2
if [ -n "$unexpected" ]; then
  echo "lintian: errors or unexplained warnings:" >&2
  printf '%s\n' "$unexpected" >&2
  exit 1
fi

echo "-- contents and units" >&2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dpkg-deb -x "$deb" "$stage"
for required in usr/bin/qordefutil usr/bin/mkmicrodefs usr/share/man/man1/qordefutil.1.gz \
  usr/share/man/man5/Tarvolix.conf.5.gz usr/share/bash-completion/completions/qordefutil \
  etc/Tarvolix.conf.sample etc/logrotate.d/qordefutil lib/systemd/system/qordefutil-update.timer; do
  [ -e "$stage/$required" ] || { echo "missing from the package: /$required" >&2; exit 1; }
done
ls "$stage"/usr/lib/*/libpatchapp.so >/dev/null
if dpkg-deb -c "$deb" | grep -E 'sandbox|_tests|fake|bench' >&2; then
  echo "test programs in the package" >&2
  exit 1
fi
if [ -e "$stage/etc/Tarvolix.conf" ] || [ -e "$stage/etc/tvlx-defutils.conf" ]; then
  echo "the package must not ship the configuration files the administrator or the tool write" >&2
  exit 1
fi
# systemd-analyze needs the units the service refers to: the host's.
cp -an /lib/systemd/system/. "$stage/lib/systemd/system/"
verify=$(systemd-analyze verify --man=no --root="$stage" qordefutil-update.service \
  qordefutil-update.timer 2>&1) || { printf '%s\n' "$verify" >&2; exit 1; }
if [ -n "$verify" ]; then
  printf 'systemd-analyze verify:\n%s\n' "$verify" >&2
  exit 1
fi
echo "$deb"
