#!/usr/bin/env bash
# Archiving a 200 MB tree of 400 files with the stand-in archiver
# (`a -m3 -r`) beside `7z a -tzip -mx=5` (on every core) and `zip -r -6`, on
# the same tree, from the same folder, into the same folder; then the tree's
# files joined into one 200 MB file, archived alone by the stand-in
# (`a -m3`) beside `7z a -tzip -mx=5 -mmt=on` (one entry on every core) and
# beside `pigz -5 -p N`: the same zlib level as the stand-in's -m3 (deflate
# level 5) on the same number of threads N (YUX_WINRAR_THREADS when set,
# else every core, as the stand-in takes), so the like-with-like row for one
# large entry.  7z's -mx=5 is a slower, stronger deflate than zlib's level 5.
#   bench/winrar_bench.sh [path/to/winrar] [runs]
# Default program: build/default/app/winrar (use a Release build for
# meaningful numbers); default runs: 3.
# Fairness: the tree is read once before timing so that every program finds
# it in the page cache; the programs take turns run after run; each timed run
# starts without an archive and ends with its archive synced to disk (the
# stand-in syncs its archive itself, the others get `sync FILE`); the median
# wall time of the runs counts.  Prints each program's time and archive size,
# the time ratio project / reference and the targets.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
winrar="$(realpath "${1:-$here/../build/default/app/winrar}")"
runs="${2:-3}"
[[ -x "$winrar" ]] || { echo "winrar not found: $winrar" >&2; exit 2; }
for p in zip 7z pigz python3; do
  command -v "$p" >/dev/null || { echo "$p is not installed" >&2; exit 2; }
done

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
cat "$work"/tree/*/* >/dev/null
cat "$work"/tree/*/* >"$work/large.dat"

threads="${YUX_WINRAR_THREADS:-$(nproc)}"

now() { date +%s.%N; }
calc() { python3 -c "print($1)"; }

# run NAME ARCHIVE COMMAND...: one timed run from $work, appended to NAME's list.
declare -A times sizes
run() {
  local name="$1" archive="$2"
  shift 2
  rm -f "$work/$archive"
  local t0 t1
  t0=$(now)
  (cd "$work" && "$@" >/dev/null && sync "$work/$archive")
  t1=$(now)
  times[$name]+="$(calc "round($t1 - $t0, 2)") "
  sizes[$name]=$(stat -c %s "$work/$archive")
}

median() { python3 -c "import statistics, sys; print(statistics.median(map(float, sys.argv[1:])))" $1; }

echo "cpu:     $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; stand-in threads: $threads"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (before)"
printf 'tree:    %d bytes in %d files\n' "$(du -sb "$work/tree" | cut -f1)" "$(find "$work/tree" -type f | wc -l)"
for ((i = 0; i < runs; ++i)); do
  run project ours.rar "$winrar" a -m3 -r -INUL ours tree
  run 7z 7z.zip 7z a -tzip -mx=5 -mmt=on 7z.zip tree
  run zip zip.zip zip -r -6 -q zip.zip tree
  run project1 one.rar "$winrar" a -m3 -INUL one large.dat
  run 7z1 one7z.zip 7z a -tzip -mx=5 -mmt=on one7z.zip large.dat
  run pigz1 large.dat.gz pigz -5 -p "$threads" -k -f large.dat
done
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (after)"

p=$(median "${times[project]}")
s=$(median "${times[7z]}")
z=$(median "${times[zip]}")
printf '%-34s %7.2f s  %11d bytes  runs: %s\n' "project: winrar a -m3 -r" "$p" "${sizes[project]}" "${times[project]}"
printf '%-34s %7.2f s  %11d bytes  runs: %s\n' "reference: 7z a -tzip -mx=5" "$s" "${sizes[7z]}" "${times[7z]}"
printf '%-34s %7.2f s  %11d bytes  runs: %s\n' "reference: zip -r -6" "$z" "${sizes[zip]}" "${times[zip]}"
printf 'ratio project / 7z:   %.2f (time ratio, lower is better; target <= 1.30)\n' "$(calc "$p / $s")"
printf 'ratio project / zip:  %.2f (time ratio, lower is better; target <= 1.00)\n' "$(calc "$p / $z")"
p1=$(median "${times[project1]}")
s1=$(median "${times[7z1]}")
printf '%-34s %7.2f s  %11d bytes  runs: %s\n' "project: winrar a -m3 (one file)" "$p1" "${sizes[project1]}" "${times[project1]}"
printf '%-34s %7.2f s  %11d bytes  runs: %s\n' "reference: 7z a -tzip -mx=5 -mmt" "$s1" "${sizes[7z1]}" "${times[7z1]}"
g1=$(median "${times[pigz1]}")
printf '%-34s %7.2f s  %11d bytes  runs: %s\n' "reference: pigz -5 -p $threads" "$g1" "${sizes[pigz1]}" "${times[pigz1]}"
printf 'ratio project / 7z, one file:    %.2f (time ratio, lower is better)\n' "$(calc "$p1 / $s1")"
printf 'ratio project / pigz, one file:  %.2f (time ratio, lower is better); size ratio %.3f\n' \
  "$(calc "$p1 / $g1")" "$(calc "${sizes[project1]} / ${sizes[pigz1]}")"
