#!/usr/bin/env python3
"""korvane and korvane-sim --device on the two ends of a virtual serial pair: python3 serial_pair_test.py v2|v3

The pair stands in for a null-modem cable: the simulator opens a device it did not create, and the
PC's closes and opens of its end never reach it.
"""
import os
import sys
import time
import unittest

from e2e_lib import SerialPair, Sim, Workdir, copy_samples, korvane, read_bytes, write_rows

PROTOCOL = "v3"
ROWS = 2000
# The simulator looks for a vanished device every half second.
REOPEN_WAIT_S = 5


class SerialPairTest(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.dir = self.work.__enter__()
        self.pairs = []
        self.sim = None

    def tearDown(self):
        if self.sim:
            self.sim.stop()
        for p in self.pairs:
            p.stop()
        self.work.__exit__(None, None, None)

    def pair(self):
        p = SerialPair(self.dir)
        self.pairs.append(p)
        return p

    def wait_for_line(self, line):
        deadline = time.monotonic() + REOPEN_WAIT_S
        while line not in self.sim.journal():
            self.assertLess(time.monotonic(), deadline, "%r never came: %r" % (line, self.sim.journal()))
            time.sleep(0.05)

    def test_download_and_upload_over_the_pair_then_a_new_pair(self):
        data = copy_samples(os.path.join(self.dir, "data"))
        table = write_rows(os.path.join(data, "journal.csv"), ROWS)
        upload = write_rows(os.path.join(self.dir, "goods2.csv"), ROWS, seed=5)
        pair = self.pair()
        self.sim = Sim("device:" + pair.b, PROTOCOL, self.dir, data=data)

        out = os.path.join(self.dir, "journal.csv")
        r = korvane(pair.a, "recv", "journal", "-o", out)
        self.assertEqual(r.code, 0, r)
        self.assertEqual(read_bytes(out), read_bytes(table))
        r = korvane(pair.a, "send", "goods2", upload)
        self.assertEqual(r.code, 0, r)
        self.assertEqual(read_bytes(os.path.join(data, "uploaded", "goods2.csv")), read_bytes(upload))
        r = korvane(pair.a, "info")
        self.assertIn("protocol:   %s\n" % ("3.00" if PROTOCOL == "v3" else "2.00"), r.out, r)
        # The PC opened and closed its end three times and the device stayed open: each handshake
        # began a session, the last one still open.
        j = self.sim.journal()
        marks = [l.split(" ")[0] + " " + l.split(" ")[1] for l in j if l.startswith(("SESSION", "END"))]
        self.assertEqual(marks, ["SESSION 1", "END 1", "SESSION 2", "END 2", "SESSION 3"])

        # The pair goes away (the adapter pulled out): the session ends, and the simulator serves
        # the device again once it is back.
        pair.stop()
        deadline = time.monotonic() + REOPEN_WAIT_S
        while not any(l.startswith("END 3 ") for l in self.sim.journal()):
            self.assertLess(time.monotonic(), deadline, "the session outlived its device")
            time.sleep(0.05)
        pair = self.pair()
        deadline = time.monotonic() + REOPEN_WAIT_S
        while "device %s open again" % pair.b not in self.sim.errors():
            self.assertLess(time.monotonic(), deadline, self.sim.errors())
            time.sleep(0.05)
        self.assertIn("device %s gone; waiting for it" % pair.b, self.sim.errors())
        r = korvane(pair.a, "recv", "service", "-o", "-")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(r.raw_out, read_bytes(os.path.join(data, "service.csv")))
        self.wait_for_line("SESSION 4")
        self.assertIsNone(self.sim.proc.poll(), self.sim.errors())


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] in ("v2", "v3"):
        PROTOCOL = sys.argv[1]
        del sys.argv[1]
    unittest.main(verbosity=2)
