#!/usr/bin/env bash
# Builds the Debian package, varnelo_<version>_amd64.deb, and checks it with
# lintian, desktop-file-validate and appstreamcli.
#
# Usage: scripts/package.sh [--no-build] [--out DIR]
#   builds a release in build-package/ (or $VARNELO_PACKAGE_BUILD_DIR) and
#   writes the package there (or into DIR). --no-build packages that build
#   folder as it is (the test suite packages its own build so).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNELO_PACKAGE_BUILD_DIR:-$root/build-package}
out=""
no_build=0
while (($#)); do
  case "$1" in
    --no-build) no_build=1 ;;
    --out) out=$2; shift ;;
    *) echo "usage: $0 [--no-build] [--out DIR]" >&2; exit 2 ;;
  esac
  shift
done
out=${out:-$build}

if ((!no_build)); then
  "$root/scripts/deps.sh" package
  VARNELO_BUILD_DIR=$build VARNELO_BUILD_TYPE=Release "$root/scripts/build.sh" \
    -DVARNELO_BUILD_TESTS=OFF -DVARNELO_BUILD_BENCH=OFF
fi

for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli; do
  # 77: what ctest counts as skipped
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is not installed (scripts/deps.sh package)"; exit 77; }
done

mkdir -p "$out"
rm -f "$out"/varnelo_*.deb
cpack --config "$build/CPackConfig.cmake" -B "$out"
rm -rf "$out/_CPack_Packages"
debs=("$out"/varnelo_*.deb)
[[ -f ${debs[0]} ]] || { echo "package.sh: cpack made no package in $out" >&2; exit 1; }
deb=${debs[0]}

# The checks read the files as they are in the package.
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
dpkg-deb -x "$deb" "$check"
status=0
echo "== lintian $deb"
lintian --fail-on error,warning "$deb" || status=1
echo "== desktop-file-validate"
desktop-file-validate "$check"/usr/share/applications/*.desktop || status=1
echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "$check"/usr/share/metainfo/*.metainfo.xml || status=1
if ((status)); then
  echo "package.sh: $deb fails its checks" >&2
  exit 1
fi
echo "package.sh: $deb"
