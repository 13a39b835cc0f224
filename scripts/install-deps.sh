#!/usr/bin/env bash
# Installs what Larkpost needs to build and test, from Debian's packages. Idempotent:
# packages already present are left as they are. --bench installs what bench/run.sh needs.
set -euo pipefail

want_windows=1
[[ "${1:-}" == "--native-only" ]] && want_windows=0

packages=(build-essential cmake ninja-build libgtest-dev
          libssl-dev libidn2-dev libcurl4-openssl-dev openssl ca-certificates nlohmann-json3-dev python3 python3-pytest
          postfix file clang libclang-rt-14-dev sasl2-bin libsasl2-modules python3-aiosmtpd)
# groff checks the manual page and man-db finds it once the package is installed;
# dpkg-dev's dpkg-shlibdeps gives the Debian package its library dependencies.
packages+=(groff-base man-db dpkg-dev)
if [[ "${1:-}" == "--bench" ]]; then
  # The benchmarks build the program and their OpenSSL sink and race msmtp and curl;
  # they need none of the test servers.
  packages=(build-essential cmake ninja-build libssl-dev libidn2-dev libcurl4-openssl-dev openssl ca-certificates
            nlohmann-json3-dev python3 msmtp curl)
  want_windows=0
fi
if [[ $want_windows == 1 ]]; then
  # Both Windows programs, 32-bit and 64-bit. Wine's SChannel runs on GnuTLS: without
  # the library of the loader's own width the Windows program has no TLS under Wine.
  # wine32 installs even where the kernel runs no 32-bit program; scripts/test.sh then
  # runs only the 64-bit program.
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32 wine64
             libgnutls30 libgnutls30:i386)
  # scripts/build-windows.sh packs the program for Windows users.
  packages+=(zip)
fi

sudo=""
[[ $(id -u) == 0 ]] || sudo="sudo"

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[[ ${#missing[@]} == 0 ]] && exit 0

if [[ $want_windows == 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# Postfix asks how it is to be configured; the tests bring their own configuration.
echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
# Nor should installing it start the machine's own mail service: the tests start theirs.
own_policy=""
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
  $sudo chmod 755 /usr/sbin/policy-rc.d
  own_policy=yes
fi
trap '[[ -n $own_policy ]] && $sudo rm -f /usr/sbin/policy-rc.d' EXIT
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
