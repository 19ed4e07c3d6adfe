#!/usr/bin/python3
"""Checks of the bench's reader and judge: /usr/bin/python3 bench/unattended/test_unattended.py"""
import tempfile
import unittest
import zipfile
from pathlib import Path

import unattended as u

VIDEO = ("+++start+++\r\nurl=http://h/v.mp4\r\nmediatype=3\r\nspeed=488.20\r\nifcompleted=1\r\n"
         "location=广东省深圳市 电信\r\ntesttype=0\r\nMAXSPEED=490.00\r\n---end---\r\n").encode("gbk")
SCREEN = b"+++start+++\nurl=http://h/p?a=1\nfirstscreentime=0.312\nloadingtime=\nuserid=10001\ntesttype=0\n---end---"


class ReaderTest(unittest.TestCase):
    def test_records_in_archives_and_waiting_files(self):
        with tempfile.TemporaryDirectory() as d:
            with zipfile.ZipFile(Path(d, "20261208090102_1024_Pccollect.zip"), "w") as z:
                z.writestr("Pccollect_videospeed_2026120809.dat", VIDEO)
                z.writestr("Pccollect_screen_2026120809.dat.1", SCREEN)
            Path(d, "Pccollect_band_2026120809.dat").write_bytes(b"+++start+++\nbandwidth=38.1\n")
            Path(d, "packing.journal").write_text("x")
            got = {(kind, dict(fields).get("speed") or dict(fields).get("url")) for _, kind, fields in
                   u.load_records(d)}
        self.assertEqual(got, {("videospeed", "488.20"), ("screen", "http://h/p?a=1"), ("broken", None)})

    def test_fields_keep_empty_values_and_gbk_text(self):
        fields = dict(u.parse_record(VIDEO))
        self.assertEqual(fields["location"], "广东省深圳市 电信")
        self.assertEqual(dict(u.parse_record(SCREEN))["loadingtime"], "")


class JudgeTest(unittest.TestCase):
    def test_figures_against_the_truth(self):
        t = u.truths(band_down=40, band_up=20, line=4, grow_ms=300)
        band_down, band_up = t["band"]
        cases = [  # (row, record text, verdict)
            (band_down, "38.1", "PASS"),  # 40 * 10^6 bits are 38.15 binary megabits
            (band_down, "40.0", "FAIL"),  # decimal megabits would be 4.9 % high
            (band_up, "2.38", "PASS"),  # 20 Mbit/s = 2.384 MB/s
            (t["videospeed"][0], "488.28", "PASS"),
            (t["filedown"][0], "512.00", "FAIL"),  # a 2.1 s load over 2 whole seconds
            (t["filedown"][0], "0", "FAIL"),
            (t["filedown"][0], "", "FAIL"),
            (t["screen"][0], "0.330", "PASS"),
            (t["screen"][0], "0.331", "FAIL"),
            (t["screen"][0], "10.000", "FAIL"),
        ]
        for (label, _, truth, tolerance, relative), text, verdict in cases:
            with self.subTest(label=label, text=text):
                self.assertEqual(u.judge(text, truth, tolerance, relative)[1], verdict)

    def test_speeds_judged_against_what_the_line_carried(self):
        # 2 Mbit/s is 244.14 KB/s; the second video body was sent late, and
        # the file's first byte came 300 ms after its request.
        carried = u.parse_carried(
            "type=application/octet-stream length=1048576 bytes=1048576 first_piece=1250 request_ms=-290 first_ms=10"
            " last_ms=4200\n"
            "type=video/mp4 length=366008 bytes=366008 first_piece=1250 request_ms=4990 first_ms=5000 last_ms=6459\n"
            "type=video/mp4 length=366008 bytes=366008 first_piece=1250 request_ms=6990 first_ms=7000"
            " last_ms=8789.6\n"
            "type=application/octet-stream length=1048576 bytes=2000 first_piece=1250 first_ms=9000 last_ms=9000\n"
            "garbage\n")
        t = u.truths(band_down=40, band_up=20, line=2, grow_ms=300, carried=carried)
        cases = [  # (kind, record text, verdict)
            ("videospeed", "199.00", "PASS"),  # the line carried 199.0 KB/s over the latest whole clip
            ("videospeed", "244.14", "FAIL"),  # the rate the line did not keep
            ("filedown", "228.00", "PASS"),  # 1 MB over 4.49 s; the cut-short body does not count
            ("filedown", "243.90", "FAIL"),  # the body alone, without the wait for it
        ]
        for kind, text, verdict in cases:
            with self.subTest(kind=kind, text=text):
                _, _, truth, tolerance, relative = t[kind][0]
                self.assertEqual(u.judge(text, truth, tolerance, relative)[1], verdict)
        self.assertIsNone(u.carried_kbps(carried[:1], "videospeed"))
        self.assertEqual(u.truths(40, 20, 2, 300)["videospeed"][0][2], 2e6 / 8 / 1024)

    def test_bandwidth_judged_against_what_each_direction_carried(self):
        # 40/20 Mbit/s; after its ramp-up the upload carried 2,250,000 bytes
        # a second (90 %); the video later on the down line is another
        # stretch.
        line = u.parse_line("\n".join(
            ["dir=down second=%d bytes=%d" % (s, 5000000 if 3 < s < 20 else 900) for s in range(3, 21)] +
            ["dir=down second=40 bytes=250000", "dir=up second=25 bytes=100"] +
            ["dir=up second=%d bytes=%d" % (s, 2500000 if s < 31 else 2250000) for s in range(26, 42)] +
            ["dir=up second=42 bytes=5", "junk"]))
        down, up = u.truths(40, 20, 2, 300, line_seconds=line)["band"]
        cases = [  # (row, record text, verdict)
            (down, "38.1", "PASS"),
            (up, "2.14", "PASS"),  # 2,250,000 B/s is 2.146 MB/s
            (up, "2.38", "FAIL"),  # the rate the line did not keep
        ]
        for (label, _, truth, tolerance, relative), text, verdict in cases:
            with self.subTest(label=label, text=text):
                self.assertEqual(u.judge(text, truth, tolerance, relative)[1], verdict)
        self.assertIsNone(u.line_carried_mb(line["up"][:9]))

    def test_failing_round(self):
        records = [("a.zip", "screen", [("firstscreentime", "10.000"), ("testtype", "0")]),
                   ("a.zip", "error", [("error", "1")])]
        rows = {r[0]: r[2] for r in u.failing_rows(records, ran={"band", "screen", "videospeed"})}
        self.assertEqual(rows, {"web page": "FAIL", "bandwidth": "PASS", "video": "PASS",
                                "file download": "NOT RUN", "(error)": "-"})

    def test_records_that_are_not_the_users_automatic_results(self):
        own = [("userid", "10001"), ("ip", "127.0.0.1"), ("location", "广东省深圳市 电信"), ("testtype", "0")]
        cases = [  # (fields besides the figure, verdict, notes)
            (own, "PASS", "a.zip"),
            (own[:3] + [("testtype", "1")], "FAIL", "a.zip testtype=1"),
            ([("userid", "10001"), ("ip", ""), ("location", " "), ("testtype", "0")], "FAIL", "a.zip no ip no location"),
            ([("userid", "10002")] + own[1:], "FAIL", "a.zip userid=10002"),
        ]
        for fields, verdict, notes in cases:
            with self.subTest(fields=fields):
                rows = u.truth_rows([("a.zip", "videospeed", [("speed", "488.28")] + fields)], u.truths(40, 20, 4, 300),
                                    ran={"videospeed", "screen"}, user="10001")
                by_test = {r[0]: (r[6], r[7]) for r in rows}
                self.assertEqual(by_test["video"], (verdict, notes))
                self.assertEqual(by_test["web page"], ("FAIL", ""))
                self.assertEqual(by_test["file download"], ("FAIL", "the test did not start"))


class ConfigTest(unittest.TestCase):
    def test_one_selected_target_per_test(self):
        template = Path(__file__).resolve().parents[2].joinpath("dist/Config/settings.xml").read_text("utf-8")
        out = u.with_tasks(template, "http://w/p?a=1&b=2", "http://v", "http://d")
        self.assertIn("http://w/p?a=1&amp;b=2</item>", out)
        self.assertEqual(out.count("<item id=\"1\" name=\"bench\" selected=\"true\">"), 3)
        self.assertNotIn("selected=\"false\"", out.split("</tasks>")[0])
        self.assertIn("<autoFile>", out)

    def test_ku6_information_host(self):
        sites = ('<site label="ku6"><host role="page">P</host><host role="info">http://a</host></site>'
                 '<site label="tudou"><host role="info">http://a</host></site>')
        self.assertEqual(u.with_ku6_info(sites, "http://b").count("http://b"), 1)


class MemoryTest(unittest.TestCase):
    def test_the_tree_below_the_program_and_nothing_else(self):
        procs = [  # (pid, parent, name, PSS kB, RSS kB); None: ended before its memory was read
            (100, 1, "Quorvane", 102400, 204800),
            (101, 100, "QtWebEngineProc", 10240, 81920),
            (102, 101, "QtWebEngineProc", 51200, 122880),
            (103, 102, "a) (b", 1024, 2048),  # brackets and spaces in the name
            (104, 100, "gone", None, None),
            (200, 1, "neighbour", 999999, 999999),
            (201, 200, "its child", 999999, 999999),
        ]
        with tempfile.TemporaryDirectory() as d:
            for pid, ppid, name, pss, rss in procs:
                folder = Path(d, str(pid))
                folder.mkdir()
                folder.joinpath("stat").write_text(f"{pid} ({name}) S {ppid} {pid} {pid} 0 -1\n")
                folder.joinpath("comm").write_text(name + "\n")
                if pss is not None:
                    folder.joinpath("smaps_rollup").write_text(
                        f"00400000-7fff [rollup]\nRss: {rss} kB\nPss: {pss} kB\nPss_Anon: 1 kB\n")
            Path(d, "self").mkdir()
            rows = u.tree_memory(100, d)
        self.assertEqual([r[0] for r in rows], [100, 101, 102, 103])
        self.assertEqual(rows[3][1:], ("a) (b", 1024, 2048))
        self.assertEqual(sum(r[2] for r in rows), 164864)


if __name__ == "__main__":
    unittest.main()
