"""Runs the real korvane tool against the real korvane-sim: processes, sockets and ptys.

Binaries come from the environment (KORVANE_CLI, KORVANE_SIM), set by ctest. Every process gets a
time-out; every simulator is started on port 0 or its own pty and is stopped by its own pid.
"""
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

CLI = os.environ.get("KORVANE_CLI", "korvane")
SIM = os.environ.get("KORVANE_SIM", "korvane-sim")
SOCAT = os.environ.get("KORVANE_SOCAT", "socat")
SAMPLES = os.environ.get("KORVANE_SAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "samples", "data"))

# The screen texts are checked in UTF-8; the terminal's bytes stay CP1251.
ENV = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
ENV.pop("KORVANE_PORT", None)

SIM_START_TIMEOUT_S = 10
CLI_TIMEOUT_S = 60
TABLE_NAMES = ["journal", "journal2", "operations", "performers", "addresses", "documents", "documents2",
               "goods", "goods2", "service"]


def terminate(proc):
    """SIGTERM, and SIGKILL if the process is still there 10 s later."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


def cp(text):
    """Text as the terminal's bytes."""
    return text.encode("cp1251")


class Sim:
    """One korvane-sim process. `transport` is "tcp", "pty" or "device:PATH"."""

    def __init__(self, transport, protocol, workdir, *extra, data=None, journal=True, timeout_s=120):
        self.workdir = workdir
        self.journal_path = os.path.join(workdir, "journal.txt") if journal else None
        args = [SIM, "--protocol", protocol, "--timeout", str(timeout_s)]
        if transport == "tcp":
            args += ["--listen", "127.0.0.1:0"]
        elif transport.startswith("device:"):
            args += ["--device", transport[len("device:"):]]
        else:
            self.link = os.path.join(workdir, "ttyKORV")
            args += ["--pty", "--link", self.link]
        if data:
            args += ["--data", data]
        if self.journal_path:
            args += ["--journal", self.journal_path]
        args += [str(a) for a in extra]
        self.stderr_path = os.path.join(workdir, "sim.err")
        self.stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.stderr, env=ENV)
        line = self._first_line()
        if transport == "tcp":
            if not line.startswith("listening on "):
                raise RuntimeError("simulator did not start: %r %r" % (line, self.errors()))
            self.port = "LAN:" + line.split()[-1]
        elif transport.startswith("device:"):
            if line != "device " + transport[len("device:"):]:
                raise RuntimeError("simulator did not start: %r %r" % (line, self.errors()))
            self.port = None  # the PC's end is the pair's other side
        else:
            if not line.startswith("pty "):
                raise RuntimeError("simulator did not start: %r %r" % (line, self.errors()))
            self.port = self.link
            self.pty = line.split()[1]

    def _first_line(self):
        deadline = time.monotonic() + SIM_START_TIMEOUT_S
        out = b""
        while not out.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                break
            chunk = os.read(self.proc.stdout.fileno(), 1)
            if not chunk:
                break
            out += chunk
        return out.decode("utf-8", "replace").strip()

    def errors(self):
        self.stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def journal(self):
        with open(self.journal_path, "rb") as f:
            return f.read().decode("cp1251").splitlines()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)
        # A killed simulator leaves its link behind; once another program holds the pty's number,
        # the next simulator would rightly refuse to take that link over.
        if getattr(self, "pty", None) and os.path.islink(self.link) and os.readlink(self.link) == self.pty:
            os.unlink(self.link)

    def stop(self):
        terminate(self.proc)
        self.proc.stdout.close()
        self.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class SerialPair:
    """Two linked ptys made by socat: what one end writes, the other reads, like a null-modem cable.
    The links are `a` and `b` in `workdir`; stopped by its own pid."""

    def __init__(self, workdir):
        self.a = os.path.join(workdir, "ttyPC")
        self.b = os.path.join(workdir, "ttyTERM")
        self.proc = subprocess.Popen([SOCAT, "-d", "-d", "pty,raw,echo=0,link=" + self.a,
                                      "pty,raw,echo=0,link=" + self.b], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + SIM_START_TIMEOUT_S
        while not (os.path.lexists(self.a) and os.path.lexists(self.b)):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("socat did not make the pair")
            time.sleep(0.02)

    def stop(self):
        terminate(self.proc)


class Result:
    def __init__(self, proc, out, err, seconds):
        self.code = proc.returncode
        self.raw_out = out
        self.out = out.decode("utf-8", "replace")
        self.err = err.decode("utf-8", "replace")
        self.seconds = seconds

    def __repr__(self):
        return "exit %s after %.1f s\nstdout: %s\nstderr: %s" % (self.code, self.seconds, self.out, self.err)


def korvane(port, *args, timeout_s=CLI_TIMEOUT_S, env=None):
    """Runs the tool to its end; a tool that outlives `timeout_s` is a failure of the test."""
    cmd = [CLI] + (["--port", port] if port else []) + [str(a) for a in args]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env or ENV)
    try:
        out, err = proc.communicate(timeout=timeout_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError("korvane %s hung for %d s" % (" ".join(cmd[1:]), timeout_s))
    return Result(proc, out, err, time.monotonic() - start)


class Workdir:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="korvane-e2e-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def copy_samples(dest):
    os.makedirs(dest, exist_ok=True)
    for name in TABLE_NAMES:
        src = os.path.join(SAMPLES, name + ".csv")
        if os.path.exists(src):
            shutil.copy(src, os.path.join(dest, name + ".csv"))
    return dest


def write_rows(path, count, width=100, seed=1):
    """`count` rows of exactly `width` bytes (a number, then varied letters and Cyrillic), CR LF."""
    import random
    rng = random.Random(seed)
    alphabet = cp("abcdefghijklmnopqrstuvwxyzАБВГДЕЖЗИКЛМНОПРСТУФХЦЧШЩЭЮЯабвгдежзийклмнопрстуфхцчшщэюя0123456789 ")
    with open(path, "wb") as f:
        for i in range(count):
            head = b"%08d;" % i
            body = bytes(rng.choice(alphabet) for _ in range(width - len(head)))
            f.write(head + body + b"\r\n")
    return path


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class SimCase(unittest.TestCase):
    """A test with its own folder, a copy of the sample tables and the simulators it starts."""

    def setUp(self):
        self.work = Workdir()
        self.dir = self.work.__enter__()
        self.data = copy_samples(os.path.join(self.dir, "data"))
        self.sims = []

    def tearDown(self):
        for s in self.sims:
            s.stop()
        self.work.__exit__(None, None, None)

    def sim(self, *extra, protocol="v3", transport="tcp", **kw):
        s = Sim(transport, protocol, self.dir, *extra, data=kw.pop("data", self.data), **kw)
        self.sims.append(s)
        return s
