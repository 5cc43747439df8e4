#!/usr/bin/env bash
# The HTTP server against nginx with one worker serving the same files:
# wrk (HTTP/1.1) and ab (HTTP/1.0) on files of 1 KB, 100 KB and 10 MB with
# keep-alive on and off, and a 200 KB text file with gzip.  Prints requests
# per second and MB/s of both and the ratios ours/nginx (throughput: higher
# is better); the two servers' runs are interleaved.
# Each side as a user would set it up for static files: our server sends
# files of 64 KB and more with sendfile; nginx has sendfile and tcp_nopush
# on (its default configuration's choice for static files), one worker, no
# access log.  A case where one side fails (no answer, a client error)
# prints a row saying which side and how, and the others still run.
# Our server compresses a document file once per version and keeps the
# result; nginx's gzip compresses every answer anew (at its level 1), so
# the gzip text runs twice: against that, and like with like against nginx
# serving a copy compressed beforehand at our level (gzip_static).
#   bench/httpserver_bench.sh [path/to/httpserver_bench] [seconds per run]
# Default program: build/default/bench/httpserver_bench (use a Release
# build for meaningful numbers).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ours="${1:-$here/../build/default/bench/httpserver_bench}"
secs="${2:-5}"
[[ -x "$ours" ]] || { echo "bench program not found: $ours" >&2; exit 2; }
for p in wrk ab nginx python3 gzip; do
  command -v "$p" >/dev/null || [[ -x /usr/sbin/$p ]] || { echo "$p is not installed" >&2; exit 2; }
done
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"

work="$(mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

mkdir -p "$work/www" "$work/nginx/logs" "$work/nginx/tmp"
python3 - "$work/www" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(4115)
for name, size in (("f1k.bin", 1024), ("f100k.bin", 100 * 1024), ("f10m.bin", 10 * 1024 * 1024)):
    with open(os.path.join(root, name), "wb") as f:
        f.write(rnd.randbytes(size))
words = ["".join(rnd.choice("abcdefghij") for _ in range(rnd.randint(2, 9))) for _ in range(3000)]
text, n = [], 0
while n < 200 * 1024:
    line = " ".join(rnd.choice(words) for _ in range(10)) + "\n"
    text.append(line)
    n += len(line)
with open(os.path.join(root, "t200k.txt"), "w") as f:
    f.write("".join(text)[: 200 * 1024])
PY
mkdir -p "$work/www/static"
cp "$work/www/t200k.txt" "$work/www/static/t200k.txt"
gzip -6 -n -k "$work/www/static/t200k.txt"

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
port_ours=$(free_port)
port_nginx=$(free_port)

cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
error_log $work/nginx/logs/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/tmp;
  proxy_temp_path $work/nginx/tmp;
  fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp;
  scgi_temp_path $work/nginx/tmp;
  types { text/plain txt; application/octet-stream bin; }
  keepalive_requests 1000000;
  sendfile on;
  tcp_nopush on;
  gzip on;
  gzip_types text/plain;
  gzip_min_length 5000;
  server {
    listen 127.0.0.1:$port_nginx;
    root $work/www;
    location /static/ { gzip_static on; }
  }
}
CONF

# nginx's worker runs as another user: it must be able to read the files.
chmod -R a+rX "$work"
"$ours" "$work/www" "$port_ours" --gzip >/dev/null &
ours_pid=$!
pids+=($!)
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
pids+=($!)
for port in $port_ours $port_nginx; do
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/f1k.bin" && break
    sleep 0.1
  done
done

# Both runners print "requests/s MB/s [note]", or "error <what went wrong>"
# when the client failed, reported an error, or measured nothing.
# wrk: non-2xx answers count as failures; socket errors (connections the
# server closed or refused) are noted beside the row.
run_wrk() {  # port path keepalive(1/0) gzip(1/0)
  local args=(-t 2 -c 16 -d "${secs}s")
  [[ $3 == 0 ]] && args+=(-H "Connection: close")
  [[ $4 == 1 ]] && args+=(-H "Accept-Encoding: gzip")
  local out rc=0
  out=$(wrk "${args[@]}" "http://127.0.0.1:$1$2" 2>&1) || rc=$?
  if ((rc != 0)); then
    echo "error wrk exited $rc: $(tail -n 1 <<<"$out")"
    return
  fi
  awk '
    /Requests\/sec/ { r = $2 }
    /Transfer\/sec/ { v = $2; if (v ~ /GB/) m = v * 1024; else if (v ~ /MB/) m = v + 0;
                      else if (v ~ /KB/) m = v / 1024; else m = v / 1048576 }
    /Socket errors/ { sub(/^ *Socket errors: */, ""); errs = $0 }
    /Non-2xx or 3xx responses/ { bad = $NF }
    END {
      if (bad + 0 > 0) printf "error %s answers not 2xx or 3xx\n", bad
      else if (r + 0 == 0) print "error no request answered"
      else printf "%.0f %.1f %s\n", r, m, (errs != "" ? "socket errors: " errs : "")
    }' <<<"$out"
}
# ab (HTTP/1.0): failed requests count as failures of the server.
run_ab() {  # port path keepalive(1/0)
  local args=(-q -c 16 -t "$secs" -n 10000000)
  [[ $3 == 1 ]] && args+=(-k)
  local out rc=0
  out=$(ab "${args[@]}" "http://127.0.0.1:$1$2" 2>&1) || rc=$?
  if ((rc != 0)); then
    echo "error ab exited $rc: $(grep -m1 -iE 'error|failed|refused' <<<"$out" || tail -n 1 <<<"$out")"
    return
  fi
  awk '
    /Requests per second/ { r = $4 }
    /Transfer rate/ { m = $3 / 1024 }
    /^Failed requests/ { failed = $3 }
    /^Non-2xx responses/ { bad = $3 }
    END {
      if (failed + 0 > 0) printf "error %s failed requests\n", failed
      else if (bad + 0 > 0) printf "error %s answers not 2xx\n", bad
      else if (r + 0 == 0) print "error no request answered"
      else printf "%.0f %.1f\n", r, m
    }' <<<"$out"
}

echo "cpu:     $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (before)"
echo "Ratios are ours/nginx throughput (requests per second, MB/s): higher is better, 1.00 is even."
printf "%-46s %12s %9s %12s %9s %8s %8s\n" "case" "ours req/s" "MB/s" "nginx req/s" "MB/s" "req x" "MB/s x"
report() {  # label "r m" "r m"
  local ours_side="$2" nginx_side="$3"
  kill -0 "$ours_pid" 2>/dev/null || ours_side="error the server process has ended"
  kill -0 "$nginx_pid" 2>/dev/null || nginx_side="error the server process has ended"
  if [[ $ours_side == error* || $nginx_side == error* ]]; then
    for side in ours nginx; do
      local v="${side}_side"
      if [[ ${!v} == error* ]]; then
        printf "%-46s %s failed: %s\n" "$1" "$side" "${!v#error }"
      else
        read -r r m _ <<<"${!v}"
        printf "%-46s %s: %s req/s, %s MB/s\n" "$1" "$side" "$r" "$m"
      fi
    done
    return 0
  fi
  local r1 m1 n1 r2 m2 n2
  read -r r1 m1 n1 <<<"$2"
  read -r r2 m2 n2 <<<"$3"
  awk -v l="$1" -v r1="$r1" -v m1="$m1" -v r2="$r2" -v m2="$m2" 'BEGIN {
    printf "%-46s %12s %9s %12s %9s %8.2f %8.2f\n", l, r1, m1, r2, m2,
           (r2 > 0 ? r1 / r2 : 0), (m2 > 0 ? m1 / m2 : 0) }'
  [[ -n $n1 ]] && printf "%-46s ours: %s\n" "" "$n1"
  [[ -n $n2 ]] && printf "%-46s nginx: %s\n" "" "$n2"
  return 0
}

for path in /f1k.bin /f100k.bin /f10m.bin; do
  for ka in 1 0; do
    a=$(run_wrk "$port_ours" "$path" "$ka" 0)
    b=$(run_wrk "$port_nginx" "$path" "$ka" 0)
    report "wrk $path keep-alive=$ka" "$a" "$b"
  done
done
a=$(run_wrk "$port_ours" /t200k.txt 1 1)
b=$(run_wrk "$port_nginx" /t200k.txt 1 1)
report "wrk /t200k.txt gzip keep-alive=1 (nginx anew)" "$a" "$b"
a=$(run_wrk "$port_ours" /t200k.txt 1 1)
b=$(run_wrk "$port_nginx" /static/t200k.txt 1 1)
report "wrk /t200k.txt gzip keep-alive=1 (both kept)" "$a" "$b"
for path in /f1k.bin /f100k.bin; do
  for ka in 1 0; do
    a=$(run_ab "$port_ours" "$path" "$ka")
    b=$(run_ab "$port_nginx" "$path" "$ka")
    report "ab HTTP/1.0 $path keep-alive=$ka" "$a" "$b"
  done
done
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (after)"
