#!/usr/bin/env bash
# proftpd (with mod_deflate, the MODE Z peer) and pure-ftpd are test peers
# of the FTP client.  Both conflict with vsftpd in Debian (each provides
# ftp-server), so they are never installed: their packages, and the
# libraries they need that are not installed, are downloaded with apt and
# unpacked into a private folder that the test fixtures run them from.
set -euo pipefail
dest="${YUX_PEERS_DIR:-/var/cache/yux-peers}"

# package: binary inside it
declare -A peers=([proftpd-core]=usr/sbin/proftpd [pure-ftpd]=usr/sbin/pure-ftpd)

installed() { [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" == "install ok installed" ]]; }

# The libraries a package depends on that this machine lacks (the first
# alternative of each dependency, lib* packages only).
missing_libs() {
  dpkg-deb -f "$1" Depends | tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/[[:space:]]//g' |
    grep '^lib' | while read -r p; do installed "$p" || echo "$p"; done
}

fetch() {  # fetch <package> <folder>
  local pkg=$1 dir=$2 work
  work="$(mktemp -d)"
  (cd "$work" && apt-get download "$pkg" >/dev/null 2>&1) || { rm -rf "$work"; return 1; }
  local deb
  deb="$(ls "$work"/*.deb)"
  mkdir -p "$dir"
  dpkg-deb -x "$deb" "$dir"
  # The missing libraries, and the missing libraries those need.
  local queue=("$deb") seen=" "
  while ((${#queue[@]})); do
    local next=("${queue[@]}")
    queue=()
    for d in "${next[@]}"; do
      for lib in $(missing_libs "$d"); do
        [[ "$seen" == *" $lib "* ]] && continue
        seen+="$lib "
        (cd "$work" && apt-get download "$lib" >/dev/null 2>&1) || continue
        queue+=("$(ls "$work"/"${lib}"_*.deb | head -1)")
      done
    done
  done
  for d in "$work"/*.deb; do dpkg-deb -x "$d" "$dir"; done
  rm -rf "$work"
}

for pkg in "${!peers[@]}"; do
  dir="$dest/$pkg"
  [[ -x "$dir/${peers[$pkg]}" ]] && continue
  if ! fetch "$pkg" "$dir.tmp"; then
    # The package lists may be missing on a fresh machine.
    if [[ $(id -u) -eq 0 ]]; then apt-get update -qq; else sudo apt-get update -qq; fi
    fetch "$pkg" "$dir.tmp" || { echo "fetch_ftp_peers: cannot fetch $pkg" >&2; rm -rf "$dir.tmp"; continue; }
  fi
  rm -rf "$dir"
  mv "$dir.tmp" "$dir"
done
