#!/usr/bin/env bash
# Makes the Debian package larkpost-sendmail, which makes Larkpost the system's sendmail:
# the links /usr/sbin/sendmail and /usr/lib/sendmail, and a commented /etc/larkpost.ini
# (a conffile). It holds no program of its own, so it is built with dpkg-deb alone, next
# to the larkpost package it depends on, and its path is printed on the last line.
#
#   scripts/package-sendmail-deb.sh              after scripts/package-deb.sh, in build-deb
#   scripts/package-sendmail-deb.sh LARKPOST-DEB next to this larkpost_*.deb
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [[ $# == 0 ]]; then
  main_deb=$("$root/scripts/package-deb.sh" | tail -n 1)
else
  main_deb=$1
fi
[[ -f $main_deb ]] || { echo "package-sendmail-deb.sh: no package $main_deb" >&2; exit 1; }
version=$(dpkg-deb --field "$main_deb" Version)
maintainer=$(dpkg-deb --field "$main_deb" Maintainer)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"
mkdir -p "$stage/DEBIAN" "$stage/etc" "$stage/usr/sbin" "$stage/usr/lib"
# Relative links, so that they hold in any root the package is unpacked into.
ln -s ../bin/larkpost "$stage/usr/sbin/sendmail"
ln -s ../sbin/sendmail "$stage/usr/lib/sendmail"
install -m 0644 "$root/docs/larkpost-sendmail.ini" "$stage/etc/larkpost.ini"
echo /etc/larkpost.ini >"$stage/DEBIAN/conffiles"
# Debian asks every package for its own licence and changelog, links to another's are not enough.
doc="$stage/usr/share/doc/larkpost-sendmail"
mkdir -p "$doc"
install -m 0644 "$root/packaging/debian/copyright" "$doc/copyright"
gzip -9 -n -c "$root/packaging/debian/changelog" >"$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: larkpost-sendmail
Version: $version
Architecture: all
Maintainer: $maintainer
Section: mail
Priority: optional
Depends: larkpost (= $version)
Provides: mail-transport-agent
Conflicts: mail-transport-agent
Replaces: mail-transport-agent
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Description: Larkpost as the system's sendmail, sending through one SMTP server
 Programs that hand their mail to /usr/sbin/sendmail (cron, logwatch,
 unattended-upgrades, smartd, PHP's mail(), git send-email, mailx) send it
 through the SMTP server named in /etc/larkpost.ini, with Larkpost's TLS,
 login, retries and exit statuses. Local names are expanded through
 /etc/aliases. There is no local delivery and no queue.
CONTROL

out="$(dirname "$main_deb")/larkpost-sendmail_${version}_all.deb"
rm -f "$out"
dpkg-deb --root-owner-group --build "$stage" "$out" >/dev/null
echo "$out"
