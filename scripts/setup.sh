#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only those
# that are missing. Runs apt-get as root, or through sudo.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qtbase5-dev
  googletest libgtest-dev
  umockdev libumockdev-dev gir1.2-umockdev-1.0
  python3 python3-gi python3-pytest
  help2man groff-base   # man pages: generated from --help, checked for warnings
  dpkg-dev file         # the Debian package: dpkg-shlibdeps, and file for CPack
  sigrok-cli            # reads the --vcd waveforms back and decodes their Morse
  librsvg2-bin libxml2-utils python3-junitparser  # the timeline and JUnit tests: render, validate, read
  lintian               # the package checked as Debian checks its own
  socat                 # the tap benchmark compares --forward with it; docs/real-transmitter.md keys a rigctld
  jq                    # the README's CI recipe reads the station's JSON lines
  libhamlib-dev libhamlib-utils  # rig control; rigctld's dummy rig in the tests
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
else
  as_root=(sudo)
fi
echo "installing: ${missing[*]}" >&2
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
