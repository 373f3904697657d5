#!/usr/bin/env python3
"""The table of bench/scale_bench.sh, from its `key value` results file.

Trovix and Recoll side by side on one generated home: each tool's first
index, its size on disk and the bytes it wrote, and the queries both were
timed on, with the ratio Trovix / Recoll and whether each target was met;
then Trovix's own rows. The targets on absolute figures (peak memory, the
time of the word in 30% of the documents) are set for a home of 1,000,000
files: on a smaller home the row tells where the figure stands without
judging it. Printed as Markdown, with warnings under the table.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from versus_table import load  # noqa: E402

FULL_SIZE = 1_000_000
MEMORY_MIB = 100
QUERY_MS = 50
WALL_RATIO = 0.5
QUERY_RATIO = 0.5
WRITTEN_PER_SIZE = 3
# Result counts within this factor of each other are of the same order: the
# tools split words alike on this text, so a wider gap means one of them
# missed files or read files the other skipped.
SAME_ORDER = 2


def verdict(ok):
    return "?" if ok is None else ("met" if ok else "not met")


def seconds(value):
    return "—" if value is None else f"{value:,.0f} s" if value >= 100 else f"{value:.1f} s"


def milliseconds(value):
    return "—" if value is None else f"{value:.1f} ms"


def megabytes(value):
    if value is None:
        return "—"
    return f"{value / 1e6:,.0f} MB" if value >= 1e8 else f"{value / 1e6:.1f} MB"


def mebibytes(kib):
    return "—" if kib is None else f"{kib / 1024:,.0f} MiB"


class Results:
    def __init__(self, values):
        self.values = values
        self.recoll = values.get("recoll") == "1"
        self.files = int(values.get("files", "0"))

    def text(self, key, missing="?"):
        return self.values.get(key, missing)

    def number(self, key):
        try:
            return float(self.values[key])
        except (KeyError, ValueError):
            return None

    def pair(self, key):
        """Trovix's and Recoll's figure for a key (None when missing)."""
        return self.number(f"trovix.{key}"), self.number(f"recoll.{key}")

    def queries(self):
        n = 0
        while f"q{n}.query" in self.values:
            yield n
            n += 1


def ratio(trovix, recoll):
    return trovix / recoll if trovix is not None and recoll else None


def against_recoll(results, limit, trovix, recoll):
    """The target `at most LIMIT × Recoll's figure` and its verdict."""
    if not results.recoll:
        return f"≤ {limit:g} × Recoll (not run)"
    share = ratio(trovix, recoll)
    return f"≤ {limit:g} × Recoll {verdict(None if share is None else share <= limit)}"


def absolute(results, text, value, limit):
    """A target set for the full size: judged there, only placed below it."""
    if value is None:
        return f"{text} ?"
    if results.files >= FULL_SIZE:
        return f"{text} {verdict(value <= limit)}"
    return f"{text} at {FULL_SIZE:,} files; {'under' if value <= limit else 'over'} it here"


def written_cell(written, size):
    if written is None:
        return "—"
    if not size:
        return megabytes(written)
    return f"{megabytes(written)} = {written / size:.1f} × own index"


def written_target(results, written, size, recoll_written):
    own = None if written is None or not size else written <= WRITTEN_PER_SIZE * size
    if not results.recoll:
        return f"≤ {WRITTEN_PER_SIZE} × own: {verdict(own)}; ≤ Recoll's: not run"
    below = None if written is None or recoll_written is None else written <= recoll_written
    if own == below:
        return f"≤ {WRITTEN_PER_SIZE} × own, ≤ Recoll's: {verdict(own)}"
    return f"≤ {WRITTEN_PER_SIZE} × own: {verdict(own)}; ≤ Recoll's: {verdict(below)}"


def rows(results):
    """The table's rows: measure, Trovix, Recoll, Trovix / Recoll, target."""
    table = []
    absent = "—" if results.recoll else "not run"

    def row(measure, trovix, recoll, share, target="—"):
        """RECOLL None: a row of Trovix's alone."""
        recoll = "—" if recoll is None else recoll if results.recoll else absent
        share = "—" if share is None else f"{share:.2f}"
        table.append([measure, trovix, recoll, share, target])

    wall = results.pair("index.wall")
    row("first index, wall", seconds(wall[0]), seconds(wall[1]), ratio(*wall),
        against_recoll(results, WALL_RATIO, *wall))
    cpu = results.pair("index.cpu")
    row("first index, CPU (user + sys)", seconds(cpu[0]), seconds(cpu[1]), ratio(*cpu))
    peak = results.pair("index.peak_kib")
    row("peak memory of the indexer and its helpers together", mebibytes(peak[0]),
        mebibytes(peak[1]), ratio(*peak),
        absolute(results, f"≤ {MEMORY_MIB} MiB", None if peak[0] is None else peak[0] / 1024,
                 MEMORY_MIB))
    size = results.pair("size")
    row("index size on disk (Trovix: database and WAL; Recoll: xapiandb)", megabytes(size[0]),
        megabytes(size[1]), ratio(*size))
    written = results.pair("index.written")
    row("bytes written during the first index", written_cell(written[0], size[0]),
        written_cell(written[1], size[1]), ratio(*written),
        written_target(results, written[0], size[0], written[1]))
    common = results.text("common_query", None)
    for n in results.queries():
        if results.text(f"q{n}.compared", None) != "1":
            continue
        median = results.pair(f"q{n}.median_ms")
        counts = f"{results.text(f'trovix.q{n}.count')} / {results.text(f'recoll.q{n}.count', absent)}"
        target = against_recoll(results, QUERY_RATIO, *median)
        if str(n) == common:
            target += "; " + absolute(results, f"≤ {QUERY_MS} ms median", median[0], QUERY_MS)
        row(f"query, {results.text(f'q{n}.name')} `{results.text(f'q{n}.query')}`: median, "
            f"new process (files found: {counts})", milliseconds(median[0]),
            milliseconds(median[1]), ratio(*median), target)

    all_names = results.text("all_names", "0")
    row("index-all-file-names (Recoll: indexallfilenames)", all_names, all_names, None)
    row("generation of the home", seconds(results.number("home.seconds")), None, None)
    row("`trovix index` summary", results.text("trovix.index.stdout"), None, None)
    for n in results.queries():
        median = results.number(f"trovix.q{n}.median_ms")
        met = verdict(None if median is None else median < QUERY_MS)
        row(f"query, {results.text(f'q{n}.name')} `{results.text(f'q{n}.query')}` "
            f"({results.text(f'trovix.q{n}.count')} files): median / p95",
            f"{milliseconds(median)} / {milliseconds(results.number(f'trovix.q{n}.p95_ms'))}",
            None, None, f"< {QUERY_MS} ms median {met}")
    return table


def warnings(results):
    """What makes figures of the table doubtful."""
    found = []
    for tool in ("trovix", "recoll") if results.recoll else ("trovix",):
        status = results.text(f"{tool}.index.status")
        if status != "0":
            found.append(f"{tool} index exited with status {status}")
    if results.recoll:
        if results.text("recoll.missing", "").strip():
            found.append(f"Recoll lacked helpers for some files: {results.text('recoll.missing')}")
        for n in results.queries():
            if results.text(f"q{n}.compared", None) != "1":
                continue
            trovix, recoll = results.pair(f"q{n}.count")
            if not trovix or not recoll or max(trovix, recoll) > SAME_ORDER * min(trovix, recoll):
                found.append(f"query `{results.text(f'q{n}.query')}`: Trovix found "
                             f"{results.text(f'trovix.q{n}.count')} files, Recoll "
                             f"{results.text(f'recoll.q{n}.count')}: not of the same order")
    return found


def main(path):
    results = Results(load(path))
    document_mb = (results.number("home.document_bytes") or 0) / 1e6
    other_mb = (results.number("home.other_bytes") or 0) / 1e6
    print(f"machine: {results.text('machine')}; load average {results.text('load')}")
    print(f"home: {results.files:,} files, {int(results.number('home.documents') or 0):,} "
          f"documents ({document_mb:,.0f} MB of text), {other_mb:,.0f} MB of other files; "
          f"seed {results.text('seed')}")
    if results.recoll:
        print(f"Recoll reads {results.text('recoll_reads')}")
    print()
    print("| measure | Trovix | Recoll | Trovix / Recoll | target |")
    print("|---|---|---|---|---|")
    for row in rows(results):
        print("| " + " | ".join(row) + " |")
    found = warnings(results)
    if results.recoll and not any("same order" in line for line in found):
        print(f"\nThe result counts of both tools agree within a factor of {SAME_ORDER}.")
    for line in found:
        print(f"warning: {line}")


if __name__ == "__main__":
    main(sys.argv[1])
