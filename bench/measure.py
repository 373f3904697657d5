#!/usr/bin/env python3
"""Measurements for the shell benchmarks, each printed as `key value` lines.

  run KEY -- CMD...          wall, CPU, bytes written, peak memory of CMD's tree
  during KEY N SPACING INDEX_CMD -- QUERY_CMD...
                             N queries, one every SPACING s, while INDEX_CMD runs
  scan KEY HIVE ROOT         kestine's first walk of ROOT, from its start record
                             to its completion record in the hive HIVE
  saves KEY N FOLDER SEARCH_CMD...
                             N new files, each with a word of its own, each timed
                             until SEARCH_CMD WORD finds it
  hyperfine KEY JSON         median and 95th percentile of a hyperfine
                             --export-json file

Bytes written come from the kernel's I/O accounting as wait4 hands it over for
the reaped command: its own write_bytes plus those of every descendant it
reaped (ru_oublock counts them in 512-byte units, as /usr/bin/time's %O). The
count is of bytes made dirty in the page cache and bound for the disk, taken
when they are dirtied, so a page rewritten before it is flushed counts once
and a file deleted before its flush still counts.

Peak memory is the largest sum of the resident sets of the command and all its
living descendants, sampled every 20 ms (the tree re-read every 100 ms), or the largest single resident set
the kernel saw (ru_maxrss) when that is larger.
"""

import json
import os
import re
import resource
import statistics
import subprocess
import sys
import threading
import time


def emit(key, name, value):
    print(f"{key}.{name} {value}", flush=True)


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def parents():
    """Every living process's parent: {pid: ppid}."""
    result = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as stat:
                text = stat.read()
        except OSError:
            continue
        # The command name is in parentheses and may hold spaces or ')'.
        fields = text[text.rindex(b")") + 2 :].split()
        result[int(name)] = int(fields[1])
    return result


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def descendants(root):
    """ROOT and every living process below it."""
    children = {}
    for pid, ppid in parents().items():
        children.setdefault(ppid, []).append(pid)
    found, stack = [], [root]
    while stack:
        pid = stack.pop()
        found.append(pid)
        stack.extend(children.get(pid, []))
    return found


def peak_sampler(root, done, peak):
    """Samples the tree's resident memory every 20 ms into peak[0]; the tree
    itself is re-read every 100 ms, as walking /proc costs more than reading
    a few status files and would take CPU from the command measured."""
    members, tick = [root], 0
    while not done.wait(0.02):
        if tick % 5 == 0:
            members = descendants(root)
        tick += 1
        peak[0] = max(peak[0], sum(resident_kib(pid) for pid in members))


def run(key, argv):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peak = [0]
    done = threading.Event()
    sampler = threading.Thread(target=peak_sampler, args=(child.pid, done, peak))
    sampler.start()
    out, err = child.communicate()
    done.set()
    sampler.join()
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    user = after.ru_utime - before.ru_utime
    system = after.ru_stime - before.ru_stime
    emit(key, "wall", f"{wall:.3f}")
    emit(key, "cpu", f"{user + system:.3f}")
    emit(key, "user", f"{user:.3f}")
    emit(key, "sys", f"{system:.3f}")
    emit(key, "cores", f"{(user + system) / wall:.2f}")
    emit(key, "written", (after.ru_oublock - before.ru_oublock) * 512)
    emit(key, "peak_kib", max(peak[0], after.ru_maxrss))
    emit(key, "status", child.returncode)
    summary = out.decode(errors="replace").strip().splitlines()
    emit(key, "stdout", (summary[-1] if summary else "-")[:200])
    sys.stderr.write(err.decode(errors="replace")[-2000:])


def timed(argv):
    start = time.monotonic()
    status = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    return time.monotonic() - start, status


def during(key, count, spacing, index_argv, query_argv):
    indexer = subprocess.Popen(index_argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    latencies, answered = [], 0
    next_at = time.monotonic()
    while len(latencies) < count and indexer.poll() is None:
        time.sleep(max(0.0, next_at - time.monotonic()))
        next_at += spacing
        seconds, status = timed(query_argv)
        # Only queries that started and ended while the index ran count.
        if indexer.poll() is None:
            latencies.append(seconds * 1000)
            answered += status == 0
    indexer.wait()
    emit(key, "queries", len(latencies))
    emit(key, "matched", answered)
    if latencies:
        emit(key, "p50_ms", f"{percentile(latencies, 0.5):.1f}")
        emit(key, "p95_ms", f"{percentile(latencies, 0.95):.1f}")
        emit(key, "max_ms", f"{max(latencies):.1f}")


def hive_section(hive, root):
    """The value lines of ROOT's subkey of the indexer's key, or []."""
    try:
        with open(hive, encoding="utf-8") as text:
            lines = text.read().splitlines()
    except OSError:
        return []
    header = "[HKEY_CURRENT_USER\\Software\\Quillon\\Trovix\\Kestine\\" + root + "]"
    section, inside = [], False
    for line in lines:
        if line.startswith("["):
            inside = line.lower() == header.lower()
        elif inside:
            section.append(line)
    return section


def has_value(section, name):
    return any(line.startswith(f'"{name}"=') for line in section)


def scan(key, hive, root, timeout=1800):
    deadline = time.monotonic() + timeout
    while not has_value(hive_section(hive, root), "Last Scan Start Text"):
        if time.monotonic() > deadline:
            sys.exit("kestine did not start its walk")
        time.sleep(0.005)
    start = time.monotonic()
    while not has_value(section := hive_section(hive, root), "Last Scan Outcome"):
        if time.monotonic() > deadline:
            sys.exit("kestine did not finish its walk")
        time.sleep(0.005)
    emit(key, "wall", f"{time.monotonic() - start:.3f}")
    outcome = [line for line in section if line.startswith('"Last Scan Outcome"=')]
    match = re.search(r"dword:([0-9a-fA-F]+)", outcome[0])
    emit(key, "outcome", int(match.group(1), 16) if match else "?")


def saves(key, count, folder, search_argv, timeout=60):
    os.makedirs(folder, exist_ok=True)
    latencies = []
    for i in range(count):
        word = f"savedword{i}q{os.getpid()}z"
        saved = time.monotonic()
        with open(os.path.join(folder, f"saved{i}.txt"), "w") as note:
            note.write(f"A note written at run time: {word}.\n")
        while True:
            _, status = timed(search_argv + [word])
            if status == 0:
                break
            if time.monotonic() - saved > timeout:
                sys.exit(f"{word} was not found within {timeout} s")
            time.sleep(0.02)
        latencies.append((time.monotonic() - saved) * 1000)
    emit(key, "median_ms", f"{statistics.median(latencies):.0f}")
    emit(key, "p95_ms", f"{percentile(latencies, 0.95):.0f}")


def hyperfine(key, path):
    with open(path) as export:
        result = json.load(export)["results"][0]
    emit(key, "median_ms", f"{result['median'] * 1000:.1f}")
    emit(key, "p95_ms", f"{percentile(result['times'], 0.95) * 1000:.1f}")


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    command, key, rest = argv[0], argv[1], argv[2:]
    if command == "run" and rest[:1] == ["--"]:
        run(key, rest[1:])
    elif command == "during" and "--" in rest:
        split = rest.index("--")
        during(key, int(rest[0]), float(rest[1]), rest[2:split], rest[split + 1 :])
    elif command == "scan" and len(rest) == 2:
        scan(key, rest[0], rest[1])
    elif command == "saves" and len(rest) >= 3:
        saves(key, int(rest[0]), rest[1], rest[2:])
    elif command == "hyperfine" and len(rest) == 1:
        hyperfine(key, rest[0])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
