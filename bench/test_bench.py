#!/usr/bin/env python3
"""Checks of the benchmark harness itself: measuring, data making and the verdicts.

Run with: python3 bench/test_bench.py
"""

import hashlib
import os
import shutil
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def run(wall, cpu=1.0, rss_kib=1024):
    return bench.Run(wall, cpu, rss_kib, 0, "")


class MeasuringTest(unittest.TestCase):
    def test_peak_memory_is_the_commands_own(self):
        # The harness itself is tens of MiB; a tiny command must not be charged with that.
        small = bench.run_measured(["true"])
        self.assertEqual(small.rc, 0)
        self.assertGreater(small.rss_kib, 0)
        self.assertLess(small.rss_kib, 16 * 1024)
        big = bench.run_measured(
            [sys.executable, "-c", "b = bytearray(96 << 20); b[::4096] = b'x' * len(b[::4096])"])
        self.assertEqual(big.rc, 0, big.output)
        self.assertGreater(big.rss_kib, 96 * 1024)

    def test_exit_code_and_output_are_kept(self):
        r = bench.run_measured(["sh", "-c", "echo out; echo err >&2; exit 3"])
        self.assertEqual(r.rc, 3)
        self.assertIn("out", r.output)
        self.assertIn("err", r.output)

    def test_a_command_past_its_time_is_killed(self):
        start = time.time()
        r = bench.run_measured(["sleep", "30"], timeout=0.5)
        self.assertLess(time.time() - start, 10)
        self.assertNotEqual(r.rc, 0)
        self.assertIn("killed", r.output)


class DataTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-test-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_release_sizes_add_up_exactly(self):
        import random
        for count, total in ((10, 10 * 1024), (100, 10 << 20), (1000, 1000 * 1024 + 7)):
            sizes = bench.release_sizes(random.Random(count), count, total)
            self.assertEqual(len(sizes), count)
            self.assertEqual(sum(sizes), total)
            self.assertGreaterEqual(min(sizes), 1)

    def test_pack_is_a_zlib_stream_of_the_file_with_matching_digests(self):
        src = os.path.join(self.dir, "a.txt")
        data = b"some text that repeats " * 50000 + os.urandom(70000)
        with open(src, "wb") as f:
            f.write(data)
        pack = os.path.join(self.dir, "packs", "a.txt.z")
        sha, packsha = bench.write_pack(src, pack)
        with open(pack, "rb") as f:
            packed = f.read()
        self.assertEqual(zlib.decompress(packed), data)
        self.assertEqual(packed[:2], zlib.compress(b"")[:2])  # same header as one-shot compress
        self.assertEqual(sha, hashlib.sha256(data).hexdigest())
        self.assertEqual(packsha, hashlib.sha256(packed).hexdigest())

    def test_document_lists_every_file_under_the_file_base(self):
        path = os.path.join(self.dir, "updates", "x.info")
        entries = [{"rel": "d00/f1.txt", "size": 5, "sha": "ab", "packsha": "cd"},
                   {"rel": "d01/f2.bin", "size": 7, "sha": "ef", "packsha": "01"}]
        bench.write_document(path, 4321, entries)
        import xml.etree.ElementTree as ET
        root = ET.parse(path).getroot()
        self.assertEqual(root.get("version"), "2")
        self.assertEqual(root.find("info").get("FileBase"), "http://127.0.0.1:4321/packs/")
        files = root.find("files")
        self.assertEqual([(e.get("file"), e.get("url"), e.get("size"), e.get("sha"))
                          for e in files],
                         [("d00/f1.txt", "d00/f1.txt.z", "5", "ab"),
                          ("d01/f2.bin", "d01/f2.bin.z", "7", "ef")])


class VerdictTest(unittest.TestCase):
    def test_ratio_is_the_median_of_pairwise_ratios(self):
        res = bench.CaseResult(1, "t")
        # Pairs 1/1, 4/2, 3/10: pairwise ratios 1, 2, 0.3 -> median 1.0, whereas the ratio of
        # the medians would be 3/2.
        res.project = [run(1), run(4), run(3)]
        res.peer = [run(1), run(2), run(10)]
        ratio, met = bench.verdict(res)
        self.assertAlmostEqual(ratio, 1.0)
        self.assertEqual(met, "yes")
        res.project = [run(2), run(4), run(3)]
        ratio, met = bench.verdict(res)
        self.assertAlmostEqual(ratio, 2.0)
        self.assertEqual(met, "NO")

    def test_memory_case_uses_the_largest_peak(self):
        res = bench.CaseResult(5, "t")
        res.project = [run(1, rss_kib=10 * 1024), run(1, rss_kib=65 * 1024)]
        self.assertEqual(bench.verdict(res), (None, "NO"))
        res.project = [run(1, rss_kib=10 * 1024), run(1, rss_kib=64 * 1024)]
        self.assertEqual(bench.verdict(res), (None, "yes"))

    def test_alternation_swaps_who_goes_first(self):
        order = []
        res = bench.CaseResult(1, "t")

        def project(i):
            order.append("p")
            return run(1)

        def peer(i):
            order.append("q")
            return run(1)

        saved, bench.log = bench.log, lambda msg: None
        try:
            bench.alternate(res, 4, project, peer, "p", "q")
        finally:
            bench.log = saved
        self.assertEqual(order, ["p", "q", "q", "p", "p", "q", "q", "p"])
        self.assertEqual(len(res.project), 4)
        self.assertEqual(len(res.peer), 4)


if __name__ == "__main__":
    unittest.main()
