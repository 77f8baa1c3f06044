#!/usr/bin/env bash
# Prints the version of the package that scripts/package.sh builds on this
# system: debian/changelog's with ~debN added for Debian N, as in
# 0.1.0-1~deb12 and 0.1.0-1~deb13. The packages of two releases so differ in
# version and file name and can sit in one folder; each sorts below the
# next release's, so that upgrading the system upgrades the package too.
set -euo pipefail
cd "$(dirname "$0")/.."
release=$(. /etc/os-release && echo "${ID:-} ${VERSION_ID:-}")
case "$release" in
  "debian "[0-9]*) ;;
  *)
    echo "package-version: packages are built on a numbered Debian release; /etc/os-release says '$release'" >&2
    exit 1
    ;;
esac
echo "$(dpkg-parsechangelog -SVersion)~deb${release#debian }"
