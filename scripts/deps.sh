#!/usr/bin/env bash
# Installs the Debian packages Varnelo needs, when any is missing.
# Usage: scripts/deps.sh [build|test|demo|bench|package]
set -euo pipefail

# fonts-liberation and fonts-wine: faces with the metrics of Arial and Tahoma,
# which the windows are laid out for; qt6-tools-dev and qt6-l10n-tools:
# lupdate and lrelease for the translations, qt6-translations-l10n: Qt's own; fonts-droid-fallback draws Chinese,
# Japanese and Korean names in the worklist. python3-pydicom: its test files,
# real-world DICOM that the network tests send.
build_pkgs=(cmake ninja-build g++ qt6-base-dev libdcmtk-dev libssl-dev libopenjp2-7-dev libarchive-dev fonts-liberation fonts-wine qt6-tools-dev qt6-l10n-tools qt6-translations-l10n)
# dbus-daemon and python3-dbusmock: UDisks2 stood in for on a private bus;
# e2fsprogs: the volumes the tests mount on loop devices (as root).
# rsyslog with rsyslog-gnutls: the audit record repository of the audit
# tests; libxml2-utils: xmllint checks the audit messages against the schema.
# at-spi2-core and python3-pyatspi: the windows walked as a screen reader does.
test_pkgs=(dcmtk libgtest-dev googletest xvfb xauth fonts-droid-fallback openssl python3-pydicom xorriso zip dbus-daemon python3-dbusmock e2fsprogs rsyslog rsyslog-gnutls libxml2-utils at-spi2-core python3-pyatspi)

# the Debian package: dpkg-shlibdeps (with file) finds its dependencies, then
# the checks a package must pass
package_pkgs=(dpkg-dev file lintian desktop-file-utils appstream)

demo_pkgs=(dcmtk orthanc curl fonts-droid-fallback)
# the benchmark drives the program's window on an Xvfb display
bench_pkgs=(dcmtk libgtest-dev googletest orthanc orthanc-dicomweb curl xvfb xauth xdotool libxcb1-dev python3-fusepy fuse3 python3-pydicom)

want=("${build_pkgs[@]}")
case "${1:-build}" in
  # the suite also builds the package and drives the installed program
  test) want+=("${test_pkgs[@]}" orthanc orthanc-dicomweb curl "${package_pkgs[@]}" xdotool) ;;
  package) want+=("${package_pkgs[@]}") ;;
  demo) want+=("${demo_pkgs[@]}") ;;
  bench) want+=("${bench_pkgs[@]}") ;;
esac

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
