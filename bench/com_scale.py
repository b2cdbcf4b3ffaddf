#!/usr/bin/env python3
"""Several Zyl.Ostrel2 objects at once under Wine, each on its own multithreaded-apartment thread
against its own native simulator (loopback TCP, v3, its own device ID and rows): every object
downloads its journal and uploads the rows back. Each simulator's uploaded rows must equal the
journal it served, byte for byte, and each object must see its own terminal's ID.

Prints a Markdown table and the aggregate rows/s; exits 1 when any row or ID comes out wrong.
Without --bench and --sim it takes them from build/windows-x64 and build/native, builds what is
missing and registers the DLL in that tree's Wine prefix first:

    python3 bench/com_scale.py [--objects 8] [--rows 10000] [--sta]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e_lib  # noqa: E402


def start_sim(sim, data, device_id):
    proc = subprocess.Popen([sim, "--listen", "127.0.0.1:0", "--protocol", "v3", "--data", data, "--model",
                             "SCALE;" + device_id, "--timeout", "900", "--quiet"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    if not line.startswith("listening on "):
        proc.kill()
        raise RuntimeError("simulator did not start: %r" % line)
    return proc, "LAN:" + line.split()[-1]


def prepare():
    """The default tools: built when missing, the DLL registered; the bench, simulator and emulator."""
    native, windows = os.path.join(ROOT, "build", "native"), os.path.join(ROOT, "build", "windows-x64")
    sim = os.path.join(native, "tools", "sim", "korvane-sim")
    bench = os.path.join(windows, "tests", "windows", "com", "bench", "com_scale.exe")
    for tree, preset, target, made in ((native, "native", ["korvane-sim"], sim),
                                       (windows, "windows-x64", ["com_scale", "korvane"], bench)):
        if not os.path.exists(made):
            subprocess.run(["cmake", "--preset", preset, "-S", ROOT], check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", tree, "-j2", "--target"] + target, check=True)
    emulator = [os.path.join(ROOT, "cmake", "wine-run.sh"), os.path.join(windows, "wineprefix")]
    subprocess.run(emulator + ["regsvr32", "/s", os.path.join(windows, "bin", "korvane.dll")], check=True)
    return bench, sim, emulator


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objects", type=int, default=8)
    ap.add_argument("--rows", type=int, default=10000)
    ap.add_argument("--bench")
    ap.add_argument("--sim")
    ap.add_argument("--emulator", nargs="+")
    ap.add_argument("--sta", action="store_true", help="a single-threaded apartment per thread instead")
    a = ap.parse_args()
    if not a.bench or not a.sim:
        os.environ["LC_ALL"] = "ru_RU.UTF-8"
        a.bench, a.sim, a.emulator = prepare()
    a.emulator = a.emulator or ["wine"]
    work = tempfile.mkdtemp(prefix="korvane-com-scale-")
    sims = []
    failures = []
    try:
        ports = {}
        for i in range(a.objects):
            data = os.path.join(work, "t%d" % i)
            os.makedirs(data)
            journal = e2e_lib.write_rows(os.path.join(data, "journal.csv"), a.rows, seed=100 + i)
            shutil.copy(journal, os.path.join(data, "journal2.csv"))
            proc, port = start_sim(a.sim, data, "T%02d" % i)
            sims.append(proc)
            ports[port] = (data, "T%02d" % i)
        out = subprocess.run(a.emulator + [a.bench] + (["--sta"] if a.sta else []) + list(ports), stdout=subprocess.PIPE, timeout=900)
        lines = out.stdout.decode().split("\n")
        print("| object | port | device ID | rows down | rows up | seconds | uploaded = served |")
        print("|---|---|---|---|---|---|---|")
        seen = set()
        for n, line in enumerate(l for l in lines if l.startswith("LAN:")):
            port, dev, down, up, seconds, connect, recv, send = line.split()
            data, want = ports[port]
            same = e2e_lib.read_bytes(os.path.join(data, "uploaded", "goods.csv")) == \
                e2e_lib.read_bytes(os.path.join(data, "journal.csv")) \
                if os.path.exists(os.path.join(data, "uploaded", "goods.csv")) else False
            print("| %d | %s | %s | %s | %s | %s | %s |" % (n, port, dev, down, up, seconds, "yes" if same else "NO"))
            seen.add(port)
            if dev != want or int(down) != a.rows or int(up) != a.rows or not same:
                failures.append("%s: ID %s (want %s), %s rows down, %s up, results %s %s %s, uploaded %s"
                                % (port, dev, want, down, up, connect, recv, send, "same" if same else "differs"))
        total = [l for l in lines if l.startswith("total ")]
        if seen != set(ports) or not total or out.returncode != 0:
            failures.append("com_scale exit %d, %d of %d objects reported" % (out.returncode, len(seen), len(ports)))
        if total:
            _, objects, rows, seconds = total[0].split()
            print("\n%s objects on %s %s threads: %s rows (both ways, all objects) in %s s, %.0f rows/s"
                  % (objects, objects, "STA" if a.sta else "MTA", rows, seconds, int(rows) / float(seconds)))
    finally:
        for p in sims:
            p.terminate()
        for p in sims:
            p.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
