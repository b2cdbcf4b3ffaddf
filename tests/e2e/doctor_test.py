#!/usr/bin/env python3
"""korvane doctor against simulators on ptys and TCP, a silent serial line, a held port, a refused
address and bad usage. The port enumeration is pointed at an empty device tree, so only the ports
given here are checked."""
import fcntl
import grp
import json
import os
import pwd
import re
import select
import shutil
import socket
import subprocess
import threading
import unittest

from e2e_lib import CLI, CLI_TIMEOUT_S, ENV, SerialPair, Sim, Workdir, korvane

# An idle port (open, v3 handshake, v2 check) is checked well within what a person waits for.
IDLE_SCAN_S = 3.0
# Link checks of the line measurement.
QUALITY_CHECKS = 30
LATENCY_MS = 10
# What doctor may send: the link check, the two identity queries and the job query.
ALLOWED_COMMANDS = {"CMD --p", "CMD --s", "CMD --h", "CMD 880"}
# A trace line: time, port, direction, unit, number, kind, length, check, bytes.
TRACE_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\S+) ([<>]) (frame|block|bytes) (\d+|-) (\S+) (\d+) "
                        r"(crc-ok|crc-bad|sum-ok|sum-bad|-)((?: [0-9A-F]{2})+)$")
FRAME_KINDS = {1: "SYN", 2: "REQ", 3: "DATA", 4: "FRAG", 5: "ACK", 6: "NAK"}
BLOCK_KINDS = {0x06: "ACK", 0x15: "NAK", 0x01: "CMD", 0x05: "ANSWER", 0x1E: "DATA"}


def crc16(data):
    """The frames' CRC, fed a byte at a time in the augmented manner."""
    reg = 0
    for b in data:
        x, h = reg & 0xFF00, 0
        for _ in range(8):
            h = ((h << 1) ^ 0x1021) & 0xFFFF if (x ^ h) & 0x8000 else (h << 1) & 0xFFFF
            x = (x << 1) & 0xFFFF
        reg = ((reg << 8) ^ b ^ h) & 0xFFFF
    return reg


def check_trace_line(test, line):
    """Decodes the line's bytes again and compares them with what the line says; (port, dir, unit, kind, check)."""
    m = TRACE_LINE.match(line)
    test.assertIsNotNone(m, line)
    port, direction, unit, number, kind, length, check, hexes = m.groups()
    b = bytes.fromhex(hexes)
    test.assertEqual(int(length), len(b), line)
    if unit == "frame":
        test.assertEqual((int(number), kind), (b[2] | b[3] << 8, FRAME_KINDS.get(b[10], "CODE%d" % b[10])), line)
        whole = len(b) == (b[4] | b[5] << 8)
        good = whole and crc16(b[:6] + b"\x55\xaa" + b[8:]) == (b[6] | b[7] << 8)
        test.assertEqual(check, "crc-ok" if good else "crc-bad", line)
    elif unit == "block":
        eod = b[0] == 0x1E and b[1:] == b"\x04\x17\x39"
        test.assertEqual((number, kind), ("-", "EOD" if eod else BLOCK_KINDS[b[0]]), line)
        test.assertEqual(check, "sum-ok" if sum(b[:-1]) % 256 == b[-1] else "sum-bad", line)
    else:
        test.assertEqual((number, check), ("-", "-"), line)
    return port, direction, unit, kind, check


class InfraredEcho:
    """The far end of a pty pair playing an infrared adapter: every probe byte 0x0F comes back."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            if select.select([self.fd], [], [], 0.05)[0]:
                try:
                    data = os.read(self.fd, 256)
                except BlockingIOError:
                    continue
                os.write(self.fd, b"\x0f" * data.count(b"\x0f"))

    def stop(self):
        self.running = False
        self.thread.join()
        os.close(self.fd)


def refused_address():
    """A loopback port nothing listens on: bound, never listened, closed."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return "LAN:127.0.0.1:%d" % port


class DoctorTest(unittest.TestCase):
    def setUp(self):
        self.work = Workdir()
        self.dir = self.work.__enter__()
        sysfs = os.path.join(self.dir, "sys")
        os.makedirs(sysfs)
        self.env = dict(ENV, KORVANE_SYSFS_ROOT=sysfs)
        self.stoppers = []

    def tearDown(self):
        for stop in reversed(self.stoppers):
            stop()
        self.work.__exit__(None, None, None)

    def sim(self, transport, protocol, *extra):
        folder = os.path.join(self.dir, "%s-%s-%d" % (transport, protocol, len(self.stoppers)))
        os.makedirs(folder)
        s = Sim(transport, protocol, folder, *extra)
        self.stoppers.append(s.stop)
        return s

    def doctor(self, ports, *args):
        return korvane(None, *[a for p in ports for a in ("--port", p)], "doctor", *args, env=self.env)

    def reports(self, r):
        return {o["port"]: o for o in map(json.loads, r.out.splitlines())}

    def test_terminals_found_on_every_transport_and_protocol(self):
        sims = [
            (self.sim("pty", "v3", "--program", "Склад;2.1", "--model", "CT-60;A1234", "--job", "7"), "3.00", 7),
            (self.sim("pty", "v2", "--job", "0"), "2.00", 0),
            (self.sim("tcp", "v3", "--model", "CT-40;B77"), "3.00", None),
            (self.sim("tcp", "v2x"), "2.00", None),
            (self.sim("tcp", "v3", "--latency", LATENCY_MS), "3.00", None),
            (self.sim("pty", "v1", "--program", "Учёт;1.0", "--job", "12"), "1.00", 12),
        ]
        refused = refused_address()
        missing = os.path.join(self.dir, "ttyNONE")
        # Two damaged lines, and an infrared adapter that answers its probe with no terminal behind it.
        damaged = [self.sim("tcp", "v3", "--corrupt", "0.002", "--seed", 5),
                   self.sim("tcp", "v2", "--corrupt", "0.002", "--seed", 5)]
        os.makedirs(os.path.join(self.dir, "ir"))
        ir = SerialPair(os.path.join(self.dir, "ir"))
        self.stoppers.append(ir.stop)
        adapter = InfraredEcho(ir.b)
        self.stoppers.append(adapter.stop)
        trace = os.path.join(self.dir, "trace.txt")
        ports = [s.port for s, _, _ in sims] + [refused, missing] + [d.port for d in damaged]
        r = korvane(None, "--trace", trace, *[a for p in ports for a in ("--port", p)], "--irda", ir.a, "doctor",
                    "--json", env=self.env)
        self.assertEqual(r.code, 0, r)
        got = self.reports(r)
        self.assertEqual(list(got), ports + [ir.a])
        self.check_trace_and_line_quality(trace, got, sims, damaged, ir.a)
        for s, protocol, job in sims:
            o = got[s.port]
            self.assertEqual((o["status"], o["protocol"], o["kind"], o["listed"], o["error"]),
                             ("terminal", protocol, "tcp" if s.port.startswith("LAN:") else "serial", False, 0), o)
            if job is not None:
                self.assertEqual(o["job_id"], job, o)
            t = o["round_trip_ms"]
            if protocol == "1.00":  # no link check at 1.00
                self.assertIsNone(t, o)
                continue
            self.assertEqual((t["checks"], t["failed"]), (QUALITY_CHECKS, 0), o)
            self.assertTrue(0 < t["min"] <= t["median"] <= t["max"], o)
            # One command and its answer a check, each a data frame; a clean line wastes none.
            line = o["line"]
            self.assertEqual((line["frames"], line["retransmissions"], line["crc_failures"]),
                             (2 * QUALITY_CHECKS, 0, 0), o)
        first = got[sims[0][0].port]
        self.assertEqual((first["program"], first["version"], first["device"], first["device_id"]),
                         ("Склад", "2.1", "CT-60", "A1234"))
        self.assertEqual((got[sims[2][0].port]["device"], got[sims[2][0].port]["device_id"]), ("CT-40", "B77"))
        self.assertEqual((got[sims[5][0].port]["program"], got[sims[5][0].port]["version"]), ("Учёт", "1.0"))
        self.assertIn("no job loaded", got[sims[1][0].port]["message"])
        # Latency each way shows in every round trip, and only there.
        slow, fast = got[sims[4][0].port]["round_trip_ms"], got[sims[2][0].port]["round_trip_ms"]
        self.assertGreaterEqual(slow["min"], 2 * LATENCY_MS, slow)
        self.assertLess(fast["median"], LATENCY_MS, fast)
        # ... and in the row rate: a v3 window of 3 frames a round trip of at least 20 ms.
        slow_rate, fast_rate = got[sims[4][0].port]["line"]["rows_per_s"], got[sims[2][0].port]["line"]["rows_per_s"]
        self.assertLess(slow_rate, 3 * 1013 / 103 / (2 * LATENCY_MS / 1000), got[sims[4][0].port])
        self.assertLess(10 * slow_rate, fast_rate)
        self.assertIsNone(got[sims[5][0].port]["line"])
        self.assertEqual((got[refused]["status"], got[refused]["error"]), ("refused", 10061))
        self.assertEqual((got[missing]["status"], got[missing]["error"]), ("missing", 2))
        # Safe against a terminal in use: the journals hold queries and link checks only.
        for s, _, _ in sims:
            cmds = [l for l in s.journal() if not l.startswith(("SESSION ", "END "))]
            self.assertLessEqual(set(cmds), ALLOWED_COMMANDS, s.port)
            self.assertEqual(sum(l != "CMD --p" for l in cmds), 3, cmds)

        # The table for people, quick: no line measurement, one more session of queries.
        r = self.doctor([sims[0][0].port, refused], "--quick")
        self.assertEqual(r.code, 0, r)
        self.assertRegex(r.out, r"(?m)^%s +serial +terminal +3\.00 +Склад 2\.1 on CT-60, ID A1234, job 7$"
                         % re.escape(sims[0][0].port))
        self.assertRegex(r.out, r"(?m)^%s +tcp +refused +-$" % re.escape(refused))
        self.assertNotIn("round trip", r.out)
        self.assertRegex(r.err, r"2 ports checked in \d+\.\d\d s; a terminal answered")

    def check_trace_and_line_quality(self, trace, got, sims, damaged, ir):
        """The trace of v3, v2 and 1.00 lines, two of them damaged, decoded again; the engines' counts."""
        self.assertEqual((got[ir]["kind"], got[ir]["status"]), ("irda", "no-answer"), got[ir])
        for d in damaged:
            o = got[d.port]
            self.assertEqual((o["status"], o["round_trip_ms"]["failed"]), ("terminal", 0), o)
            self.assertGreater(o["line"]["retransmissions"], 0, o)
            self.assertGreater(o["line"]["crc_failures"], 0, o)
        with open(trace, encoding="ascii") as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[0].startswith("# ") and lines[0].endswith(" frame trace opened"), lines[0])
        seen = {}
        for line in lines[1:]:
            port, direction, unit, kind, check = check_trace_line(self, line)
            seen.setdefault(port, []).append((direction, unit, kind, check, line.split(" ", 2)[2]))
        # A LAN port is traced by the address it was opened at.
        names = {p: p[len("LAN:"):] if p.startswith("LAN:") else p for p in got}
        self.assertEqual(set(seen), {names[s.port] for s, _, _ in sims} | {names[d.port] for d in damaged} | {ir})
        clean_v3, v2x, v1 = names[sims[2][0].port], names[sims[3][0].port], sims[5][0].port
        self.assertEqual(seen[clean_v3][0][4],
                         "%s > frame 1 SYN 15 crc-ok 55 F8 01 00 0F 00 E4 C0 00 FF 01 00 03 01 00" % clean_v3)
        for s, _, _ in sims:
            self.assertNotIn("crc-bad", {t[3] for t in seen[names[s.port]]}, s.port)
        for d in damaged:
            self.assertIn(("<", "frame", "crc-bad"), {(t[0], t[1], t[3]) for t in seen[names[d.port]]}, d.port)
        # v2 asks for the answer with REQ frames; 1.00 sends the software query as a block.
        self.assertIn((">", "frame", "REQ", "crc-ok"), {t[:4] for t in seen[v2x]})
        self.assertIn("%s > block - CMD 5 sum-ok 01 2D 2D 73 CE" % v1, [t[4] for t in seen[v1]])
        self.assertIn(("<", "block", "DATA", "sum-ok"), {t[:4] for t in seen[v1]})
        # The adapter's probe and set-up bytes are no blocks; frames went through it after.
        self.assertIn((">", "bytes", "noise"), {t[:3] for t in seen[ir]})
        self.assertIn((">", "frame", "SYN", "crc-ok"), {t[:4] for t in seen[ir]})

    def test_nothing_found(self):
        pair = SerialPair(self.dir)  # nobody at the far end
        self.stoppers.append(pair.stop)
        os.makedirs(os.path.join(self.dir, "held"))
        held = SerialPair(os.path.join(self.dir, "held"))
        self.stoppers.append(held.stop)
        fd = os.open(held.a, os.O_RDWR | os.O_NOCTTY)
        self.stoppers.append(lambda: os.close(fd))
        fcntl.flock(fd, fcntl.LOCK_EX)
        # A modem manager probing the line: a process of that name with the device open.
        os.makedirs(os.path.join(self.dir, "probed"))
        probed = SerialPair(os.path.join(self.dir, "probed"))
        self.stoppers.append(probed.stop)
        prober = os.path.join(self.dir, "ModemManager")
        shutil.copy(shutil.which("sleep"), prober)
        with open(probed.a, "rb") as line:
            proc = subprocess.Popen([prober, "60"], stdin=line)
        self.stoppers.append(lambda: (proc.kill(), proc.wait()))
        # A listener whose backlog is full: further connects are never answered.
        full = socket.socket()
        full.bind(("127.0.0.1", 0))
        full.listen(0)
        self.stoppers.append(full.close)
        silent = "LAN:127.0.0.1:%d" % full.getsockname()[1]
        for _ in range(3):
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex(full.getsockname())
            self.stoppers.append(c.close)
        # A terminal that answers the handshake, then falls silent: its unacknowledged link check
        # must not hold the close for the link's exchange time-out.
        mute = self.sim("tcp", "v3", "--silent-after", 1)
        unresolved = "LAN:terminal.invalid:4001"
        # An infrared adapter on a line where nothing answers.
        os.makedirs(os.path.join(self.dir, "ir"))
        dark = SerialPair(os.path.join(self.dir, "ir"))
        self.stoppers.append(dark.stop)
        r = self.doctor([pair.a, held.a, probed.a, refused_address(), silent, mute.port, unresolved], "--json",
                        "--irda", dark.a)
        self.assertEqual(r.code, 1, r)
        self.assertLess(r.seconds, IDLE_SCAN_S, r)
        got = self.reports(r)
        self.assertEqual(got[pair.a]["status"], "no-answer", r)
        self.assertIsNone(got[pair.a]["round_trip_ms"])
        busy = got[held.a]
        self.assertEqual(busy["status"], "busy", r)
        with open("/proc/self/comm") as f:
            me = f.read().strip()
        self.assertIn({"pid": os.getpid(), "name": me}, busy["holders"], r)
        self.assertIn("%d (%s)" % (os.getpid(), me), busy["message"])
        probe = got[probed.a]
        self.assertEqual(probe["status"], "no-answer", r)
        self.assertIn({"pid": proc.pid, "name": "ModemManager"}, probe["holders"], r)
        self.assertIn("ModemManager probes new USB serial devices", probe["message"])

        self.assertEqual((got[silent]["status"], got[silent]["error"]), ("timeout", 10060), r)
        self.assertEqual(got[mute.port]["status"], "no-answer", r)
        self.assertEqual((got[unresolved]["status"], got[unresolved]["error"]), ("unknown-host", 11001), r)
        self.assertIn("the name terminal.invalid does not resolve", got[unresolved]["message"])
        self.assertEqual((got[dark.a]["kind"], got[dark.a]["status"]), ("irda", "no-adapter"), r)
        self.assertIn("an infrared adapter that does not answer the probe", got[dark.a]["message"])
        self.assertIn("handshake was answered (protocol 3.00) but not the link check", got[mute.port]["message"])

        # Nothing listed and nothing given: the table says so.
        r = self.doctor([])
        self.assertEqual(r.code, 1, r)
        self.assertIn("no ports", r.out)
        # The port of KORVANE_PORT is checked too.
        self.env["KORVANE_PORT"] = os.path.join(self.dir, "ttyGONE")
        r = self.doctor([], "--json")
        self.assertEqual((r.code, [o["status"] for o in self.reports(r).values()]), (1, ["missing"]), r)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to run doctor as another user")
    def test_permission_denied_names_the_group(self):
        pair = SerialPair(self.dir)
        self.stoppers.append(pair.stop)
        device = os.path.realpath(pair.a)  # the test folder itself is closed to other users
        os.chown(device, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(device, 0o660)
        nobody = pwd.getpwnam("nobody")
        cmd = ["setpriv", "--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid, "--clear-groups", CLI,
               "--port", device, "doctor", "--json"]
        proc = subprocess.run(cmd, capture_output=True, env=self.env, timeout=CLI_TIMEOUT_S)
        self.assertEqual(proc.returncode, 1, proc)
        o = json.loads(proc.stdout)
        self.assertEqual((o["status"], o["error"], o["group"]), ("denied", 1314, "dialout"), o)
        self.assertIn("sudo usermod -aG dialout $USER", o["message"])

    def test_bad_usage(self):
        for args in (["doctor", "extra"], ["--json", "info"], ["--quick", "ports"], ["doctor", "--port"]):
            r = korvane(None, *args, env=self.env)
            self.assertEqual(r.code, 2, (args, r))


if __name__ == "__main__":
    unittest.main()
