#!/usr/bin/env bash
# Unpacks vsftpd and proftpd (with its TLS module and the libraries it needs
# beyond a base Debian 12) into DIR without installing them. The test
# harness runs them from there (VsFtpd and ProFtpd in ftp_daemons.h), each
# with a configuration of its own; nothing is registered with the system,
# so no service starts and nothing conflicts with an installed FTP server.
#
#   bash tests/support/fetch-ftpds.sh DIR
#
# The tests look in build/ftpds of their build tree, or in $VANTOR_FTPDS.
# Does nothing when DIR already holds these packages.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
packages=(
  vsftpd
  proftpd-core proftpd-mod-crypto
  # proftpd's own libraries that the base system lacks
  libhiredis0.14 libmemcached11 libmemcachedutil2 libhashkit2 libpcre2-posix3
)

mkdir -p "$1"
dir=$(cd "$1" && pwd)
stamp=$dir/.packages
if [[ -f $stamp && $(cat "$stamp") == "${packages[*]}" && -x $dir/usr/sbin/vsftpd && -x $dir/usr/sbin/proftpd ]]; then
  exit 0
fi

debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
download() {
  # As root apt hands the download to its own user, who cannot write into
  # a private temporary folder.
  (cd "$debs" && apt-get -q -o APT::Sandbox::User=root download "${packages[@]}")
}
if ! download; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "apt-get download failed; as root this script would refresh the package lists first" >&2
    exit 1
  fi
  apt-get update -q
  download
fi
for deb in "$debs"/*.deb; do
  dpkg -x "$deb" "$dir"
done

# proftpd must find every library in DIR or on the system.
libs=$(find "$dir/usr/lib" -maxdepth 1 -type d -name '*-linux-gnu' | head -n 1)
missing=$(LD_LIBRARY_PATH=$libs ldd "$dir/usr/sbin/proftpd" "$dir/usr/lib/proftpd/mod_tls.so" | grep 'not found' || true)
if [[ -n $missing ]]; then
  echo "proftpd still lacks libraries:" >&2
  echo "$missing" >&2
  exit 1
fi
printf '%s\n' "${packages[*]}" >"$stamp"
echo "vsftpd and proftpd unpacked in $dir"
