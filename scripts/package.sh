#!/usr/bin/env bash
# Builds the Debian package for the release it runs on,
# dist/orvex-bridge_<version>_<arch>.deb (version: scripts/package-version.sh), with
# Debian's own tools (dpkg-buildpackage -b -us -uc), and unpacks it into
# build-package/root/ so that its binary can be used without installing it.
#
# The build runs on a copy of the tree in build-package/src/: dpkg-buildpackage
# writes its results next to the tree it builds, and debhelper fills that tree
# with build files; the copy keeps both inside this tree and out of git.
# Installs the build dependencies of debian/control first (scripts/install-deps.sh).
# DEB_BUILD_OPTIONS is passed on; parallel=2 is the default. Debug information
# is kept to line tables (-g1): the package ships no debug symbols, and full
# debug information makes this build half again as long.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

version=$(scripts/package-version.sh)
upstream=$(dpkg-parsechangelog -SVersion)
upstream=${upstream%-*}
cmake_version=$(sed -n 's/^project(orvex-bridge VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$upstream" = "$cmake_version" ] ||
  fail "debian/changelog gives version $upstream, CMakeLists.txt $cmake_version: make them agree"
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb=orvex-bridge_${version}_${arch}.deb

work=build-package
src=$work/src/orvex-bridge-$upstream
rm -rf "$work" dist
mkdir -p "$src" dist
tar -c --exclude-vcs --exclude='./build*' --exclude=./dist -f - . | tar -x -C "$src"
# The copy's changelog names this release's version.
sed -i "1s/^orvex-bridge ([^)]*)/orvex-bridge ($version)/" "$src/debian/changelog"

start=$(date +%s)
echo "package.sh: building $deb (log: $work/build.log)"
if ! (cd "$src" && DEB_BUILD_OPTIONS="parallel=2 noautodbgsym ${DEB_BUILD_OPTIONS:-}" \
  DEB_CXXFLAGS_APPEND="-g1 ${DEB_CXXFLAGS_APPEND:-}" dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log" >&2
  fail "dpkg-buildpackage failed; the whole log is $work/build.log"
fi

mv "$work/src/$deb" dist/
dpkg-deb -x "dist/$deb" "$work/root"
echo "package.sh: dist/$deb in $(($(date +%s) - start)) s"
echo "package.sh: its binary, unpacked: $work/root/usr/bin/orvex-bridge"
