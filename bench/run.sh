#!/usr/bin/env bash
# `make bench`: the converter drains a generated corpus end to end, then per-stage timings.
#
#   QUICK=1   a small corpus and short stage timings (well under a minute once built)
#   BUILD     build folder (default build), configured RelWithDebInfo
#   JOBS      parallel build jobs (default 2)
#
# The corpus is generated once into $BUILD/bench-corpus[-quick] and reused while its stamp
# matches the generator's version. Each run copies it into a fresh temporary input folder,
# runs `vantor -drain -thread=2` on it with the default targets under /usr/bin/time, and prints
# one table. The program must end by itself once the input folder has drained; a run that
# does not end in time is stopped and reported as a failure.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
build="${BUILD:-build}"
jobs="${JOBS:-2}"
quick="${QUICK:-0}"
[ "$quick" = "0" ] && quick=""

if [ -n "$quick" ]; then
  corpus="$build/bench-corpus-quick"
  corpus_flags=(--quick)
  min_time=0.05
  time_limit=600
  label="quick corpus"
else
  corpus="$build/bench-corpus"
  corpus_flags=()
  min_time=0.5
  time_limit=3600
  label="full corpus"
fi
threads=2

#~ build
# Quiet unless it fails: the table is what this prints.
echo "bench: building vantor, bench_corpus and bench_stages in $build (RelWithDebInfo)"
mkdir -p "$build"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       env -u MAKEFLAGS -u MAKELEVEL cmake --build "$build" -j "$jobs" --target vantor bench_corpus bench_stages; } \
     >"$build/bench-build.log" 2>&1; then
  cat "$build/bench-build.log" >&2
  echo "bench: the build failed" >&2
  exit 1
fi

#~ end-to-end runs
# run_corpus <corpus folder> <label> <generator flags...>
run_corpus() {
local corpus="$1" label="$2"
shift 2
"$build/bench_corpus" "$@" "$corpus"

work="$(mktemp -d "${TMPDIR:-/tmp}/vantor-bench.XXXXXX")"
vantor_pid=""
cleanup() {
  if [ -n "$vantor_pid" ] && kill -0 "$vantor_pid" 2>/dev/null; then
    kill -KILL "$vantor_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/in" "$work/out" "$work/metadatas"
find "$corpus" -maxdepth 1 -type f \( -name '*.jpg' -o -name '*.png' \) -exec cp -t "$work/in/" {} +
files=0
pixels=0
for f in "$work/in"/*; do
  files=$((files + 1))
  # the generator names every file <n>_<kind>_<width>x<height>.<ext>
  if [[ "$(basename "$f")" =~ _([0-9]+)x([0-9]+)\.[a-z]+$ ]]; then
    pixels=$((pixels + BASH_REMATCH[1] * BASH_REMATCH[2]))
  fi
done

echo "vantor: draining $files files from $work/in (-thread=$threads, default targets)"
/usr/bin/time -v -o "$work/time.txt" "$build/vantor" -drain -in="$work/in" -out="$work/out" \
  -metadatas="$work/metadatas" -thread="$threads" >"$work/console.txt" 2>&1 &
timer_pid=$!
for _ in $(seq 1 100); do
  vantor_pid="$(ps -o pid= --ppid "$timer_pid" 2>/dev/null | tr -d ' ' || true)"
  [ -n "$vantor_pid" ] && break
  kill -0 "$timer_pid" 2>/dev/null || break
  sleep 0.05
done

# The program ends by itself; stop it when it runs past the limit, or when the input folder
# has been empty for a long while without it ending (a build without -drain never ends).
failure=""
started=$SECONDS
empty_since=""
while kill -0 "$timer_pid" 2>/dev/null; do
  if [ $((SECONDS - started)) -ge "$time_limit" ]; then
    failure="still running after ${time_limit} s"
  elif [ -z "$(find "$work/in" -type f -print -quit)" ]; then
    empty_since="${empty_since:-$SECONDS}"
    if [ $((SECONDS - empty_since)) -ge 30 ]; then
      failure="the input folder drained but the program did not end within 30 s (no -drain?)"
    fi
  fi
  if [ -n "$failure" ]; then
    [ -n "$vantor_pid" ] && kill -TERM "$vantor_pid" 2>/dev/null || true
    break
  fi
  sleep 0.2
done
status=0
wait "$timer_pid" || status=$?
vantor_pid=""
if [ -z "$failure" ] && [ "$status" -ne 0 ]; then
  failure="exit status $status"
fi
if [ -z "$failure" ] && ! grep -q '^\[Vantor\] ended\.$' "$work/console.txt"; then
  failure="no \"[Vantor] ended.\" line"
fi

#- measures
left=$(find "$work/in" -type f | wc -l)
written=$(find "$work/out" "$work/metadatas" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
outputs=$(find "$work/out" -type f | wc -l)
records=$(find "$work/metadatas" -type f | wc -l)
field() { sed -n "s/^[[:space:]]*$1: //p" "$work/time.txt" | head -n 1; }
wall_text="$(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)')"
user="$(field 'User time (seconds)')"
system="$(field 'System time (seconds)')"
rss_kb="$(field 'Maximum resident set size (kbytes)')"
wall=$(echo "$wall_text" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')

echo
echo "End to end: vantor -drain -thread=$threads, default targets, $label"
awk -v files="$files" -v pixels="$pixels" -v wall="$wall" -v user="$user" -v sys="$system" \
    -v rss="$rss_kb" -v written="$written" -v left="$left" 'BEGIN {
  mp = pixels / 1e6
  if (wall <= 0) wall = 0.001
  printf "%6s %11s %8s %8s %8s %8s %13s %12s %14s\n", "files", "megapixels", "wall s", "files/s", "MP/s",
         "CPU s", "peak RSS MiB", "written MB", "left in input"
  printf "%6d %11.1f %8.2f %8.2f %8.2f %8.2f %13.1f %12.1f %14d\n", files, mp, wall, files / wall, mp / wall,
         user + sys, rss / 1024, written / 1e6, left
}'
echo "($outputs files in the output folder, $records metadata records; CPU = user $user s + system $system s)"

if [ -n "$failure" ] || [ "$left" -ne 0 ]; then
  echo
  echo "bench: the end-to-end run failed: ${failure:-$left files left in the input folder}" >&2
  echo "--- last lines of the program's console:" >&2
  tail -n 20 "$work/console.txt" >&2
  exit 1
fi
rm -rf "$work"
}

run_corpus "$corpus" "$label" "${corpus_flags[@]}"
if [ -z "$quick" ]; then
  # Peak memory on the photos of a current camera (six 20-megapixel JPEGs).
  echo
  run_corpus "$build/bench-corpus-large" "six 20 MP photos" --large
fi

#~ stages
echo
echo "Stages: megapixels of each stage's input per CPU second (4000x3000 source, 1920x1080 outputs)"
"$build/bench_stages" --benchmark_min_time="$min_time"
