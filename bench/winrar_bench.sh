#!/usr/bin/env bash
# Archiving a 200 MB tree with the stand-in archiver against `zip -r -6` on
# the same tree: wall time of each, archive sizes and the time ratio.
#   bench/winrar_bench.sh [path/to/winrar]
# Default program: build/default/app/winrar (use a Release build for
# meaningful numbers).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
winrar="${1:-$here/../build/default/app/winrar}"
[[ -x "$winrar" ]] || { echo "winrar not found: $winrar" >&2; exit 2; }
command -v zip >/dev/null || { echo "zip is not installed" >&2; exit 2; }
command -v python3 >/dev/null || { echo "python3 is not installed" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# 200 MB in 400 files of 500 KB over 20 folders: half text-like (compresses
# well), half random (does not).
python3 - "$work/tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(20121210)
words = [("".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 10))))
         for _ in range(5000)]
size = 500 * 1024
for d in range(20):
    folder = os.path.join(root, f"dir{d:02d}")
    os.makedirs(folder)
    for f in range(20):
        path = os.path.join(folder, f"file{f:02d}.dat")
        if (d * 20 + f) % 2 == 0:
            out, n = [], 0
            while n < size:
                line = " ".join(rnd.choice(words) for _ in range(12)) + f" {rnd.randint(0, 99999)}\n"
                out.append(line)
                n += len(line)
            data = "".join(out).encode()[:size]
        else:
            data = rnd.randbytes(size)
        with open(path, "wb") as fh:
            fh.write(data)
PY
sync

now() { date +%s.%N; }
t0=$(now)
"$winrar" a -m3 -ep1 -r -INUL "$work/ours" "$work/tree" 
t1=$(now)
(cd "$work" && zip -r -6 -q "$work/zip.zip" tree)
t2=$(now)

calc() { python3 -c "print($1)"; }
ours=$(calc "$t1 - $t0")
theirs=$(calc "$t2 - $t1")
printf 'tree:            %d bytes\n' "$(du -sb "$work/tree" | cut -f1)"
printf 'winrar a -m3:    %.2f s, %d bytes\n' "$ours" "$(stat -c %s "$work/ours.rar")"
printf 'zip -r -6:       %.2f s, %d bytes\n' "$theirs" "$(stat -c %s "$work/zip.zip")"
printf 'time ratio winrar/zip: %.2f\n' "$(calc "$ours / $theirs")"
