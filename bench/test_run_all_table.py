#!/usr/bin/env python3
"""Checks run_all_table.py's reading of the benches' outputs and its
verdicts, on lines shaped as the benches print them.

    /usr/bin/python3 bench/test_run_all_table.py
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_all_table as t  # noqa: E402


def rows(fill, text, *extra):
    table = t.Table()
    fill(table, text, *extra)
    return {r[0]: r for r in table.rows}


class Verdicts(unittest.TestCase):
    def test_transfer_rows_are_read_by_label_whatever_their_width(self):
        text = ("service unthrottled upload against iperf3     5993.3     3757.4   1.5951\n"
                "nginx upload against iperf3                  1732.4     3757.4   0.4611\n"
                "service unthrottled upload, iperf3 sending a file against iperf3    5993.3     6100.0   0.9825\n"
                "nginx upload against 5 curl uploads          1732.4     1500.0   1.1549\n"
                "nginx with 4 workers upload against 5 curl uploads     1400.0     1500.0   0.9333\n"
                "nginx download against iperf3                3580.4     4555.6   0.7859\n"
                "service unthrottled download CPU s/Gbit against iperf3      0.034      0.035   0.9766\n"
                "nginx download CPU s/Gbit against iperf3          -\n")
        got = rows(t.transfer, text)
        cases = [  # (row, figure, met)
            ("bandwidth test, loopback, upload to the service", "5.99 Gbit/s", "yes"),
            ("bandwidth test, loopback, upload to nginx", "1.73 Gbit/s", "NO"),
            ("bandwidth test, loopback, download from nginx", "3.58 Gbit/s", "NO"),
            ("upload to nginx, 1 worker, beside 5 curl uploads to it", "1.73 Gbit/s", "yes"),
            ("bandwidth test, loopback, upload to the service, beside iperf3 -P 5 -F sending a file", "5.99 Gbit/s",
             "yes"),
            ("upload to nginx, 4 workers, beside 5 curl uploads to it", "1.40 Gbit/s", "NO"),
            ("bandwidth test, loopback, upload to nginx, 4 workers", "-", "no figure"),
            ("bandwidth test, loopback, download from the service", "-", "no figure (transfer did not run or failed)"),
            ("CPU per gigabit, download (service)", "0.034 CPU s/Gbit", "shown"),
            ("CPU per gigabit, download (nginx)", "-", "no figure"),
        ]
        for what, figure, met in cases:
            with self.subTest(what):
                self.assertEqual((got[what][1], got[what][5]), (figure, met))

    def test_timed_download_and_downloader_against_curl(self):
        cases = [  # (ours, curl, met)
            ("21.000", "20.000", "yes"), ("23.000", "20.000", "NO"), ("5.000", "81.466", "yes")]
        for ours, curl, met in cases:
            text = ("refsvc  http://x/  rounds=9 failed=0\n  load ms      TimedGet 1731.000   curl 1711.672   ratio 1.011\n"
                    "nginx   http://y/  rounds=9 failed=0\n  connect ms   TimedGet    0.000   curl    0.259   ratio n/a\n"
                    "  load ms      TimedGet   %s   curl   %s   ratio x\n" % (ours, curl))
            with self.subTest(ours=ours, curl=curl):
                row = rows(t.download, text)["file download (TimedGet), 200 MiB from nginx"]
                self.assertEqual(row[5], met)
        text = ("  downloader                 median   1.046 s     244.7 MiB/s\n"
                "  aria2c -x10 -s10 -k1M      median   0.500 s     178.9 MiB/s\n"
                "  curl                       median   0.900 s     346.6 MiB/s\n"
                "  curl, 200 KiB ranges in turn   median   0.800 s     320.0 MiB/s\n")
        got = rows(t.update, text)
        cases = [  # (row, ratio, met)
            ("segmented downloader, one connection, 256 MiB from nginx", "1.16x", "yes"),
            ("segmented downloader, one connection, beside curl asking the same 200 KiB ranges in turn", "1.31x",
             "NO"),
        ]
        for what, ratio, met in cases:
            with self.subTest(what):
                self.assertEqual((got[what][3], got[what][5]), (ratio, met))

    def test_accuracy_against_the_payload_limit(self):
        text = ("   20 download       17.7    18.56    18.52    18.97    18.96    19.13  0.9785 12809/10685\n"
                "   20 upload         17.7    18.70    18.52    18.82    18.96    19.13  0.9936  9000/11000\n"
                " 1000 download      898.8   942.46   942.51   943.59   948.71   956.41  0.9988         1/0\n"
                " 1000 upload        911.6   955.88   955.92   947.89   952.52   956.41  1.0084         0/0\n"
                " 2500 upload            -        -        -  2318.60  2318.29  2391.02  failed        41/0\n"
                " 2500 download     2100.0  2200.00  2200.00  2340.00  2341.00  2391.02  0.9402         0/0\n")
        got = rows(t.accuracy, text, "")
        cases = [
            ("accuracy, 20 Mbit/s tbf line, download", "NO"),  # 0.970 beside iperf3's 0.992
            ("accuracy, 20 Mbit/s tbf line, upload", "yes"),  # 0.978 of the limit, iperf3's 0.984
            ("accuracy, 1000 Mbit/s tbf line, download", "NO; iperf3 misses it too"),
            ("accuracy, 1000 Mbit/s tbf line, upload", "yes"),
            ("accuracy, 2500 Mbit/s tbf line, upload", "NO (the run failed)"),
            ("accuracy, 2500 Mbit/s tbf line, download", "NO; iperf3 misses by less"),
        ]
        for what, met in cases:
            with self.subTest(what):
                self.assertEqual(got[what][5], met)
        self.assertEqual(list(rows(t.accuracy, None, "accuracy: needs root").values())[0][5], "accuracy: needs root")

    def test_tray_memory_is_judged_on_the_figure_line_alone(self):
        what = "Quorvane in the tray after a round (PSS, process tree)"
        cases = [  # (output, figure, met)
            ("round 1 ...\ntray_pss_mb 149.9\n", "149.9 MB", "yes"),
            ("tray_pss_mb 151.7\n", "151.7 MB", "NO"),
            ("memory in the tray after round 1: PSS 120 MB\n", "-", "no figure (see memory.err)"),
        ]
        for text, figure, met in cases:
            with self.subTest(text=text):
                row = rows(t.memory, text)[what]
                self.assertEqual((row[1], row[5]), (figure, met))
        ceiling = "Quorvane in the tray, each resident page of the tree once (the PSS ceiling)"
        got = rows(t.memory, "tray_pss_mb 93.9\ntray_resident_once_mb 151.2\n")
        self.assertEqual((got[ceiling][1], got[ceiling][5]), ("151.2 MB", "NO"))
        self.assertNotIn(ceiling, rows(t.memory, "tray_pss_mb 93.9\n"))

    def test_fuzz_runs_meet_the_target_only_whole_and_clean(self):
        text = ("target                   executions    seconds     exec/s  result\n"
                "fuzz_a                     10000000      100.0     100000  clean\n"
                "fuzz_b                      9999999      100.0     100000  clean\n"
                "fuzz_c                     10000000      100.0     100000  FAILED (see x.log)\n")
        got = rows(t.fuzz, text, 10000000)
        self.assertEqual([got["fuzzing, " + n][5] for n in ("fuzz_a", "fuzz_b", "fuzz_c")],
                         ["yes", "NO", "NO (FAILED (see x.log))"])


if __name__ == "__main__":
    unittest.main()
