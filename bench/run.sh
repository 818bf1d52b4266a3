#!/usr/bin/env bash
# `make bench`: the converter drains generated corpora end to end, phone photos against the same
# pictures untagged, HEIC, WebP, TIFF, GIF, JPEG XL and DNG sources and WebP and AVIF targets
# against a libvips peer, many small files against a Pillow peer, how it idles beside files it
# refuses, two instances draining one shared folder (local, through sshfs, and on a GlusterFS
# volume of its own) against one and one of two killed part-way on GlusterFS, how long a photo
# dropped into a watched folder takes until its metadata is in place, then per-stage timings.
#
#   QUICK=1       small corpora and short stage timings (a couple of minutes once built)
#   ONLY=many     only the many-files and idle sections; ONLY=idle: only the idle section;
#                 ONLY=photos: only the big-photo corpus and the 20-megapixel run;
#                 ONLY=phone: only the phone photos, tagged against untagged;
#                 ONLY=formats: only the HEIC, WebP, TIFF, GIF, JPEG XL, DNG, photos-webp and
#                 photos-avif sets against libvips;
#                 ONLY=shared: only one instance against two on the same folders, and the
#                 takeover of a killed one on GlusterFS;
#                 ONLY=latency: only the photos dropped one at a time into a watched folder
#   SETS="jxl dng" only these of the formats sets (to rerun a figure)
#   PHONE_RUNS    how many times each phone set is drained (default 3)
#   VANTOR=<exe>  run this converter instead of $BUILD/vantor (to compare with a baseline)
#   BUILD         build folder (default build), configured RelWithDebInfo
#   JOBS          parallel build jobs (default 2)
#
# Every corpus is generated once into $BUILD/bench-<set>[-quick] and reused while its stamp
# matches the generator's version. Each run copies it into a fresh temporary input folder.
# A run that does not drain, does not end by itself or crashes stops the bench with a
# failure; a goal that is missed is only reported.
set -euo pipefail

# VANTOR is taken from where make was called, before moving to the top folder.
vantor_override=""
if [ -n "${VANTOR:-}" ]; then
  vantor_override="$(realpath "$VANTOR")"
fi
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
build="${BUILD:-build}"
jobs="${JOBS:-2}"
quick="${QUICK:-0}"
[ "$quick" = "0" ] && quick=""
only="${ONLY:-}"
case "$only" in
  "" | many | idle | photos | phone | formats | shared | latency) ;;
  *) echo "bench: ONLY is many, idle, photos, phone, formats, shared or latency, not \"$only\"" >&2; exit 2 ;;
esac
formats_sets="${SETS:-heic webp tiff gif jxl dng photos-webp photos-avif}"
for set in $formats_sets; do
  case " heic webp tiff gif jxl dng photos-webp photos-avif " in
    *" $set "*) ;;
    *) echo "bench: SETS names formats sets (heic webp tiff gif jxl dng photos-webp photos-avif), not \"$set\"" >&2
       exit 2 ;;
  esac
done
phone_runs="${PHONE_RUNS:-3}"
case "$phone_runs" in
  "" | *[!0-9]* | 0) echo "bench: PHONE_RUNS is a count of runs, not \"$phone_runs\"" >&2; exit 2 ;;
esac
# Pillow is the system's: a python3 of its own on PATH may not have it.
python=/usr/bin/python3

if [ -n "$quick" ]; then
  corpus="$build/bench-corpus-quick"
  corpus_flags=(--quick)
  set_flags=(--quick)
  set_suffix="-quick"
  min_time=0.05
  time_limit=600
  label="quick corpus"
else
  corpus="$build/bench-corpus"
  corpus_flags=()
  set_flags=()
  set_suffix=""
  min_time=0.5
  time_limit=3600
  label="full corpus"
fi
threads=2
vantor="${vantor_override:-$build/vantor}"

#~ build
# Quiet unless it fails: the tables are what this prints.
echo "bench: building vantor, bench_corpus, bench_stages and vips_peer in $build (RelWithDebInfo)"
mkdir -p "$build"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       env -u MAKEFLAGS -u MAKELEVEL cmake --build "$build" -j "$jobs" --target vantor bench_corpus bench_stages \
         vips_peer; } \
     >"$build/bench-build.log" 2>&1; then
  cat "$build/bench-build.log" >&2
  echo "bench: the build failed" >&2
  exit 1
fi
if [ ! -x "$vantor" ]; then
  echo "bench: $vantor is not an executable" >&2
  exit 1
fi
[ -n "$vantor_override" ] && echo "bench: running $vantor"

#~ temporary folders and processes
# Whatever is still running when the bench ends (finished, failed or interrupted) is killed,
# the sshfs folders are unmounted and the private sshd stopped, the GlusterFS volume taken down,
# and only then every temporary folder removed (removing a folder that is still mounted would go
# through to the files behind).
works=()
watch_pid=""
instance_pids=()
instance_wrap=()
mounts=()
fusermount=""
sshd_pid=""
gluster_folders=()

# stop_instances: the shared-folder section's converters that still run are killed.
stop_instances() {
  local p
  for p in "${instance_pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  instance_pids=()
}

# unmount_all: every sshfs folder is unmounted, which ends its sshfs; a folder still busy is
# detached at once and let go when its last file closes.
unmount_all() {
  local m
  for m in "${mounts[@]}"; do
    "$fusermount" -u "$m" 2>/dev/null || "$fusermount" -u -z "$m" 2>/dev/null || true
  done
  mounts=()
}

# stop_sshd: the private sshd ends; its sessions have ended with the mounts.
stop_sshd() {
  if [ -n "$sshd_pid" ]; then
    kill -TERM "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
    sshd_pid=""
  fi
}

cleanup() {
  if [ -n "$watch_pid" ] && kill -0 "$watch_pid" 2>/dev/null; then
    kill -KILL "$watch_pid" 2>/dev/null || true
  fi
  disk_load_stop
  stop_instances
  unmount_all
  stop_sshd
  gluster_down
  local w
  for w in "${works[@]}"; do rm -rf "$w"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# new_work: a fresh temporary folder in $work, removed at the end.
new_work() {
  work="$(mktemp -d "${TMPDIR:-/tmp}/vantor-bench.XXXXXX")"
  works+=("$work")
}

# corpus_copy <corpus> <folder>: the corpus's pictures, sub-folders and all, without its stamp.
corpus_copy() {
  mkdir -p "$2"
  cp -r "$1"/. "$2"/
  rm -f "$2/.corpus-stamp"
}

# corpus_count <folder>: sets files and pixels; the folder may be a symbolic link (to another
# build's corpus). The generator names every file <n>_<kind>_<width>x<height>.<ext>.
corpus_count() {
  read -r files pixels < <(find "$1"/ -type f ! -name .corpus-stamp -printf '%f\n' | awk '{
    n += 1
    if (match($0, /_[0-9]+x[0-9]+\.[a-z]+$/)) {
      split(substr($0, RSTART + 1, RLENGTH - 1), wh, /[x.]/)
      p += wh[1] * wh[2]
    }
  } END { print n + 0, p + 0 }')
}

# left_in <folder>: how many files are still in it.
left_in() { find "$1" -type f | wc -l; }

# run_failed <what>: reports a broken run with the end of its console (of each instance's, when
# several ran) and stops the bench.
run_failed() {
  echo
  echo "bench: $1" >&2
  echo "--- last lines of the console:" >&2
  tail -n 20 "$work"/console*.txt >&2
  exit 1
}

#~ timed runs
# timed_child <time's pid>: prints the pid of the command /usr/bin/time started (nothing when
# it has already ended).
timed_child() {
  local pid=""
  for _ in $(seq 1 100); do
    pid="$(ps -o pid= --ppid "$1" 2>/dev/null | tr -d ' ' || true)"
    [ -n "$pid" ] && break
    kill -0 "$1" 2>/dev/null || break
    sleep 0.05
  done
  echo "$pid"
}

# timed_run <input folder> <command...>: runs the command under /usr/bin/time -v, with its
# report in $work/time.txt and its console in $work/console.txt, until it ends by itself.
# It is stopped when it runs past the limit, or when the input folder has been empty for a
# long while without it ending (a converter without -drain never ends); `failure` then says
# why, and is empty after a clean run.
timed_run() {
  local input="$1"
  shift
  /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/console.txt" 2>&1 &
  local timer_pid=$!
  watch_pid="$(timed_child "$timer_pid")"

  failure=""
  local started=$SECONDS empty_since=""
  while kill -0 "$timer_pid" 2>/dev/null; do
    if [ $((SECONDS - started)) -ge "$time_limit" ]; then
      failure="still running after ${time_limit} s"
    elif [ -z "$(find "$input" -type f -print -quit 2>/dev/null)" ]; then
      empty_since="${empty_since:-$SECONDS}"
      if [ $((SECONDS - empty_since)) -ge 30 ]; then
        failure="the input folder drained but the program did not end within 30 s (no -drain?)"
      fi
    fi
    if [ -n "$failure" ]; then
      [ -n "$watch_pid" ] && kill -TERM "$watch_pid" 2>/dev/null || true
      break
    fi
    sleep 0.2
  done
  local status=0
  wait "$timer_pid" || status=$?
  watch_pid=""
  if [ -z "$failure" ] && [ "$status" -ne 0 ]; then
    failure="exit status $status"
  fi
}

# time_measures [report]: wall, user, system (seconds) and rss_kb from the report of
# /usr/bin/time -v (default $work/time.txt).
time_measures() {
  local report="${1:-$work/time.txt}"
  field() { sed -n "s/^[[:space:]]*$1: //p" "$report" | head -n 1; }
  local wall_text
  wall_text="$(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)')"
  user="$(field 'User time (seconds)')"
  system="$(field 'System time (seconds)')"
  rss_kb="$(field 'Maximum resident set size (kbytes)')"
  wall=$(echo "$wall_text" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
}

# drain_vantor <options...>: vantor -drain -thread=2 on $work/in, out and metadatas; it must
# end by itself and say so.
drain_vantor() {
  mkdir -p "$work/in" "$work/out" "$work/metadatas"
  timed_run "$work/in" "$vantor" -drain -in="$work/in" -out="$work/out" -metadatas="$work/metadatas" \
    -thread="$threads" "$@"
  if [ -z "$failure" ] && ! grep -q '^\[Vantor\] ended\.$' "$work/console.txt"; then
    failure="no \"[Vantor] ended.\" line"
  fi
}

#~ end to end, default targets
# run_corpus <corpus folder> <label> <generator flags...>
run_corpus() {
  local corpus="$1" label="$2"
  shift 2
  "$build/bench_corpus" "$@" "$corpus"
  new_work
  corpus_copy "$corpus" "$work/in"
  corpus_count "$work/in"

  echo "vantor: draining $files files from $work/in (-thread=$threads, default targets)"
  drain_vantor

  #- measures
  local left written outputs records
  left=$(left_in "$work/in")
  written=$(find "$work/out" "$work/metadatas" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  outputs=$(find "$work/out" -type f | wc -l)
  records=$(find "$work/metadatas" -type f | wc -l)
  time_measures

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
    run_failed "the end-to-end run failed: ${failure:-$left files left in the input folder}"
  fi
  rm -rf "$work"
}

#~ phone photos
# What a phone's photo asks for beyond its pixels (turning it upright, converting its colours
# to sRGB) against the same pictures without their Exif and ICC segments. The sets are drained
# in turn, tagged then untagged, so that the machine's drift falls on both alike, and each
# column reports the median of a set's runs. Another program on the machine only ever adds
# wall time, so the ratios of the fastest runs are printed beside those of the medians.

# phone_drain <set> <corpus>: vantor drains a fresh copy; its measures go to $phone_rows.
phone_drain() {
  local set="$1" corpus="$2" left
  new_work
  corpus_copy "$corpus" "$work/in"
  drain_vantor
  left=$(left_in "$work/in")
  if [ -n "$failure" ] || [ "$left" -ne 0 ]; then
    run_failed "the $set phone set failed: ${failure:-$left files left in the input folder}"
  fi
  time_measures
  echo "$set $wall $user $system $rss_kb" >>"$phone_rows"
  awk -v set="$set" -v wall="$wall" -v user="$user" -v sys="$system" 'BEGIN {
    printf "  %-8s %6.2f s wall, %6.2f CPU s\n", set, wall, user + sys
  }'
  rm -rf "$work"
}

run_phone() {
  local tagged="$build/bench-phone$set_suffix" untagged="$build/bench-phone-untagged$set_suffix" run
  "$build/bench_corpus" "${set_flags[@]}" --phone "$tagged"
  "$build/bench_corpus" "${set_flags[@]}" --phone-untagged "$untagged"
  # both sets hold the same pictures under the same sizes
  corpus_count "$tagged"
  phone_rows="$target_work/phone.txt"
  : >"$phone_rows"
  echo "vantor: draining the tagged and the untagged phone sets, $files files each, $phone_runs times each" \
       "(-thread=$threads, default targets)"
  for run in $(seq 1 "$phone_runs"); do
    phone_drain tagged "$tagged"
    phone_drain untagged "$untagged"
  done

  echo
  echo "Phone photos: vantor -drain -thread=$threads, default targets, median of $phone_runs runs of each set"
  awk -v files="$files" -v pixels="$pixels" '
  function sorted(list, v,    n, i, j, t) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++) {
      for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    }
    return n
  }
  function median(list,    v, n) {
    n = sorted(list, v)
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  function least(list,    v) {
    sorted(list, v)
    return v[1]
  }
  function ratio(a, b) { return a / (b > 0 ? b : 0.001) }
  { wall[$1] = wall[$1] " " $2; cpu[$1] = cpu[$1] " " ($3 + $4); rss[$1] = rss[$1] " " $5 }
  END {
    printf "%-9s %6s %11s %8s %8s %13s\n", "set", "files", "megapixels", "wall s", "CPU s", "peak RSS MiB"
    split("tagged untagged", sets, " ")
    for (s = 1; s <= 2; s++) {
      k = sets[s]
      w[k] = median(wall[k]); c[k] = median(cpu[k])
      printf "%-9s %6d %11.1f %8.2f %8.2f %13.1f\n", k, files, pixels / 1e6, w[k], c[k], median(rss[k]) / 1024
    }
    printf "tagged / untagged, medians:  CPU %.3f, wall %.3f\n", ratio(c["tagged"], c["untagged"]),
           ratio(w["tagged"], w["untagged"])
    printf "tagged / untagged, fastest:  CPU %.3f, wall %.3f\n", ratio(least(cpu["tagged"]), least(cpu["untagged"])),
           ratio(least(wall["tagged"]), least(wall["untagged"]))
  }' "$phone_rows"
  echo "(each column is the median of its own runs; CPU = user + system; fastest: each set's least CPU time and" \
       "least wall time, each taken on its own)"
  echo "goal: the turn and the colour conversion together under 5% of the conversion (CPU ratio below 1.05)"
}

#~ one small target
# The work both tools do in the many-files and idle sections: one 256x256 JPEG of quality 80,
# letterboxed on an opaque background.
new_work
target_work="$work"
targets="$target_work/targets.txt"
echo 'targets: [ { width: 256, height: 256, quality: 80, image_type: "JPEG", bg_color: 255 } ]' >"$targets"

#~ many files
drain_pillow() {
  timed_run "$work/in" "$python" bench/pillow_peer.py "$work/in" "$work/out"
}

# The disk kept busy beside a drain: another process writes a 256 MiB file on the same file
# system and syncs it, again and again, as a backup or a database would.
load_pid=""
disk_load_start() {
  local file="$1"
  ( while :; do dd if=/dev/zero of="$file" bs=1M count=256 conv=fsync status=none; done ) &
  load_pid=$!
}
disk_load_stop() {
  if [ -n "$load_pid" ]; then
    kill -TERM "$load_pid" 2>/dev/null || true
    wait "$load_pid" 2>/dev/null || true
    pkill -TERM -f "of=$load_file" 2>/dev/null || true
    load_pid=""
    rm -f "$load_file"
  fi
}

# many_tool <set> <row name> <who, for a failure> <note> <drain command...>: the tool drains a
# fresh copy of $corpus, beside the disk load when $loaded is 1; its line goes to $many_rows.
many_tool() {
  local set="$1" row="$2" who="$3" note="$4" left
  shift 4
  new_work
  corpus_copy "$corpus" "$work/in"
  echo "$note"
  if [ "${loaded:-0}" -eq 1 ]; then
    load_file="$work/load.bin"
    disk_load_start "$load_file"
  fi
  "$@"
  disk_load_stop
  left=$(left_in "$work/in")
  if [ -n "$failure" ] || [ "$left" -ne 0 ]; then
    run_failed "$who on the $set set failed: ${failure:-$left files left in the input folder}"
  fi
  time_measures
  echo "$set $row $files $wall $user $system $rss_kb" >>"$many_rows"
  rm -rf "$work"
}

# many_set <set> [loaded]: vantor and the Pillow peer each drain a fresh copy of the set; with
# "loaded", each while the disk is kept busy, three times in turn (once with QUICK=1), as how a
# drain meets the other writer's flushes varies a lot from one run to the next; the rows are
# named <set>-load, and the summary takes each tool's median run.
many_set() {
  local set="$1" corpus="$build/bench-$1$set_suffix" row="$1" loaded=0 beside="" runs=1 run
  if [ "${2:-}" = loaded ]; then
    loaded=1 row="$1-load" beside=", beside a process writing and syncing a 256 MiB file in a loop"
    [ "$quick" = 1 ] || runs=3
  fi
  "$build/bench_corpus" "${set_flags[@]}" "--$set" "$corpus"
  corpus_count "$corpus"
  for ((run = 1; run <= runs; run++)); do
    many_tool "$row" vantor vantor \
      "vantor: draining the $set set, $files files (-thread=$threads, one 256x256 target)$beside" \
      drain_vantor -targets="$targets"
    many_tool "$row" pillow "the Pillow peer" "pillow: the same on a fresh copy (2 worker processes)$beside" \
      drain_pillow
  done
}

run_many() {
  many_rows="$target_work/many.txt"
  : >"$many_rows"
  many_set flood
  many_set backlog
  many_set backlog loaded

  echo
  echo "Many files: one 256x256 JPEG target, 2 workers; vantor -drain -thread=$threads against Pillow"
  # one row per set and tool, its median run by wall time when it ran more than once
  awk '{ key = $1 " " $2
         if (!(key in runs)) { order[++keys] = key; set[key] = $1; tool[key] = $2 }
         n = ++runs[key]; wall[key, n] = $4; line[key, n] = $0 }
  END {
    for (k = 1; k <= keys; k++) {
      key = order[k]; n = runs[key]
      for (i = 1; i <= n; i++) rank[i] = i
      for (i = 2; i <= n; i++)
        for (j = i; j > 1 && wall[key, rank[j - 1]] > wall[key, rank[j]]; j--) {
          t = rank[j]; rank[j] = rank[j - 1]; rank[j - 1] = t
        }
      median[key] = line[key, rank[int((n + 1) / 2)]]
      if (tool[key] == "pillow") { split(median[key], f, " "); pillow[set[key]] = f[4] }
    }
    printf "%-12s %-7s %7s %8s %9s %8s %13s %7s %5s\n", "set", "tool", "files", "wall s", "files/s", "CPU s",
           "peak RSS MiB", "ratio", "runs"
    for (k = 1; k <= keys; k++) {
      key = order[k]
      split(median[key], f, " ")
      w = f[4] > 0 ? f[4] : 0.001
      ratio = "-"
      if (tool[key] == "vantor" && pillow[set[key]] > 0) ratio = sprintf("%.2f", f[4] / pillow[set[key]])
      printf "%-12s %-7s %7d %8.2f %9.1f %8.2f %13.1f %7s %5d\n", f[1], f[2], f[3], f[4], f[3] / w, f[5] + f[6],
             f[7] / 1024, ratio, runs[key]
    }
  }' "$many_rows"
  echo "(ratio = wall vantor / wall Pillow; CPU = user + system, with Pillow's workers; Pillow's peak RSS is its" \
       "largest process; a set run more than once shows each tool's median run by wall time)"
  echo "goal: flood <= 1.3, backlog <= 0.8; backlog-load's ratio at most 20% above backlog's"
}

#~ idle
# The converter without -drain, beside a folder of files it refuses (-max_pixels): it should
# cost next to nothing while it waits, still see a new file at once, and not hold the refused
# files in memory.
refusal_deadline=300

proc_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
proc_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
now() { echo "$EPOCHREALTIME"; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# watch_vantor <max pixels>: vantor on $work/in without -drain, its pid in watch_pid.
watch_vantor() {
  mkdir -p "$work/in" "$work/out" "$work/metadatas"
  "$vantor" -in="$work/in" -out="$work/out" -metadatas="$work/metadatas" -thread="$threads" \
    -targets="$targets" -max_pixels="$1" >"$work/console.txt" 2>&1 &
  watch_pid=$!
}

# wait_refused <count>: waits until the console has said <count> files were too large; sets
# refused_s to the seconds it took, or to "timed out" after the deadline.
wait_refused() {
  local start refused
  start="$(now)"
  while :; do
    refused=$(grep -c '^Image is too large ' "$work/console.txt" || true)
    if [ "$refused" -ge "$1" ]; then
      refused_s="$(seconds_since "$start")"
      return
    fi
    kill -0 "$watch_pid" 2>/dev/null || run_failed "vantor ended while $refused of $1 files were refused"
    if [ "$(seconds_since "$start" | cut -d. -f1)" -ge "$refusal_deadline" ]; then
      refused_s="timed out"
      echo "vantor: $refused of $1 files refused after $refusal_deadline s; measuring anyway"
      return
    fi
    sleep 0.2
  done
}

# stop_vantor: it must still be running; SIGINT, then SIGKILL after 10 s.
stop_vantor() {
  kill -0 "$watch_pid" 2>/dev/null || run_failed "vantor ended by itself without -drain"
  kill -INT "$watch_pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$watch_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$watch_pid" 2>/dev/null || true
  wait "$watch_pid" 2>/dev/null || true
  watch_pid=""
}

run_idle() {
  local idle_rows="$target_work/idle.txt" corpus clk ticks0 ticks1 start elapsed cpu latency rss hwm
  : >"$idle_rows"
  clk=$(getconf CLK_TCK)

  #- backlog: idle CPU and a new file
  corpus="$build/bench-backlog$set_suffix"
  "$build/bench_corpus" "${set_flags[@]}" --backlog "$corpus"
  new_work
  corpus_copy "$corpus" "$work/in"
  corpus_count "$work/in"
  mkdir -p "$work/new"
  "$python" -c 'import random, sys
from PIL import Image
pixels = bytes(random.Random(32).randrange(256) for _ in range(32 * 32 * 3))
Image.frombytes("RGB", (32, 32), pixels).save(sys.argv[1])' "$work/new/new_32x32.png"
  echo "vantor: watching the backlog set, $files files, all refused (-max_pixels=3071)"
  watch_vantor 3071
  wait_refused "$files"

  start="$(now)"
  ticks0=$(proc_ticks "$watch_pid")
  sleep 20
  ticks1=$(proc_ticks "$watch_pid")
  elapsed="$(seconds_since "$start")"
  cpu=$(awk -v t="$((ticks1 - ticks0))" -v clk="$clk" -v s="$elapsed" 'BEGIN { printf "%.1f", 100 * t / clk / s }')

  start="$(now)"
  mv "$work/new/new_32x32.png" "$work/in/"
  latency="timed out"
  while [ "$(seconds_since "$start" | cut -d. -f1)" -lt 60 ]; do
    if [ -n "$(find "$work/out" -maxdepth 1 -name '*.jpg' ! -name '.*' -print -quit)" ]; then
      latency="$(seconds_since "$start")"
      break
    fi
    kill -0 "$watch_pid" 2>/dev/null || run_failed "vantor ended while converting the new file"
    sleep 0.05
  done
  rss=$(proc_kib "$watch_pid" VmRSS)
  hwm=$(proc_kib "$watch_pid" VmHWM)
  stop_vantor
  printf '%s|%s|%s|%s|%s|%s|%s\n' backlog "$files" "$refused_s" "$cpu" "$latency" "$rss" "$hwm" >>"$idle_rows"
  rm -rf "$work"

  #- stuck: memory beside large refused files
  corpus="$build/bench-stuck$set_suffix"
  "$build/bench_corpus" "${set_flags[@]}" --stuck "$corpus"
  new_work
  corpus_copy "$corpus" "$work/in"
  corpus_count "$work/in"
  echo "vantor: watching the stuck set, $files files, all refused (-max_pixels=1000000)"
  watch_vantor 1000000
  wait_refused "$files"
  sleep 3
  rss=$(proc_kib "$watch_pid" VmRSS)
  hwm=$(proc_kib "$watch_pid" VmHWM)
  stop_vantor
  printf '%s|%s|%s|%s|%s|%s|%s\n' stuck "$files" "$refused_s" - - "$rss" "$hwm" >>"$idle_rows"
  rm -rf "$work"

  echo
  echo "Idle: vantor -thread=$threads without -drain, one 256x256 JPEG target, every file refused by -max_pixels"
  awk -F'|' 'BEGIN { printf "%-8s %7s %14s %11s %11s %10s %10s\n", "set", "files", "all refused s", "idle CPU %",
                 "new file s", "VmRSS MiB", "VmHWM MiB" }
  { printf "%-8s %7d %14s %11s %11s %10.1f %10.1f\n", $1, $2, $3, $4, $5, $6 / 1024, $7 / 1024 }' "$idle_rows"
  echo "(idle CPU over 20 s once every file was refused; new file: a 32x32 PNG moved in, until its JPEG is in the output folder)"
  echo "goal: idle CPU <= 5% of a core, new file converted within 3 s; stuck RSS <= 64 MiB"
}

#~ formats
# HEIC, WebP, TIFF, GIF, JPEG XL and camera raw (DNG) sources with the default targets, and the
# photo corpus made into WebP and into AVIF targets of the default targets' sizes and qualities.
# SETS picks some of them. Each set is drained by vantor and then by bench/vips_peer.cpp, which
# does the same work with libvips (one full decode per source, the three resized outputs in the
# same formats and qualities, the source copied and deleted), each on a fresh copy, so the ratios
# compare two runs made minutes apart.

formats_targets() {
  local type="$1"
  printf 'targets: [\n'
  printf '  { width: 100, height: 100, quality: 60, image_type: "%s", resampling_filter: "MITCHELL" },\n' "$type"
  printf '  { width: 300, height: 300, quality: 60, image_type: "%s", resampling_filter: "MITCHELL" },\n' "$type"
  printf '  { width: 1920, height: 1080, quality: 80, image_type: "%s", resampling_filter: "MITCHELL" }\n' "$type"
  printf ']\n'
}

drain_vips() {
  timed_run "$work/in" "$build/vips_peer" "$@" "$work/in" "$work/out"
}

# formats_tool <set> <tool> <corpus> <drain command...>: the tool drains a fresh copy of the
# corpus; its measures go to $formats_rows. Every source must have been converted (not set
# aside as unsupported or left in place) into its copy and three outputs, and the peer must
# have decoded every pixel of every source (no shrink-on-load).
formats_tool() {
  local set="$1" tool="$2" corpus="$3" left outputs done_count decoded
  shift 3
  new_work
  corpus_copy "$corpus" "$work/in"
  "$@"
  left=$(left_in "$work/in")
  if [ -n "$failure" ] || [ "$left" -ne 0 ]; then
    run_failed "$tool on the $set set failed: ${failure:-$left files left in the input folder}"
  fi
  outputs=$(find "$work/out" -maxdepth 1 -type f ! -name '.*' | wc -l)
  if [ "$tool" = vantor ]; then
    done_count=$(sed -n 's/^\[Vantor\] drained in .*: \([0-9]*\) converted, .*/\1/p' "$work/console.txt" | tail -n 1)
    if [ "${done_count:-0}" -ne "$files" ] || [ -e "$work/out/unsupported" ]; then
      run_failed "vantor converted ${done_count:-0} of the $files files of the $set set"
    fi
  else
    read -r done_count decoded < <(sed -n 's/^vips: \([0-9]*\) of [0-9]* files converted, \([0-9]*\) pixels decoded$/\1 \2/p' \
                                     "$work/console.txt")
    if [ "${done_count:-0}" -ne "$files" ] || [ "${decoded:-0}" -ne "$pixels" ]; then
      run_failed "the libvips peer converted ${done_count:-0} of the $files files of the $set set and decoded" \
                 "${decoded:-0} of their $pixels pixels"
    fi
  fi
  if [ "$outputs" -ne $((4 * files)) ]; then
    run_failed "$tool wrote $outputs files for the $files sources of the $set set, not $((4 * files))"
  fi
  time_measures
  echo "$set $tool $files $pixels $wall $user $system $rss_kb" >>"$formats_rows"
  awk -v set="$set" -v tool="$tool" -v wall="$wall" -v user="$user" -v sys="$system" 'BEGIN {
    printf "  %-12s %-7s %7.2f s wall, %7.2f CPU s\n", set, tool, wall, user + sys
  }'
  rm -rf "$work"
}

# formats_set <set> <corpus> <what> <peer type> [vantor options...]: peer type RAW is the
# default targets' types from camera raw sources, which the peer develops with LibRaw
formats_set() {
  local set="$1" corpus="$2" what="$3" type="$4" peer_option
  shift 4
  peer_option="--type=$type"
  [ "$type" = RAW ] && peer_option=--raw
  corpus_count "$corpus"
  echo "vantor, then libvips: the $set set, $files files, $what"
  formats_tool "$set" vantor "$corpus" drain_vantor "$@"
  formats_tool "$set" vips "$corpus" drain_vips "$peer_option"
}

formats_wanted() {
  case " $formats_sets " in *" $1 "*) return 0 ;; *) return 1 ;; esac
}

run_formats() {
  local heic="$build/bench-heic$set_suffix" webp="$build/bench-webp$set_suffix"
  local tiff="$build/bench-tiff$set_suffix" gif="$build/bench-gif$set_suffix" jxl="$build/bench-jxl$set_suffix"
  local dng="$build/bench-dng$set_suffix"
  local webp_targets="$target_work/webp-targets.txt" avif_targets="$target_work/avif-targets.txt"
  formats_rows="$target_work/formats.txt"
  : >"$formats_rows"
  local photos_set=""
  case " $formats_sets " in *" photos-"*) photos_set=1 ;; esac
  if formats_wanted heic; then
    [ -f "$heic/.corpus-stamp" ] || echo "corpus: encoding the HEIC photos with x265 (a few minutes, once)"
    "$build/bench_corpus" "${set_flags[@]}" --heic "$heic"
  fi
  formats_wanted webp && "$build/bench_corpus" "${set_flags[@]}" --webp "$webp"
  formats_wanted tiff && "$build/bench_corpus" "${set_flags[@]}" --tiff "$tiff"
  formats_wanted gif && "$build/bench_corpus" "${set_flags[@]}" --gif "$gif"
  formats_wanted jxl && "$build/bench_corpus" "${set_flags[@]}" --jxl "$jxl"
  formats_wanted dng && "$build/bench_corpus" "${set_flags[@]}" --dng "$dng"
  [ -n "$photos_set" ] && "$build/bench_corpus" "${corpus_flags[@]}" "$corpus"
  formats_targets WEBP >"$webp_targets"
  formats_targets AVIF >"$avif_targets"

  formats_wanted heic && formats_set heic "$heic" "default targets" JPEG
  formats_wanted webp && formats_set webp "$webp" "default targets" JPEG
  formats_wanted tiff && formats_set tiff "$tiff" "default targets" JPEG
  formats_wanted gif && formats_set gif "$gif" "default targets" JPEG
  formats_wanted jxl && formats_set jxl "$jxl" "default targets" JPEG
  formats_wanted dng && formats_set dng "$dng" "default targets" RAW
  formats_wanted photos-webp && formats_set photos-webp "$corpus" "the $label, WebP targets" WEBP -targets="$webp_targets"
  formats_wanted photos-avif && formats_set photos-avif "$corpus" "the $label, AVIF targets" AVIF -targets="$avif_targets"
  echo
  echo "Formats: vantor -drain -thread=$threads against libvips (bench/vips_peer, 2 workers), the same outputs"
  awk 'function ratio(a, b) { return sprintf("%.2f", a / (b > 0 ? b : 0.001)) }
  { set[NR] = $1; tool[NR] = $2; files[NR] = $3; mp[NR] = $4 / 1e6; wall[NR] = $5; cpu[NR] = $6 + $7; rss[NR] = $8
    if ($2 == "vips") { vips_wall[$1] = $5; vips_cpu[$1] = $6 + $7 } }
  END {
    printf "%-12s %-7s %6s %11s %8s %8s %13s %10s %11s\n", "set", "tool", "files", "megapixels", "wall s", "CPU s",
           "peak RSS MiB", "CPU ratio", "wall ratio"
    for (i = 1; i <= NR; i++) {
      cr = "-"; wr = "-"
      if (tool[i] == "vantor" && set[i] in vips_wall) {
        cr = ratio(cpu[i], vips_cpu[set[i]]); wr = ratio(wall[i], vips_wall[set[i]])
        vantor_cpu[set[i]] = cpu[i]
      }
      printf "%-12s %-7s %6d %11.1f %8.2f %8.2f %13.1f %10s %11s\n", set[i], tool[i], files[i], mp[i], wall[i],
             cpu[i], rss[i] / 1024, cr, wr
    }
    printf "(ratio = vantor / libvips, each set drained by both in turn; CPU = user + system)\n"
    printf "goal: vantor at most 1.0x the CPU of libvips on every set\n"
    for (i = 1; i <= NR; i++) {
      k = set[i]
      if (tool[i] != "vantor" || !(k in vips_cpu)) continue
      c = vantor_cpu[k] / (vips_cpu[k] > 0 ? vips_cpu[k] : 0.001)
      printf "  %s: CPU %.2f %s\n", k, c, (c <= 1.0 ? "met" : "missed")
    }
  }' "$formats_rows"
}

#~ several instances on one shared folder
# Two converters drain one folder together (the same -in, -out and -metadatas, one worker each)
# against one converter alone: on a local folder, on the same folders reached through sshfs, as
# another machine sees a shared network folder, and on a GlusterFS volume of two replicated
# bricks that each instance reaches through a mount of its own from a pid namespace of its own.
# The instances divide the sources between them through claim files kept in <in>/.vantor; a
# build that does not is measured all the same, and what its instances convert twice or fail to
# write is reported, not a failure. On GlusterFS, one of two instances is also killed part-way,
# and the time until its claims are taken over is measured.

# An instance may still be settling its claims when the input has drained.
shared_idle_limit=60

# pictures_left <input folder>: its files, the claim bookkeeping (.vantor) left out; counted
# while instances drain it too, when a file may go between its listing and its look.
pictures_left() { { find "$1" -path "$1/.vantor" -prune -o -type f -print 2>/dev/null || true; } | wc -l; }

# shared_reset: a case starts: no instance started yet, its clock at 0, instances run directly
# (the GlusterFS runs then put unshare in instance_wrap, for a pid namespace of their own).
shared_reset() {
  shared_t0="$EPOCHREALTIME"
  shared_timers=()
  shared_starts=()
  instance_wrap=()
}

# shared_start <root>...: one vantor -drain -thread=1 per root on <root>/in, out and metadatas,
# all started at once, each under /usr/bin/time -v (report in $work/time-<n>.txt, console in
# $work/console-<n>.txt, n counting the case's instances from 1) through $instance_wrap; the
# pid of what time runs goes to instance_pids.
shared_start() {
  local root first=${#shared_timers[@]} n i
  for root in "$@"; do
    n=$((${#shared_timers[@]} + 1))
    shared_starts+=("$EPOCHREALTIME")
    /usr/bin/time -v -o "$work/time-$n.txt" "${instance_wrap[@]}" "$vantor" -drain -thread=1 -in="$root/in" \
      -out="$root/out" -metadatas="$root/metadatas" -targets="$targets" >"$work/console-$n.txt" 2>&1 &
    shared_timers+=($!)
  done
  for i in "${shared_timers[@]:$first}"; do instance_pids+=("$(timed_child "$i")"); done
}

# shared_running: whether one of the case's instances still runs.
shared_running() {
  local i
  for i in "${shared_timers[@]}"; do
    if kill -0 "$i" 2>/dev/null; then return 0; fi
  done
  return 1
}

# shared_wait <input folder>: until every instance of the case has ended by itself; <input
# folder> is the input as it lies on this machine. Sets wall (from the case's start until the
# last one ended), statuses (one exit status per instance) and failure, as timed_run does.
shared_wait() {
  local input="$1" i
  failure=""
  local started=$SECONDS empty_since=""
  while shared_running; do
    if [ $((SECONDS - started)) -ge "$time_limit" ]; then
      failure="still running after ${time_limit} s"
    elif [ -z "$(find "$input" -path "$input/.vantor" -prune -o -type f -print -quit 2>/dev/null)" ]; then
      empty_since="${empty_since:-$SECONDS}"
      if [ $((SECONDS - empty_since)) -ge "$shared_idle_limit" ]; then
        failure="the input folder drained but an instance did not end within $shared_idle_limit s"
      fi
    fi
    if [ -n "$failure" ]; then
      stop_instances
      break
    fi
    sleep 0.2
  done
  statuses=()
  local status last=0
  for i in "${!shared_timers[@]}"; do
    status=0
    wait "${shared_timers[$i]}" || status=$?
    statuses+=("$status")
    time_measures "$work/time-$((i + 1)).txt"
    last=$(awk -v last="$last" -v start="${shared_starts[$i]}" -v t0="$shared_t0" -v wall="$wall" 'BEGIN {
      end = start - t0 + wall
      print (end > last ? end : last)
    }')
  done
  instance_pids=()
  wall="$last"
}

# shared_drain <input folder> <root>...: one instance per root, started at once, until every
# one has ended (shared_start, then shared_wait).
shared_drain() {
  local input="$1"
  shift
  shared_start "$@"
  shared_wait "$input"
}

# shared_checks <folder>: what the case left in <folder>'s in, out and metadatas and said on the
# consoles: left (pictures in the input), records (metadata files), temporaries (.vantor-*.tmp
# anywhere) and unable (lines saying a source could not be deleted: another instance had
# deleted it, so it was converted twice).
shared_checks() {
  left=$(pictures_left "$1/in")
  records=$(find "$1/metadatas" -type f -name '*.metadatas' | wc -l)
  temporaries=$(find "$1/in" "$1/out" "$1/metadatas" -name '.vantor-*.tmp' | wc -l)
  unable=$(cat "$work"/console-*.txt | grep -c '^Unable to delete ' || true)
}

# converted_by <n>: what instance n's drain summary says it converted (empty without one).
converted_by() {
  sed -n 's/^\[Vantor\] drained in .*: \([0-9]*\) converted, .*/\1/p' "$work/console-$1.txt" | tail -n 1
}

# instance_summed <who> <n>: instance n (of $statuses) must have ended with 0 or 3 and printed
# its drain summary, or the bench stops; what it converted is added to $sum.
instance_summed() {
  local status="${statuses[$(($2 - 1))]}" converted
  if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then
    run_failed "$1: instance $2 ended with exit status $status"
  fi
  converted=$(converted_by "$2")
  [ -n "$converted" ] || run_failed "$1: instance $2 printed no drain summary"
  sum=$((sum + converted))
}

# fuse_setup: a private sshd on a free loopback port, for root with a key of its own, everything
# in $sshd_dir; then one folder mounted through it to see that sshfs works here. Sets fuse_skip
# to why the sshfs half cannot run, or leaves it empty.
fuse_setup() {
  fuse_skip=""
  fusermount="$(command -v fusermount3 || command -v fusermount || true)"
  if [ "$(id -u)" -ne 0 ]; then
    fuse_skip="the private sshd needs root"
  elif [ ! -c /dev/fuse ] || [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then
    fuse_skip="/dev/fuse cannot be used"
  elif ! command -v sshfs >/dev/null || [ -z "$fusermount" ] || [ ! -x /usr/sbin/sshd ]; then
    fuse_skip="sshfs, fusermount or /usr/sbin/sshd is missing (scripts/deps --bench installs them)"
  fi
  [ -z "$fuse_skip" ] || return 0

  sshd_dir="$target_work/sshd"
  mkdir -p "$sshd_dir/probe/real"
  ssh-keygen -q -t ed25519 -N '' -C '' -f "$sshd_dir/host_key"
  ssh-keygen -q -t ed25519 -N '' -C '' -f "$sshd_dir/client_key"
  cp "$sshd_dir/client_key.pub" "$sshd_dir/authorized_keys"
  # The system's configuration is not read (-f). StrictModes is off: it refuses keys below a
  # world-writable folder, and the temporary folder lies under /tmp.
  cat >"$sshd_dir/sshd_config" <<CONF
ListenAddress 127.0.0.1
HostKey $sshd_dir/host_key
PidFile $sshd_dir/sshd.pid
AuthorizedKeysFile $sshd_dir/authorized_keys
StrictModes no
PermitRootLogin prohibit-password
AuthenticationMethods publickey
UsePAM no
Subsystem sftp internal-sftp
CONF
  # sshd wants its privilege separation folder, which the system's service would make at start
  mkdir -p /run/sshd

  # a port that is taken makes sshd end at once: another is tried
  local try
  for try in 1 2 3 4 5; do
    sshd_port=$((30000 + RANDOM % 30000))
    /usr/sbin/sshd -D -f "$sshd_dir/sshd_config" -p "$sshd_port" -E "$sshd_dir/sshd.log" \
      </dev/null >/dev/null 2>>"$sshd_dir/sshd.log" &
    sshd_pid=$!
    for _ in $(seq 1 100); do
      sshd_listening && break
      kill -0 "$sshd_pid" 2>/dev/null || break
      sleep 0.1
    done
    sshd_listening && break
    stop_sshd
  done
  if [ -z "$sshd_pid" ]; then
    fuse_skip="the private sshd did not start: $(tail -n 1 "$sshd_dir/sshd.log" 2>/dev/null)"
    return 0
  fi
  if ! sshfs_mount "$sshd_dir/probe/real" "$sshd_dir/probe/mount"; then
    fuse_skip="sshfs could not mount a folder: $(tail -n 1 "$sshd_dir/sshfs.log")"
    stop_sshd
  fi
  unmount_all
}

# sshd_listening: whether the private sshd says it listens on $sshd_port (its log's lines end
# in CR LF).
sshd_listening() { grep -q "^Server listening on 127\.0\.0\.1 port $sshd_port\." "$sshd_dir/sshd.log" 2>/dev/null; }

# sshfs_mount <folder> <mount point>: the folder through sshfs and the private sshd. Each
# instance mounts it on its own, so it has its own SFTP connection and its own kernel caches,
# as each machine would. Nothing is cached for long, so that an instance sees another's new
# and removed files as soon as a network folder shared by several machines shows them:
# dir_cache=no turns off sshfs's own cache of listings and attributes (20 s by default), and
# attr_timeout=0 and entry_timeout=0 the kernel's of attributes and names (1 s by default);
# negative_timeout=0 (the default, said anyway) keeps no name as missing. Contents are read
# anew at each open (no kernel_cache).
sshfs_mount() {
  mkdir -p "$2"
  sshfs -F /dev/null -p "$sshd_port" \
    -o "IdentityFile=$sshd_dir/client_key,IdentitiesOnly=yes,BatchMode=yes,LogLevel=ERROR" \
    -o StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null \
    -o dir_cache=no,attr_timeout=0,entry_timeout=0,negative_timeout=0 \
    "root@127.0.0.1:$1" "$2" 2>"$sshd_dir/sshfs.log" || return 1
  mounts+=("$2")
}

# gluster_up: a fresh GlusterFS volume of its own in $work/gluster (scripts/glusterfs-volume),
# mounted at $gluster/mount-1 and mount-2; gluster_down or the clean-up takes it down. Returns
# 77 with why in gluster_skip when GlusterFS cannot be used here; another failure stops the bench.
gluster_up() {
  gluster="$work/gluster"
  gluster_folders+=("$gluster")
  local status=0
  "$top/scripts/glusterfs-volume" up "$gluster" 2>"$work/gluster-up.txt" || status=$?
  case "$status" in
    0) ;;
    77)
      gluster_skip="$(sed 's/^glusterfs-volume: //' "$work/gluster-up.txt" | tail -n 1)"
      gluster_folders=()
      return 77
      ;;
    *) run_failed "the GlusterFS volume did not come up: $(tail -n 1 "$work/gluster-up.txt")" ;;
  esac
}

# gluster_down: the volume's mounts, processes and folder go.
gluster_down() {
  local g
  for g in "${gluster_folders[@]}"; do
    "$top/scripts/glusterfs-volume" down "$g" || echo "bench: the GlusterFS volume in $g was not all taken down" >&2
  done
  gluster_folders=()
}

# shared_case <file system> <instances>: the instances drain a fresh copy of the flood set
# together: on its local folders, each through its own sshfs mount of them, or each on its own
# mount of a fresh GlusterFS volume (from a pid namespace of its own; one instance on the
# first mount); their line goes to $shared_rows. An instance that crashed or could not set up
# stops the bench, as does a picture left in the input folder; another exit status is only
# reported. When GlusterFS cannot be used here, the case only sets gluster_skip.
shared_case() {
  local fs="$1" count="$2" roots=() i sum=0 cpus="" wall_all data
  new_work
  shared_reset
  if [ "$fs" = glusterfs ]; then
    if ! gluster_up; then
      rm -rf "$work"
      return 0
    fi
    data="$gluster/mount-1"
    instance_wrap=(unshare --pid --fork --kill-child)
  else
    data="$work/shared"
  fi
  corpus_copy "$corpus" "$data/in"
  mkdir -p "$data/out" "$data/metadatas"
  for i in $(seq 1 "$count"); do
    if [ "$fs" = local ]; then
      roots+=("$data")
    elif [ "$fs" = glusterfs ]; then
      roots+=("$gluster/mount-$i")
    elif sshfs_mount "$data" "$work/mount-$i"; then
      roots+=("$work/mount-$i")
    else
      run_failed "sshfs could not mount the shared folder: $(tail -n 1 "$sshd_dir/sshfs.log")"
    fi
  done
  shared_drain "$data/in" "${roots[@]}"
  wall_all="$wall"
  unmount_all

  #- checks and measures
  local who="$count instance"
  [ "$count" -eq 1 ] || who+="s"
  who+=" on the $fs folder"
  [ -z "$failure" ] || run_failed "$who: $failure"
  for i in $(seq 1 "$count"); do
    instance_summed "$who" "$i"
    time_measures "$work/time-$i.txt"
    cpus="$cpus $(awk -v user="$user" -v sys="$system" 'BEGIN { printf "%.2f", user + sys }')"
  done
  shared_checks "$data"
  [ "$left" -eq 0 ] || run_failed "$who: $left pictures left in the input folder"
  [ "$fs" != glusterfs ] || gluster_down
  echo "$fs|$count|$files|$wall_all|${cpus# }|$sum|${statuses[*]}|$records|$temporaries|$unable" >>"$shared_rows"
  awk -v fs="$fs" -v n="$count" -v wall="$wall_all" -v sum="$sum" -v st="${statuses[*]}" -v records="$records" \
      -v temporaries="$temporaries" -v unable="$unable" 'BEGIN {
    printf "  %-9s %d instance%s %8.2f s wall, %5d converted, exit %s, %d records, %d temporaries, %d unable to delete\n",
           fs, n, (n > 1 ? "s" : " "), wall, sum, st, records, temporaries, unable
  }'
  rm -rf "$work"
}

# instance_id <pid>: the id of the instance that process runs, read from the heartbeat it holds
# open (the link may show the name the heartbeat was made under, <id>.new).
instance_id() {
  { find "/proc/$1/fd" -lname '*/.vantor/instances/*' -printf '%l\n' 2>/dev/null || true; } |
    sed -n 's#.*/\.vantor/instances/\([0-9a-f]\{16\}\).*#\1#p' | head -n 1
}

# shared_takeover: on a fresh GlusterFS volume, two instances drain a fresh copy of the flood
# set, one through each mount; once a third of the sources are gone, the second is killed with
# SIGKILL while it holds a claim (vantor is the first process of its pid namespace, so the
# namespace goes with it) and a third is started at once on its mount, in a new namespace. Takeover is the time from the
# kill until no claim file names the killed one as its claimer. Then the drains end, and
# nothing may be lost; the survivors' converted sum may be below the files (the killed one
# converted some). The line goes to $takeover_row.
shared_takeover() {
  local data claims i left_at gone vantor_pid killed_id kill_at held takeover="" started sum=0
  new_work
  shared_reset
  gluster_up || { rm -rf "$work"; return 0; }
  data="$gluster/mount-1"
  claims="$data/in/.vantor/claims"
  corpus_copy "$corpus" "$data/in"
  mkdir -p "$data/out" "$data/metadatas"
  instance_wrap=(unshare --pid --fork --kill-child)
  shared_start "$gluster/mount-1" "$gluster/mount-2"

  #- the kill, a third of the way
  while :; do
    left_at=$(pictures_left "$data/in")
    [ "$left_at" -gt $((files - files / 3)) ] || break
    shared_running || break
    sleep 0.5
  done
  gone=$((files - left_at))
  vantor_pid="$(ps -o pid= --ppid "${instance_pids[1]}" 2>/dev/null | tr -d ' ' || true)"
  [ -n "$vantor_pid" ] || run_failed "takeover: the second instance ended before a third of the sources were gone"
  killed_id="$(instance_id "$vantor_pid")"
  [ -n "$killed_id" ] || run_failed "takeover: the second instance holds no heartbeat open"
  # killed while it holds a claim, or there would be nothing to take over
  started=$SECONDS
  until grep -rqs "^vantor claim $killed_id " "$claims"; do
    [ $((SECONDS - started)) -lt 60 ] || run_failed "takeover: the second instance held no claim for 60 s"
    sleep 0.05
  done
  kill -KILL "$vantor_pid"
  kill_at="$(now)"
  shared_start "$gluster/mount-2"
  # (grep also fails on a claim that went while it read the folder)
  held=$({ grep -rls "^vantor claim $killed_id " "$claims" || true; } | wc -l)

  #- until no claim is the killed one's
  started=$SECONDS
  while grep -rqs "^vantor claim $killed_id " "$claims"; do
    if ! shared_running || [ $((SECONDS - started)) -ge "$time_limit" ]; then
      takeover="never"
      break
    fi
    sleep 0.2
  done
  [ -n "$takeover" ] || takeover="$(seconds_since "$kill_at")"
  echo "  takeover: instance $killed_id killed with $gone of $files sources gone, holding $held claims; taken" \
       "over $([ "$takeover" = never ] && echo never || echo "after $takeover s")"
  shared_wait "$data/in"

  #- checks
  [ -z "$failure" ] || run_failed "takeover: $failure"
  for i in 1 3; do instance_summed takeover "$i"; done
  shared_checks "$data"
  [ "$left" -eq 0 ] || run_failed "takeover: $left pictures left in the input folder"
  gluster_down
  echo "$files|$gone|$held|$takeover|$wall|$left|$records|$temporaries|$unable|$sum|${statuses[0]} ${statuses[2]}" \
    >"$takeover_row"
  rm -rf "$work"
}

run_shared() {
  local corpus="$build/bench-flood$set_suffix"
  shared_rows="$target_work/shared.txt"
  takeover_row="$target_work/takeover.txt"
  : >"$shared_rows"
  : >"$takeover_row"
  "$build/bench_corpus" "${set_flags[@]}" --flood "$corpus"
  corpus_count "$corpus"
  echo "vantor: the flood set, $files files, drained by one instance, then by two on the same folders" \
       "(-thread=1 each, one 256x256 target)"
  shared_case local 1
  shared_case local 2
  fuse_setup
  if [ -z "$fuse_skip" ]; then
    shared_case sshfs 1
    shared_case sshfs 2
    stop_sshd
  else
    echo "  sshfs: skipped, $fuse_skip"
  fi
  gluster_skip=""
  shared_case glusterfs 1
  if [ -z "$gluster_skip" ]; then
    shared_case glusterfs 2
    shared_takeover
  else
    echo "  glusterfs: skipped, $gluster_skip"
  fi

  echo
  echo "Shared folder: vantor -drain -thread=1, one instance against two on the same -in, -out and -metadatas"
  awk -F'|' '{ fs[NR] = $1; n[NR] = $2; files[NR] = $3; wall[NR] = $4; cpu[NR] = $5; sum[NR] = $6; st[NR] = $7
               records[NR] = $8; temps[NR] = $9; unable[NR] = $10
               if ($2 == 1) { one[$1] = $4; onecpu[$1] = $5 } }
  END {
    printf "%-6s %-11s %9s %6s %8s %12s %18s %13s %7s %5s %6s %6s  %s\n", "set", "file system", "instances", "files",
           "wall s", "ratio to one", "CPU s per instance", "converted sum", "records", "temps", "unable", "exit", "goal"
    for (i = 1; i <= NR; i++) {
      ratio = "-"; missed = ""
      if (n[i] > 1 && one[fs[i]] > 0) {
        r = wall[i] / one[fs[i]]
        ratio = sprintf("%.2f", r)
        if (r > (fs[i] == "glusterfs" ? 0.75 : 0.62)) missed = "wall"
        if (fs[i] == "local" && onecpu[fs[i]] > 0) {
          split(cpu[i], each, " "); total = 0
          for (k in each) total += each[k]
          if (total > 1.05 * onecpu[fs[i]]) missed = missed (missed == "" ? "" : ", ") "CPU"
        }
      }
      if (sum[i] != files[i]) missed = missed (missed == "" ? "" : ", ") "sum"
      if (records[i] != files[i]) missed = missed (missed == "" ? "" : ", ") "records"
      if (temps[i] > 0) missed = missed (missed == "" ? "" : ", ") "temps"
      if (unable[i] > 0) missed = missed (missed == "" ? "" : ", ") "unable"
      goal = missed != "" ? "missed: " missed : (n[i] > 1 ? "met" : "-")
      printf "%-6s %-11s %9d %6d %8.2f %12s %18s %13d %7d %5d %6d %6s  %s\n", "flood", fs[i], n[i], files[i], wall[i],
             ratio, cpu[i], sum[i], records[i], temps[i], unable[i], st[i], goal
    }
  }' "$shared_rows"
  echo "(wall: from the start until every instance ended; ratio = wall / the wall of one instance on the same file" \
       "system; CPU = user + system of each vantor, sshfs, sshd and GlusterFS not counted; converted sum: the" \
       "instances' drain summaries added up; records: metadata files; temps: .vantor-*.tmp files left in the input," \
       "output and metadata folders; unable: \"Unable to delete\" lines on the consoles, each a source another" \
       "instance had converted and deleted)"
  echo "goal: two instances <= 0.62x the wall of one (GlusterFS: 0.75x), locally <= 1.05x its CPU together;" \
       "converted sum == records == files; no" \
       "temporary and no \"Unable to delete\" line"

  if [ -s "$takeover_row" ]; then
    echo
    echo "Takeover on GlusterFS: two instances, one per mount; the second killed (SIGKILL, its pid namespace with it)" \
         "once a third of the sources were gone, and a third started at once on its mount"
    awk -F'|' '{
      printf "%-6s %6s %13s %13s %11s %8s %5s %8s %6s %7s %14s %6s  %s\n", "set", "files", "gone at kill",
             "claims held", "takeover s", "wall s", "left", "records", "temps", "unable", "converted sum", "exit", "goal"
      missed = ""
      if ($4 == "never" || $4 > 30) missed = "takeover"
      if ($7 != $1) missed = missed (missed == "" ? "" : ", ") "records"
      if ($8 > 0) missed = missed (missed == "" ? "" : ", ") "temps"
      if ($9 > 0) missed = missed (missed == "" ? "" : ", ") "unable"
      if ($10 > $1) missed = missed (missed == "" ? "" : ", ") "sum"
      printf "%-6s %6d %13d %13d %11s %8.2f %5d %8d %6d %7d %14d %6s  %s\n", "flood", $1, $2, $3, $4, $5, $6, $7,
             $8, $9, $10, $11, (missed == "" ? "met" : "missed: " missed)
    }' "$takeover_row"
    echo "(claims held: the killed instance's claims just after the kill; takeover: from the kill until no claim" \
         "file names the killed instance; wall: from the start until the" \
         "survivors ended; converted sum: what the first and the third instance converted, the killed one's not" \
         "counted; exit: the survivors')"
    echo "goal: takeover <= 30 s; every source has its record, no temporary, no \"Unable to delete\" line; the" \
         "survivors' converted sum <= files"
  fi
}

#~ latency
# One instance without -drain (default targets) watching an idle folder; bench/latency.py drops
# the latency set's 12-megapixel photos into it one at a time, each after the one before has
# left the input folder, and times each from its writer's close to its metadata file. The
# conversion's own CPU time is that of a drain of the same photos, over their count.
run_latency() {
  local corpus="$build/bench-latency$set_suffix" left drain_cpu rows
  "$build/bench_corpus" "${set_flags[@]}" --latency "$corpus"
  corpus_count "$corpus"

  #- the conversion's CPU: a drain of the same photos
  new_work
  corpus_copy "$corpus" "$work/in"
  echo "vantor: draining the latency set, $files photos (-thread=$threads, default targets)"
  drain_vantor
  left=$(left_in "$work/in")
  if [ -n "$failure" ] || [ "$left" -ne 0 ]; then
    run_failed "the latency set's drain failed: ${failure:-$left files left in the input folder}"
  fi
  time_measures
  drain_cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')
  rm -rf "$work"

  #- one photo at a time into a watched folder
  new_work
  mkdir -p "$work/in" "$work/out" "$work/metadatas"
  rows="$work/rows.txt"
  "$vantor" -in="$work/in" -out="$work/out" -metadatas="$work/metadatas" -thread="$threads" -log=json \
    >"$work/console.txt" 2>&1 &
  watch_pid=$!
  for _ in $(seq 1 600); do
    grep -q '"event":"waiting"' "$work/console.txt" && break
    kill -0 "$watch_pid" 2>/dev/null || run_failed "vantor ended before it watched the folder"
    sleep 0.1
  done
  echo "vantor: watching $work/in; $files photos dropped one at a time"
  "$python" bench/latency.py drop "$corpus" "$work/in" "$work/metadatas" "$rows" "$watch_pid" ||
    run_failed "a dropped photo was not converted"
  stop_vantor

  echo
  echo "Latency: vantor -thread=$threads without -drain, default targets, $files photos of 12 MP dropped one at a time"
  "$python" bench/latency.py report "$rows" "$work/console.txt" "$drain_cpu" "$files"
  echo "(to metadata: from the writer's close until the metadata file was in place; to gone: until the source" \
       "was deleted, once everything it made was durable; until taken: until a worker took the path, from the" \
       "JSON log; vantor CPU: the process's CPU from the write until the source was gone; worker CPU / queue: the" \
       "converting worker's time on a core / ready to run while other programs held the cores, until the" \
       "metadata; rest: to metadata less both, what the photo waited for besides its conversion; conversion CPU:" \
       "the CPU of a drain of the same photos over their count; less queue: each photo's time to metadata less its" \
       "worker's run queue wait, what a quiet machine would show; ratio: median / conversion CPU)"
  echo "goal: median to metadata <= conversion CPU + 0.15 s (where other programs held the cores: the median less" \
       "the run queue)"
  rm -rf "$work"
}

#~ the cores' speeds
# On a virtual machine one core can run slower than another (presumably its host core shared with
# other work). CPU time then depends on which core a run landed on: a run on the slower core costs
# more CPU seconds for the same work. The same fixed loop is timed on each core at the bench's
# start and end, so that a ratio can be read against them.
core_speeds() {
  command -v taskset >/dev/null && command -v perl >/dev/null || return 0
  local cores core line=""
  cores=$(getconf _NPROCESSORS_ONLN)
  for ((core = 0; core < cores; core += 1)); do
    /usr/bin/time -f "%U" -o "$target_work/core-time" taskset -c "$core" \
      perl -e '$x = 0; for (1 .. 20000000) { $x += $_ * 3 }' || return 0
    line+=" core $core $(cat "$target_work/core-time") s,"
  done
  echo "bench: $1, CPU seconds of one fixed loop on each core:${line%,}"
}

#~ the sections
core_speeds "at the start"
if [ -z "$only" ] || [ "$only" = photos ]; then
  run_corpus "$corpus" "$label" "${corpus_flags[@]}"
  if [ -z "$quick" ]; then
    # Peak memory on the photos of a current camera (six 20-megapixel JPEGs).
    echo
    run_corpus "$build/bench-corpus-large" "six 20 MP photos" --large
  fi
fi
if [ -z "$only" ] || [ "$only" = phone ]; then
  echo
  run_phone
fi
if [ -z "$only" ] || [ "$only" = formats ]; then
  echo
  run_formats
fi
if [ -z "$only" ] || [ "$only" = many ]; then
  echo
  run_many
fi
if [ -z "$only" ] || [ "$only" = many ] || [ "$only" = idle ]; then
  echo
  run_idle
fi
if [ -z "$only" ] || [ "$only" = shared ]; then
  echo
  run_shared
fi
if [ -z "$only" ] || [ "$only" = latency ]; then
  echo
  run_latency
fi

if [ -z "$only" ]; then
  echo
  echo "Stages: megapixels of each stage's input per CPU second (4000x3000 source, 1920x1080 outputs)"
  "$build/bench_stages" --benchmark_min_time="$min_time"
fi

echo
core_speeds "at the end"
