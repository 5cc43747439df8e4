#!/usr/bin/env bash
# Installs every Debian package the build and the tests need.  Each list in
# scripts/packages/ names packages one per line ('#' starts a comment).
# Fast when everything is already there: apt is only touched for what is
# missing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

mapfile -t wanted < <(cat "$here"/packages/*.txt | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
# FTP servers that conflict with an installed one are test peers too: they
# are fetched and unpacked, never installed.
fetch_peers() { "$here/fetch_ftp_peers.sh" || echo "setup: could not fetch the FTP test peers" >&2; }
if ((${#missing[@]} == 0)); then
  fetch_peers
  exit 0
fi
echo "setup: installing ${missing[*]}" >&2
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
# Servers the tests start themselves (proxies, SOCKS) must not be started
# as system services by their packages: keep invoke-rc.d from starting
# anything while we install, unless the machine already has a policy.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
  "${sudo_cmd[@]}" chmod 755 "$policy"
  own_policy=1
fi
cleanup() { if ((own_policy)); then "${sudo_cmd[@]}" rm -f "$policy"; fi; }
trap cleanup EXIT
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fetch_peers
