#!/usr/bin/env python3
"""korvane legacy against korvane-sim --protocol v1 on a pty, and at 2.00/3.00 over TCP."""
import os
import unittest

from e2e_lib import Sim, Workdir, copy_samples, korvane, read_bytes, write_rows

ROWS = 1000


class LegacyCliTest(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.dir = self.work.__enter__()
        self.data = copy_samples(os.path.join(self.dir, "data"))
        self.rows = write_rows(os.path.join(self.dir, "rows.csv"), ROWS)

    def tearDown(self):
        self.work.__exit__(None, None, None)

    def test_rows_each_way_on_a_pty_at_one_hundred(self):
        # The terminal NAKs the first row once: the engine sends it again and nothing is doubled.
        write_rows(os.path.join(self.data, "journal.csv"), ROWS, width=60, seed=2)
        with Sim("pty", "v1", self.dir, "--nak", "1", data=self.data) as s:
            out = os.path.join(self.dir, "got.csv")
            r = korvane(s.port, "legacy", "cmd", "021", "recv", "-o", out)
            self.assertEqual(r.code, 0, r)
            self.assertIn("received %d rows" % ROWS, r.err)
            self.assertEqual(read_bytes(out), read_bytes(os.path.join(self.data, "journal.csv")))
            r = korvane(s.port, "legacy", "cmd", "002", "cmd", "111", "send", self.rows, "cmd", "003", "line")
            self.assertEqual(r.code, 0, r)
            self.assertIn("sent %d rows" % ROWS, r.err)
            self.assertEqual(r.out, "SYNC;0;\n")
            self.assertEqual(read_bytes(os.path.join(self.data, "uploaded", "operations.csv")), read_bytes(self.rows))
            # A two-character command is refused before the port opens; at 1.00 there is no link check.
            r = korvane(s.port, "legacy", "cmd", "02")
            self.assertEqual(r.code, 2, r)
            r = korvane(s.port, "legacy", "online")
            self.assertEqual(r.code, 1, r)
            self.assertIn("legacy online failed: result 0", r.err)
            journal = s.journal()
        self.assertIn("CMD 021", [" ".join(l.split()[:2]) for l in journal])

    def test_a_damaged_line_fails_naming_its_quality(self):
        # 1% of the bytes: most blocks are damaged, the retries run out, and the failure says why.
        write_rows(os.path.join(self.data, "journal.csv"), ROWS, width=60, seed=2)
        quality = (r"; Линия связи искажает данные: из последних \d+ блоков повторены, потеряны или повреждены "
                   r"[1-9]\d*, искажено около \d+\.\d\d% байт \(протокол 1\.00\)\.\n")
        with Sim("pty", "v1", self.dir, "--corrupt", "0.01", "--seed", "1", data=self.data) as s:
            for args in (["cmd", "021", "recv", "-o", os.path.join(self.dir, "got.csv")],
                         ["cmd", "002", "cmd", "111", "send", self.rows]):
                r = korvane(s.port, "legacy", *args)
                self.assertEqual(r.code, 1, r)
                self.assertRegex(r.err, r"failed: result 0: .*" + quality)
                self.assertLess(r.seconds, 20, r)

    def test_framed_versions_over_tcp(self):
        for protocol, version in (("v2", "2.00"), ("v3", "3.00")):
            with self.subTest(protocol), Sim("tcp", protocol, self.dir, data=self.data) as s:
                r = korvane(s.port, "legacy", "--protocol", version, "online", "2000", "cmd", "002", "cmd", "111",
                            "send", self.rows, "cmd", "003", "line")
                self.assertEqual(r.code, 0, r)
                self.assertIn("online (4)", r.out)
                self.assertEqual(read_bytes(os.path.join(self.data, "uploaded", "operations.csv")),
                                 read_bytes(self.rows))
        r = korvane("LAN:127.0.0.1:1", "legacy", "--protocol", "3", "online")
        self.assertEqual(r.code, 1, r)
        self.assertIn("cannot open LAN:127.0.0.1:1 at 3.00", r.err)


if __name__ == "__main__":
    unittest.main()
