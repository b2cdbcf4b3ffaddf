#!/usr/bin/env python3
"""korvane collect against four simulators at once: two that deliver (TCP v3, pty v2), one killed
mid-transfer and one with the first one's device ID; then two slow ones interrupted."""
import os
import re
import signal
import subprocess
import time
import unittest

from e2e_lib import CLI, CLI_TIMEOUT_S, ENV, Sim, Workdir, korvane, read_bytes, write_rows

DOWNLOAD_JOURNAL = "CMD 021"


class CollectTest(unittest.TestCase):
    def test_each_terminal_whole_or_not_at_all(self):
        with Workdir() as work:
            sims = []

            def sim(name, transport, protocol, rows, seed, *extra):
                folder = os.path.join(work, name)
                os.makedirs(folder)
                write_rows(os.path.join(folder, "journal.csv"), rows, seed=seed)
                write_rows(os.path.join(folder, "journal2.csv"), rows, seed=seed)
                s = Sim(transport, protocol, folder, "--quiet", *extra, data=folder)
                sims.append(s)
                return s

            try:
                a = sim("a", "tcp", "v3", 1000, 1, "--model", "CT-60;A1")
                b = sim("b", "pty", "v2", 800, 2, "--model", "CT-40;Б/2")
                # Paced so that its download is still running when it is killed.
                c = sim("c", "tcp", "v3", 2000, 3, "--model", "CT-60;C3", "--baud", "57600")
                d = sim("d", "tcp", "v3", 10, 4, "--model", "CT-40;A1")
                out = os.path.join(work, "out")
                os.makedirs(out)
                with open(os.path.join(out, "A1.csv"), "wb") as f:
                    f.write(b"yesterday\r\n")
                with open(os.path.join(out, "C3.csv"), "wb") as f:
                    f.write(b"yesterday\r\n")
                env = dict(ENV, KORVANE_SYSFS_ROOT=os.path.join(work, "no-sys"))
                cmd = [CLI] + [x for s in (a, b, c, d) for x in ("--port", s.port)] + ["collect", "journal", "-o", out]
                proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
                deadline = time.monotonic() + CLI_TIMEOUT_S
                while DOWNLOAD_JOURNAL not in c.journal() and time.monotonic() < deadline:
                    time.sleep(0.05)
                time.sleep(0.3)
                c.kill()
                stdout, stderr = proc.communicate(timeout=CLI_TIMEOUT_S)
                text, err = stdout.decode(), stderr.decode()
                report = "exit %s\n%s%s" % (proc.returncode, text, err)
                self.assertEqual(proc.returncode, 1, report)

                # Whole tables where the terminal delivered; the killed one's old file untouched and
                # no partial file anywhere; the duplicate ID written by nobody but the first.
                self.assertEqual(sorted(os.listdir(out)), ["A1.csv", "C3.csv", "Б_2.csv"], report)
                self.assertEqual(read_bytes(os.path.join(out, "A1.csv")), read_bytes(os.path.join(work, "a", "journal.csv")))
                self.assertEqual(read_bytes(os.path.join(out, "Б_2.csv")), read_bytes(os.path.join(work, "b", "journal.csv")))
                self.assertEqual(read_bytes(os.path.join(out, "C3.csv")), b"yesterday\r\n")
                self.assertEqual([l for l in d.journal() if l.startswith("CMD 02")], [], "the duplicate was downloaded")

                lines = text.splitlines()
                self.assertRegex(lines[0], r"^PORT +DEVICE ID +ROWS +SECONDS +RESULT$")
                num = r" +\d+\.\d{3}  "
                expected = [
                    r"%s +A1 +1000%swritten to %s/A1\.csv" % (re.escape(a.port), num, re.escape(out)),
                    r"%s +Б/2 +800%swritten to %s/Б_2\.csv" % (re.escape(b.port), num, re.escape(out)),
                    r"%s +C3 +-%srecv failed: result -\d+ \[.+\]: .+; \d+ rows received, none kept" % (re.escape(c.port), num),
                    r"%s +A1 +-%sdevice ID A1 is also on %s: not downloaded, so neither overwrites the other's "
                    r"A1\.csv \(give each terminal its own ID\)" % (re.escape(d.port), num, re.escape(a.port)),
                ]
                self.assertEqual(len(lines), 1 + len(expected), report)
                for line, pattern in zip(lines[1:], expected):
                    self.assertRegex(line, "^" + pattern + "$")
                self.assertRegex(err, r"^4 terminals: 2 written, 2 failed in \d+\.\d\d s\n$")

                # All delivered: exit 0; ports nothing answers on count only when given.
                r = korvane(None, "--port", a.port, "--port", b.port, "collect", "0", "-o", out, env=env)
                self.assertEqual(r.code, 0, r)
                r = korvane(None, "collect", "journal", "-o", out, env=dict(env, KORVANE_PORT=c.port))
                self.assertEqual(r.code, 1, r)
                self.assertRegex(r.out, r"(?m)^%s +- +- +\d+\.\d{3}  no terminal: connect failed" % re.escape(c.port))
                self.assertEqual(sorted(os.listdir(out)), ["A1.csv", "C3.csv", "Б_2.csv"])

                # Interrupted while two files are being written: both partial files go.
                slow = [sim("e%d" % i, "tcp", "v3", 2000, 5 + i, "--model", "CT;E%d" % i, "--baud", "57600")
                        for i in range(2)]
                cmd = [CLI] + [x for s in slow for x in ("--port", s.port)] + ["collect", "journal", "-o", out]
                proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
                deadline = time.monotonic() + CLI_TIMEOUT_S
                while time.monotonic() < deadline and sum(
                        os.path.getsize(os.path.join(out, n)) > 1000 for n in os.listdir(out) if ".partial-" in n) < 2:
                    time.sleep(0.05)
                self.assertEqual(len([n for n in os.listdir(out) if ".partial-" in n]), 2, "the downloads never started")
                proc.send_signal(signal.SIGINT)
                proc.communicate(timeout=CLI_TIMEOUT_S)
                self.assertEqual(proc.returncode, -signal.SIGINT)
                self.assertEqual(sorted(os.listdir(out)), ["A1.csv", "C3.csv", "Б_2.csv"])
            finally:
                for s in sims:  # all told at once: each takes a moment to stop
                    if s.proc.poll() is None:
                        s.proc.terminate()
                for s in sims:
                    s.stop()


if __name__ == "__main__":
    unittest.main()
