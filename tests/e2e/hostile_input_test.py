#!/usr/bin/env python3
"""korvane and korvane-sim given what a careless or hostile user gives them: names, files and
descriptors that cannot carry the data. Each is refused before anything is sent, or the data
arrives whole where it was meant to go; nothing is lost while success is reported."""
import glob
import os
import pty
import select
import signal
import socket
import stat
import subprocess
import threading
import time
import tty
import unittest

from e2e_lib import CLI, ENV, SAMPLES, SIM, SimCase, korvane, read_bytes, write_rows

JOURNAL = os.path.join(SAMPLES, "journal.csv")
NOBODY = 65534


def run_shell(script, *args, timeout_s=60):
    """A shell line (for closed descriptors and redirections) with the tool as "$K"."""
    proc = subprocess.run(["sh", "-c", script, "sh"] + [str(a) for a in args], env=dict(ENV, K=CLI),
                          capture_output=True, timeout=timeout_s)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")


class Relay:
    """A TCP relay between the tool and the simulator that keeps every byte the tool sent."""

    def __init__(self, sim_port):
        host, port = sim_port.split(":")[1:]
        self.target = (host, int(port))
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = "LAN:127.0.0.1:%d" % self.listener.getsockname()[1]
        self.from_tool = b""
        self.sockets = []
        self.threads = [threading.Thread(target=self._serve, daemon=True)]
        self.threads[0].start()

    def _pump(self, src, dst, keep):
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            if keep:
                self.from_tool += data
            try:
                dst.sendall(data)
            except OSError:
                break
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _serve(self):
        while True:
            try:
                tool, _ = self.listener.accept()
            except OSError:
                return
            sim = socket.create_connection(self.target)
            self.sockets += [tool, sim]
            for args in ((tool, sim, True), (sim, tool, False)):
                t = threading.Thread(target=self._pump, args=args, daemon=True)
                t.start()
                self.threads.append(t)

    def close(self):
        self.listener.close()
        for t in self.threads[1:]:
            t.join(timeout=10)
        for s in self.sockets:
            s.close()


class HostileInputTest(SimCase):
    def sessions(self, s):
        return [l for l in s.journal() if l.startswith("SESSION ")]

    def test_refused_before_the_port_opens(self):
        s = self.sim()
        port = int(s.port.rsplit(":", 1)[1])
        same = os.path.join(self.dir, "same.csv")
        with open(same, "wb") as f:
            f.write(b"a;1\r\n")
        missing = os.path.join(self.dir, "no-such-folder", "x")
        fifo = os.path.join(self.dir, "rows.fifo")  # counted, its rows would be gone before sending
        os.mkfifo(fifo)
        bad_name = "Неверное имя порта (%s)"
        wrapped, suffixed, spaced = ("LAN:127.0.0.1:%d" % (port + 65536), "LAN:127.0.0.1:%dabc" % port,
                                     "LAN:127.0.0.1: %d" % port)
        cases = [
            # A log or output over an input would grow or replace what is being read.
            ((s.port, "--log", same, "send", "goods", same), 2, "%s is both the log and an input file" % same),
            ((s.port, "--log", same, "recv", "journal", "-o", same), 2, "%s is both the log and the output" % same),
            ((s.port, "send", "goods", JOURNAL, "--oper-id", "-5"), 2,
             "--oper-id needs a whole number of 0 or more, not '-5'"),
            ((s.port, "recv", "journal", "-o", missing), 1,
             "cannot write the output %s: no folder %s" % (missing, os.path.dirname(missing))),
            ((s.port, "recv", "journal", "-o", self.dir), 1, "cannot write the output %s: Is a directory" % self.dir),
            ((s.port, "send", "goods", self.data), 1, "cannot read %s: Is a directory" % self.data),
            ((s.port, "send", "goods", fifo), 1, "cannot read %s: not a regular file" % fifo),
            ((s.port, "--log", missing, "info"), 1, "cannot write the log %s: no folder" % missing),
            ((s.port, "legacy", "--protocol", "3", "send", self.data), 1, "cannot read %s: Is a directory" % self.data),
            # Charsets that would garble every row, and command codes that would be cut or unanswered.
            ((s.port, "--charset", "UTF-16", "info"), 2, "UTF-16 is not a charset the terminal can use"),
            ((s.port, "--charset", "UTF-8", "info"), 2, "UTF-8 is not a charset the terminal can use"),
            ((s.port, "--charset", "", "info"), 2, "unknown charset ''"),
            ((s.port, "cmd", "12345"), 2, "a command CODE is three characters, not '12345'"),
            ((s.port, "legacy", "--protocol", "3", "cmd", "ABCDEFGH"), 2, "three characters, not 'ABCDEFGH'"),
            ((s.port, "legacy", "--protocol", "3", "cmd", ""), 2, "three characters, not ''"),
            # A port number that is not 1..65535 in digits is a bad name, never another port.
            ((wrapped, "info"), 4, bad_name % wrapped),
            ((suffixed, "info"), 4, bad_name % suffixed),
            ((spaced, "info"), 4, bad_name % spaced),
            (("LAN:127.0.0.1:abc", "info"), 4, bad_name % "LAN:127.0.0.1:abc"),
            (("LAN:127.0.0.1:-5", "info"), 4, bad_name % "LAN:127.0.0.1:-5"),
            (("LAN:127.0.0.1:99999", "info"), 4, bad_name % "LAN:127.0.0.1:99999"),
            (("LAN:nosuch.invalid:%d" % port, "info"), 4, "(LAN:nosuch.invalid:%d) Name or service not known" % port),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                r = korvane(*args)
                self.assertEqual(r.code, status, r)
                self.assertIn(text, r.err, r)
                self.assertNotIn("No route to host", r.err)
        self.assertEqual(self.sessions(s), [], "a refused run reached the terminal")
        self.assertEqual(read_bytes(same), b"a;1\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.data, "uploaded", "goods.csv")))

    def test_output_files_keep_their_kind(self):
        s = self.sim()
        want = read_bytes(JOURNAL)
        target = os.path.join(self.dir, "private.csv")
        with open(target, "wb") as f:
            f.write(b"old\r\n")
        os.chmod(target, 0o600)
        link = os.path.join(self.dir, "link.csv")
        os.symlink("private.csv", link)
        shared = os.path.join(self.dir, "shared.csv")
        with open(shared, "wb") as f:
            f.write(b"old\r\n")
        os.chmod(shared, 0o640)
        fifo = os.path.join(self.dir, "rows.fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        null_link = os.path.join(self.dir, "null.csv")
        os.symlink(os.devnull, null_link)
        master, slave = pty.openpty()
        tty.setraw(slave)
        device = os.ttyname(slave)
        try:
            for out in (link, shared, fifo, null_link, device):
                with self.subTest(out=out):
                    r = korvane(s.port, "recv", "journal", "-o", out)
                    self.assertEqual(r.code, 0, r)
            got_fifo = os.read(reader, 1 << 16)
            got_device = b""
            while len(got_device) < len(want) and select.select([master], [], [], 5)[0]:
                got_device += os.read(master, 1 << 16)
        finally:
            os.close(reader)
            os.close(master)
            os.close(slave)
        # The link stays a link, its target takes the rows and keeps its mode; so does a file.
        self.assertTrue(os.path.islink(link))
        self.assertEqual((read_bytes(target), stat.S_IMODE(os.stat(target).st_mode)), (want, 0o600))
        self.assertEqual((read_bytes(shared), stat.S_IMODE(os.stat(shared).st_mode)), (want, 0o640))
        # A pipe and a device are written in place, never replaced.
        self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))
        self.assertEqual(got_fifo, want)
        self.assertEqual(got_device, want)
        self.assertEqual(os.readlink(null_link), os.devnull)
        self.assertEqual(glob.glob(os.path.join(self.dir, "*.partial-*")), [])
        # What is printed counts only if it can be written.
        for args in (("info",), ("get-id", "operations")):
            with self.subTest(args=args):
                code, _, err = run_shell('p=$1; shift; "$K" --port "$p" "$@" > /dev/full', s.port, *args)
                self.assertEqual(code, 1, err)
                self.assertIn("korvane: writing standard output failed: No space left on device", err)

    def test_closed_standard_streams_never_reach_the_link(self):
        s = self.sim()
        relay = Relay(s.port)
        out = os.path.join(self.dir, "j.csv")
        try:
            code, _, err = run_shell('"$K" --port "$1" recv journal >&-', relay.port)
            self.assertEqual(code, 0, err)
            code, out_text, _ = run_shell('"$K" --port "$1" recv journal -o "$2" 2>&-', relay.port, out)
            self.assertEqual(code, 0, out_text)
        finally:
            relay.close()
        self.assertEqual(read_bytes(out), read_bytes(JOURNAL))
        first_row = read_bytes(JOURNAL).split(b"\r\n")[0]
        self.assertNotIn(first_row, relay.from_tool)
        self.assertNotIn(b"rows of journal written", relay.from_tool)

    def test_partial_files_are_named_or_removed(self):
        # A failed download keeps its rows only under a name the message gives, and never says
        # that a file which did not exist was "left as it was".
        s = self.sim("--lines-count", "9")
        out = os.path.join(self.dir, "new.csv")
        r = korvane(s.port, "recv", "journal", "-o", out)
        self.assertEqual(r.code, 6, r)
        partial = glob.glob(out + ".partial-*")
        self.assertEqual(len(partial), 1, r)
        self.assertIn("korvane: %s not written; the 5 rows received are in %s\n" % (out, partial[0]), r.err)
        self.assertEqual(read_bytes(partial[0]), read_bytes(JOURNAL))
        os.remove(partial[0])
        # Interrupted: the partial file goes with the process.
        write_rows(os.path.join(self.data, "journal.csv"), 20000)
        s = self.sim("--baud", "115200")
        proc = subprocess.Popen([CLI, "--port", s.port, "recv", "journal", "-o", out], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=ENV)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not any(os.path.getsize(p) > 1000 for p in glob.glob(out + ".partial-*")):
            time.sleep(0.05)
        self.assertEqual(len(glob.glob(out + ".partial-*")), 1, "the download never started")
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, -signal.SIGINT, err)
        self.assertEqual(glob.glob(os.path.join(self.dir, "new.csv*")), [])

    def test_permission_hint_names_a_group_that_grants_access(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the tool as another user")
        os.chmod(self.dir, 0o755)
        shared = os.path.join(self.dir, "ttyShared")
        private = os.path.join(self.dir, "ttyPrivate")
        for path, gid, mode in ((shared, 20, 0o660), (private, 0, 0o600)):
            open(path, "wb").close()
            os.chown(path, 0, gid)
            os.chmod(path, mode)
        group = __import__("grp").getgrgid(20).gr_name

        def as_nobody():
            os.setgid(NOBODY)
            os.setgroups([])
            os.setuid(NOBODY)

        for path, hint in ((shared, True), (private, False)):
            with self.subTest(path=path):
                proc = subprocess.run([CLI, "--port", path, "info"], capture_output=True, env=ENV,
                                      preexec_fn=as_nobody, timeout=30)
                err = proc.stderr.decode("utf-8", "replace")
                self.assertEqual(proc.returncode, 4, err)
                self.assertIn("(%s) Permission denied" % path, err)
                if hint:
                    self.assertIn("устройство принадлежит группе %s. Добавьте пользователя в эту группу "
                                  "(usermod -aG %s ИМЯ)" % (group, group), err)
                else:
                    self.assertNotIn("группе", err)

    def test_legacy_failures_say_why(self):
        s = self.sim("--silent-after", "0")
        r = korvane(s.port, "legacy", "--protocol", "3", "online", "300")
        self.assertEqual(r.code, 1, r)
        self.assertRegex(r.err, r"korvane: legacy online failed: result -1: \S")
        self.assertNotIn("korvane.log", r.err)
        r = korvane("LAN:127.0.0.1:99999", "legacy", "--protocol", "2", "online")
        self.assertIn("cannot open LAN:127.0.0.1:99999 at 2.00: Неверное имя порта (LAN:127.0.0.1:99999)", r.err)

    def test_simulator_keeps_to_its_own_link(self):
        a = self.sim(transport="pty")
        before = os.readlink(a.link)
        taker = subprocess.run([SIM, "--pty", "--link", a.link, "--timeout", "5"], capture_output=True, env=ENV,
                               timeout=30)
        self.assertEqual(taker.returncode, 1, taker)
        self.assertIn(b"points at " + before.encode(), taker.stderr)
        self.assertEqual(os.readlink(a.link), before)
        self.assertEqual(korvane(a.link, "beep").code, 0)
        # A link replaced meanwhile is someone else's: the simulator leaves it when it stops.
        os.remove(a.link)
        os.symlink("/nonexistent/tty", a.link)
        a.stop()
        self.sims.remove(a)
        self.assertEqual(os.readlink(a.link), "/nonexistent/tty")
        for args, text in [(("--corrupt", bad), b"--corrupt needs a probability from 0 to 1")
                           for bad in ("nan", "inf", "-0.5")] + [
                (("--charset", "UTF-16"), b"UTF-16 is not a charset the terminal can use"),
                (("--charset", "UTF-8"), b"UTF-8 is not a charset the terminal can use"),
                (("--charset", ""), b"unknown charset ''")]:
            r = subprocess.run([SIM, "--listen", "127.0.0.1:0", *args], capture_output=True, env=ENV, timeout=30)
            self.assertEqual(r.returncode, 2, r)
            self.assertIn(text, r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
