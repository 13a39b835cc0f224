#!/usr/bin/env bash
# Builds the Debian package, installs it, checks that the program and its manual page are
# where users look for them, and removes it again. Needs root (or sudo) and man-db.
#
#   scripts/test-package.sh [BUILD-DIR]   (BUILD-DIR as for scripts/package-deb.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[[ $(id -u) == 0 ]] || sudo="sudo"
fail() {
  echo "test-package.sh: $*" >&2
  exit 1
}

# Never overwrite a larkpost that someone installed by hand.
if [[ -e /usr/bin/larkpost ]] && ! dpkg-query -S /usr/bin/larkpost >/dev/null 2>&1; then
  fail "/usr/bin/larkpost exists and belongs to no package; remove it first"
fi

deb=$(scripts/package-deb.sh "$@" | tail -n 1)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Section Depends
# The program links neither OpenSSL nor libcurl: their dependencies come from its modules.
depends=$(dpkg-deb --field "$deb" Depends)
for library in libssl3 libcurl4; do
  grep -Eq "(^|[ ,])$library" <<<"$depends" || fail "the package does not depend on $library: $depends"
done

installed=""
trap '[[ -n $installed ]] && $sudo dpkg -r larkpost >/dev/null' EXIT
# Some minimal images tell dpkg to drop every manual page; this one is under test.
$sudo dpkg -i --path-include='/usr/share/man/man1/larkpost.1*' "$deb" >/dev/null
installed=yes

hash -r
[[ $(command -v larkpost) == /usr/bin/larkpost ]] || fail "larkpost is not /usr/bin/larkpost"
output=$(larkpost --version) || fail "larkpost --version failed"
version=$(grep -m 1 '^Larkpost [0-9]' <<<"$output") || fail "larkpost --version printed: $output"
# OpenSSL comes in a module that the program finds relative to itself.
tls=$(grep -m 1 '^TLS: OpenSSL ' <<<"$output") || fail "the installed larkpost has no TLS: $output"
module=/usr/lib/larkpost/larkpost-tls-openssl.so
[[ -f $module ]] || fail "the TLS module is not at $module"
http_module=/usr/lib/larkpost/larkpost-http-curl.so
[[ -f $http_module ]] || fail "the HTTP module is not at $http_module"
page=$(man -w larkpost) || fail "man -w larkpost found no page"
[[ $page == /usr/share/man/man1/larkpost.1.gz ]] || fail "man -w larkpost found $page"
rendered=$(MANWIDTH=80 man -P cat larkpost 2>&1) || fail "man larkpost failed: $rendered"
grep -q '^EXIT STATUS' <<<"$rendered" || fail "man larkpost does not render the page"
echo "installed: /usr/bin/larkpost ($version, $tls), $module, $http_module, $page"

$sudo dpkg -r larkpost >/dev/null
installed=""
hash -r
[[ ! -e /usr/bin/larkpost && ! -e $module && ! -e $http_module && ! -e $page ]] ||
  fail "dpkg -r left the program, its modules or its page"
[[ $(command -v larkpost || true) != /usr/bin/larkpost ]] || fail "larkpost is still on the PATH"
! dpkg-query -W -f='${Status}' larkpost 2>/dev/null | grep -q "ok installed" ||
  fail "dpkg still lists larkpost as installed"
echo "removed: the program and its page are gone"
