#!/usr/bin/env python3
"""The table of bench/versus_recoll.sh, from its `key value` results file.

Each full-index figure is the median over the runs; each row says whether its
target was met. Printed as a Markdown table.
"""

import statistics
import sys


def load(path):
    values = {}
    with open(path) as results:
        for line in results:
            key, _, value = line.rstrip("\n").partition(" ")
            values[key] = value
    return values


class Table:
    def __init__(self, values):
        self.values = values
        self.runs = int(values.get("runs", "1"))
        self.rows = []

    def number(self, key):
        value = self.values.get(key)
        try:
            return float(value)
        except (TypeError, ValueError):
            return None

    def median(self, prefix, field):
        found = [self.number(f"{prefix}.{run}.{field}") for run in range(1, self.runs + 1)]
        found = [value for value in found if value is not None]
        return statistics.median(found) if found else None

    def row(self, measure, trovix, recoll, unit, ratio_target=None, trovix_target=None):
        """ratio_target: most Trovix/Recoll may be; trovix_target: (text, met) of Trovix alone."""
        ratio = trovix / recoll if trovix is not None and recoll else None
        target, met = "—", ""
        if ratio_target is not None:
            target = f"≤ {ratio_target:g}"
            met = "?" if ratio is None else ("met" if ratio <= ratio_target else "not met")
        elif trovix_target is not None:
            target, ok = trovix_target
            met = "?" if ok is None else ("met" if ok else "not met")
        self.rows.append(
            [
                measure,
                fmt(trovix, unit),
                fmt(recoll, unit),
                "—" if ratio is None else f"{ratio:.3f}",
                f"{target} {met}".strip(),
            ]
        )

    def print(self):
        print("| measure | Trovix | Recoll | Trovix/Recoll | target |")
        print("|---|---|---|---|---|")
        for row in self.rows:
            print("| " + " | ".join(row) + " |")


def fmt(value, unit):
    if value is None:
        return "—"
    if unit == "s":
        return f"{value:.2f} s"
    if unit == "ms":
        return f"{value:.1f} ms"
    if unit == "MB":
        return f"{value / 1e6:.1f} MB"
    if unit == "MiB":
        return f"{value / 1024:.0f} MiB"
    if unit == "x":
        return f"{value:.2f}×"
    return f"{value:g}"


def main(path):
    values = load(path)
    table = Table(values)
    names = {"all": "HTML+txt", "txt": "txt only"}
    for corpus, name in names.items():
        t, r = f"trovix.{corpus}", f"recoll.{corpus}"
        table.row(f"full index, {name}: wall", table.median(t, "wall"), table.median(r, "wall"),
                  "s", ratio_target=0.5)
        table.row(f"full index, {name}: CPU user+sys", table.median(t, "cpu"),
                  table.median(r, "cpu"), "s")
        table.row(f"full index, {name}: cores (CPU/wall)", table.median(t, "cores"),
                  table.median(r, "cores"), "")
        table.row(f"full index, {name}: peak memory (process tree)", table.median(t, "peak_kib"),
                  table.median(r, "peak_kib"), "MiB", ratio_target=0.25)
        table.row(f"full index, {name}: index size on disk", table.median(t, "size"),
                  table.median(r, "size"), "MB", ratio_target=0.6)
        table.row(f"full index, {name}: bytes written", table.median(t, "written"),
                  table.median(r, "written"), "MB")
        share = [None, None]
        for i, prefix in enumerate((t, r)):
            written, size = table.median(prefix, "written"), table.median(prefix, "size")
            share[i] = written / size if written is not None and size else None
        table.row(f"full index, {name}: bytes written ÷ index size", share[0], share[1], "x",
                  trovix_target=("≤ 3 (Trovix)", None if share[0] is None else share[0] <= 3))
    kestine, recoll_full = table.median("kestine", "wall"), table.median("recoll.all", "wall")
    outcome = ",".join(values.get(f"kestine.{run}.outcome", "?") for run in range(1, table.runs + 1))
    table.row(f"kestine first scan, HTML+txt (outcome {outcome}) vs Recoll's full index",
              kestine, recoll_full, "s", ratio_target=0.5)
    for n in range(10):
        label = values.get(f"q{n}.label")
        if label is None:
            break
        counts = f"{values.get(f'trovix.q{n}.count', '?')} / {values.get(f'recoll.q{n}.count', '?')}"
        table.row(f"query `{label}` median, new process (files found: {counts})",
                  table.number(f"trovix.q{n}.median_ms"), table.number(f"recoll.q{n}.median_ms"),
                  "ms", ratio_target=0.5)
    for n in range(10):
        label = values.get(f"p{n}.label")
        if label is None:
            break
        counts = f"{values.get(f'trovix.p{n}.count', '?')} / {values.get(f'recoll.p{n}.count', '?')}"
        table.row(f"phrase query `{label}` median, new process (files found: {counts})",
                  table.number(f"trovix.p{n}.median_ms"), table.number(f"recoll.p{n}.median_ms"),
                  "ms", ratio_target=0.5)
    if "snippets.label" in values:
        trovix = table.number("trovix.snippets.median_ms")
        table.row(f"`--snippets {values['snippets.label']}` median, new process "
                  f"({values.get('trovix.snippets.count', '?')} files, snippets for "
                  f"{values.get('trovix.snippets.shown', '?')}; Recoll: `-A -p 2 -n 20`, "
                  f"2 snippets of each of its first 20 only)",
                  trovix, table.number("recoll.snippets.median_ms"), "ms",
                  trovix_target=("≤ 50 ms (Trovix)", None if trovix is None else trovix <= 50))
    table.row("re-index after changing 10 files", table.median("trovix.inc", "wall"),
              table.median("recoll.inc", "wall"), "s", ratio_target=1)
    for stat in ("p50", "p95"):
        trovix = table.number(f"trovix.during.{stat}_ms")
        target = None
        if stat == "p95":
            target = ("≤ 100 ms (Trovix)", None if trovix is None else trovix <= 100)
        table.row(
            f"query `function` while a first index runs, {stat} "
            f"({values.get('trovix.during.queries', '?')} / "
            f"{values.get('recoll.during.queries', '?')} queries)",
            trovix, table.number(f"recoll.during.{stat}_ms"), "ms", trovix_target=target)
    for stat, limit in (("median", 1000), ("p95", 2000)):
        trovix = table.number(f"save.{stat}_ms")
        table.row(f"save to found with kestine running, {stat} (20 saves)", trovix, None, "ms",
                  trovix_target=(f"≤ {limit} ms", None if trovix is None else trovix <= limit))
    print(f"\nmachine: {values.get('machine', '?')}; load average {values.get('load', '?')}")
    print(f"full indexes and kestine scans: median of {table.runs} run(s)")
    table.print()
    # A run that failed makes its figures meaningless; say so under the table.
    for key, value in sorted(values.items()):
        if key.endswith(".status") and value != "0":
            print(f"warning: {key[: -len('.status')]} exited with status {value}")
        if key.endswith(".outcome") and value != "1":
            print(f"warning: {key[: -len('.outcome')]} recorded scan outcome {value}")


if __name__ == "__main__":
    main(sys.argv[1])
