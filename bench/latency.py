#!/usr/bin/python3
"""The latency section of `make bench`: photos dropped one at a time into the folder of a
converter that watches it, each timed from its writer's close to its metadata file.

    latency.py drop <photos folder> <input folder> <metadata folder> <rows file> <vantor pid>
    latency.py report <rows file> <console file> <drain CPU s> <photos>

drop: each photo's bytes are read first; then the file is created in the input folder under
its own name, written in 1 MiB pieces and closed, as a camera's upload writes it, and the
clock is read at the close. The writer then polls (every 2 ms) for <metadata
folder>/<stem>.metadatas, and then for the source to be gone from the input folder (the
converter deletes it only once its outputs and metadata are durable). The next photo follows
after a pause of 0.3 to 0.8 s (a fixed seed), so that each lands on an idle converter at any
point of its scan loop. One row per photo: its name, the close's wall clock (Unix seconds),
seconds from the close to the metadata file, from the close to the source being gone, the
converter's CPU seconds (user + system, from /proc) from just before the write until the
source was gone, and, until the metadata file was there, the seconds the worker that converted
the photo spent on a core and ready to run while other programs held the cores (its run queue
wait, from /proc/<pid>/task/*/schedstat). A photo without its metadata after 120 s ends the run with status 1.

report: the rows beside the converter's JSON log (-log=json), whose "converted" line for each
photo says when it was published and how long since a worker took the path: the time from the
close until a worker took the photo is the wait before the conversion. Prints one line per
photo, then the medians and the worst, beside the conversion's CPU time (the CPU of a drain of
the same photos over their count).
"""
import json
import os
import random
import statistics
import sys
import time
from datetime import datetime

POLL_S = 0.002
LIMIT_S = 120.0
PIECE = 1 << 20
GOAL_S = 0.15


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def threads(pid):
    """Each thread's name, seconds on a core and seconds ready to run while other programs held
    the cores (its run queue wait), from /proc/<pid>/task/*/schedstat."""
    found = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                on_core, waiting = f.read().split()[:2]
        except (FileNotFoundError, ProcessLookupError, ValueError):
            continue
        found[task] = (name, int(on_core) / 1e9, int(waiting) / 1e9)
    return found


def busiest_worker(before, after):
    """The conversion worker that ran the most between the two looks: its seconds on a core and
    in the run queue."""
    best = (0.0, 0.0)
    for task, (name, on_core, waiting) in after.items():
        if not name.startswith("[VANTOR] Conver"):
            continue
        _, on_core_before, waiting_before = before.get(task, (name, 0.0, 0.0))
        if on_core - on_core_before > best[0]:
            best = (on_core - on_core_before, waiting - waiting_before)
    return best


def wait_for(predicate, since):
    while not predicate():
        if time.monotonic() - since > LIMIT_S:
            return None
        time.sleep(POLL_S)
    return time.monotonic() - since


def drop(photos, input_folder, metadatas, rows_path, pid):
    pauses = random.Random(43)
    names = sorted(n for n in os.listdir(photos) if not n.startswith("."))
    with open(rows_path, "w") as rows:
        for name in names:
            with open(os.path.join(photos, name), "rb") as f:
                data = f.read()
            time.sleep(0.3 + 0.5 * pauses.random())
            target = os.path.join(input_folder, name)
            record = os.path.join(metadatas, os.path.splitext(name)[0] + ".metadatas")
            cpu_before = cpu_seconds(pid)
            threads_before = threads(pid)
            fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            for at in range(0, len(data), PIECE):
                os.write(fd, data[at:at + PIECE])
            os.close(fd)
            closed = time.monotonic()
            closed_wall = time.time()
            to_record = wait_for(lambda: os.path.exists(record), closed)
            if to_record is None:
                print(f"latency: no {record} within {LIMIT_S:.0f} s", file=sys.stderr)
                return 1
            worker, worker_queue = busiest_worker(threads_before, threads(pid))
            to_gone = wait_for(lambda: not os.path.exists(target), closed)
            if to_gone is None:
                print(f"latency: {target} still in the input folder after {LIMIT_S:.0f} s", file=sys.stderr)
                return 1
            cpu = cpu_seconds(pid) - cpu_before
            rows.write(f"{name} {closed_wall:.6f} {to_record:.6f} {to_gone:.6f} {cpu:.2f} {worker:.3f} "
                       f"{worker_queue:.3f}\n")
            rows.flush()
    return 0


def report(rows_path, console_path, drain_cpu, photos):
    taken = {}  # source name -> wall clock when a worker took it
    with open(console_path) as f:
        for line in f:
            if not line.startswith("{"):
                continue
            event = json.loads(line)
            if event.get("event") != "converted":
                continue
            at = datetime.strptime(event["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
            published = (at - datetime(1970, 1, 1)).total_seconds()
            taken[event["source"]] = published - float(event["seconds"])
    rows = []
    with open(rows_path) as f:
        for line in f:
            name, closed, to_record, to_gone, cpu, worker, worker_queue = line.split()
            # the log gives milliseconds: a wait under one may come out a little below zero
            wait = max(0.0, taken[name] - float(closed)) if name in taken else float("nan")
            rest = float(to_record) - float(worker) - float(worker_queue)
            rows.append((name, float(to_record), float(to_gone), wait, float(cpu), float(worker), float(worker_queue),
                         rest))
    print(f"{'photo':<26} {'to metadata s':>14} {'to gone s':>10} {'until taken s':>14} {'vantor CPU s':>13} "
          f"{'worker CPU s':>13} {'worker queue s':>15} {'rest s':>7}")
    for r in rows:
        print(f"{r[0]:<26} {r[1]:>14.3f} {r[2]:>10.3f} {r[3]:>14.3f} {r[4]:>13.2f} {r[5]:>13.3f} {r[6]:>15.3f} "
              f"{r[7]:>7.3f}")
    conversion = drain_cpu / photos
    median = statistics.median(r[1] for r in rows)
    worst = max(r[1] for r in rows)
    waits = [r[3] for r in rows if r[3] == r[3]]

    def mid(i):
        return statistics.median(r[i] for r in rows)

    # Other programs on the machine only ever add run queue time: taken out, what is left is
    # what a quiet machine would show.
    unloaded = statistics.median(r[1] - r[6] for r in rows)
    goal = "met" if median <= conversion + GOAL_S else "met less the run queue" if unloaded <= conversion + GOAL_S \
        else "missed"
    print()
    print(f"{'photos':>6} {'median s':>9} {'worst s':>8} {'median gone s':>14} {'median until taken s':>21} "
          f"{'median worker CPU s':>20} {'median worker queue s':>22} {'median rest s':>14} "
          f"{'median less queue s':>20} {'conversion CPU s':>17} {'ratio':>6}  goal")
    print(f"{len(rows):>6} {median:>9.3f} {worst:>8.3f} {mid(2):>14.3f} "
          f"{statistics.median(waits) if waits else float('nan'):>21.3f} {mid(5):>20.3f} {mid(6):>22.3f} "
          f"{mid(7):>14.3f} {unloaded:>20.3f} {conversion:>17.3f} {median / conversion:>6.2f}  {goal}")
    return 0


def main():
    args = sys.argv[1:]
    if len(args) == 6 and args[0] == "drop":
        return drop(args[1], args[2], args[3], args[4], int(args[5]))
    if len(args) == 5 and args[0] == "report":
        return report(args[1], args[2], float(args[3]), int(args[4]))
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
