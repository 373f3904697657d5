#!/usr/bin/env python3
"""The verdicts of bench/scale_table.py: a wrong one would report a target
met that was missed, or hide that the two tools did not index the same
files."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scale_table as st  # noqa: E402


def results(**changes):
    """A run of both tools on 300,000 files; CHANGES replace or drop values."""
    values = {
        "files": "300000", "recoll": "1", "all_names": "0", "common_query": "0",
        "trovix.index.wall": "114", "recoll.index.wall": "262",
        "trovix.index.cpu": "150", "recoll.index.cpu": "240",
        "trovix.index.peak_kib": str(82 * 1024), "recoll.index.peak_kib": str(498 * 1024),
        "trovix.index.written": "2008000000", "recoll.index.written": "1262000000",
        "trovix.size": "386000000", "recoll.size": "901000000",
        "trovix.index.status": "0", "recoll.index.status": "0",
        "q0.query": "plai", "q0.name": "one common word", "q0.compared": "1",
        "trovix.q0.count": "13500", "recoll.q0.count": "13620",
        "trovix.q0.median_ms": "30", "recoll.q0.median_ms": "100", "trovix.q0.p95_ms": "40",
        "q1.query": "rare", "q1.name": "one rare word",
        "trovix.q1.count": "3", "trovix.q1.median_ms": "4", "trovix.q1.p95_ms": "5",
    }
    for key, value in changes.items():
        key = key.replace("__", ".")
        if value is None:
            values.pop(key, None)
        else:
            values[key] = value
    return st.Results(values)


def target(table, measure):
    """The target cell of the first row whose measure begins with MEASURE."""
    return next(row[4] for row in st.rows(table) if row[0].startswith(measure))


class VerdictTest(unittest.TestCase):
    def test_targets_against_recoll(self):
        self.assertEqual(target(results(), "first index, wall"), "≤ 0.5 × Recoll met")
        self.assertEqual(target(results(recoll__index__wall="200"), "first index, wall"),
                         "≤ 0.5 × Recoll not met")
        # Exactly half is still within the target.
        self.assertEqual(target(results(recoll__index__wall="228"), "first index, wall"),
                         "≤ 0.5 × Recoll met")
        # Both halves of the written target are judged, each on its own figure.
        written = "bytes written"
        self.assertEqual(target(results(), written), "≤ 3 × own, ≤ Recoll's: not met")
        self.assertEqual(target(results(trovix__index__written="1100000000"), written),
                         "≤ 3 × own, ≤ Recoll's: met")
        self.assertEqual(target(results(trovix__index__written="1150000000",
                                        trovix__size="300000000"), written),
                         "≤ 3 × own: not met; ≤ Recoll's: met")
        self.assertEqual(target(results(trovix__index__written="1500000000",
                                        trovix__size="600000000"), written),
                         "≤ 3 × own: met; ≤ Recoll's: not met")
        row = next(r for r in st.rows(results()) if r[0].startswith(written))
        self.assertEqual(row[1:4], ["2,008 MB = 5.2 × own index", "1,262 MB = 1.4 × own index",
                                    "1.59"])

    def test_absolute_targets_are_judged_at_full_size_only(self):
        memory = "peak memory"
        self.assertEqual(target(results(files="1000000"), memory), "≤ 100 MiB met")
        heavy = str(120 * 1024)
        self.assertEqual(target(results(files="1000000", trovix__index__peak_kib=heavy), memory),
                         "≤ 100 MiB not met")
        self.assertEqual(target(results(trovix__index__peak_kib=heavy), memory),
                         "≤ 100 MiB at 1,000,000 files; over it here")
        # Only the word of 30% has the absolute query target, besides Recoll's.
        self.assertEqual(target(results(files="1000000", trovix__q0__median_ms="60",
                                        recoll__q0__median_ms="150"), "query, one"),
                         "≤ 0.5 × Recoll met; ≤ 50 ms median not met")
        self.assertEqual(target(results(common_query=None), "query, one common"),
                         "≤ 0.5 × Recoll met")

    def test_without_recoll(self):
        table = results(recoll="0", recoll__index__wall=None, recoll__index__written=None,
                        recoll__q0__count=None, recoll__q0__median_ms=None)
        wall = next(row for row in st.rows(table) if row[0] == "first index, wall")
        self.assertEqual(wall[2:], ["not run", "—", "≤ 0.5 × Recoll (not run)"])
        self.assertEqual(target(table, "bytes written"), "≤ 3 × own: not met; ≤ Recoll's: not run")
        self.assertEqual(st.warnings(table), [])

    def test_warnings(self):
        self.assertEqual(st.warnings(results()), [])
        # Counts apart by more than a factor of 2, or none found by one tool,
        # mean the tools did not index the same files.
        for trovix, recoll in (("13500", "6000"), ("0", "13620"), ("13500", "0")):
            found = st.warnings(results(trovix__q0__count=trovix, recoll__q0__count=recoll))
            self.assertEqual(len(found), 1, (trovix, recoll))
            self.assertIn("not of the same order", found[0])
        # A query Recoll was not timed on has no count of Recoll's to compare.
        self.assertEqual(st.warnings(results(trovix__q1__count="0")), [])
        self.assertEqual(st.warnings(results(recoll__index__status="1")),
                         ["recoll index exited with status 1"])
        self.assertEqual(len(st.warnings(results(recoll__missing="rclpython.py"))), 1)


if __name__ == "__main__":
    unittest.main()
