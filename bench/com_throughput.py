#!/usr/bin/env python3
"""Rows/s of a table download and upload through korvane.dll (Ostrel2's RecvTableAsStrings and
SendTableAsStrings) beside the same transfer through the link itself, both in the Windows build
under Wine, against the native simulator over loopback TCP with protocol v3, in one run.

Prints a Markdown table; exits non-zero when rows come out wrong or, unless --no-targets, when the
COM path is below 85% of the direct path's rows/s, keeps more per row than the direct path (a
second copy of each row), or its upload takes more than 1.15 times as long as its download; what
each path keeps per row comes from its peak at a tenth of the table.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import e2e_lib  # noqa: E402

COM_SHARE_TARGET = 0.85
UPLOAD_TIME_TARGET = 1.15  # through the DLL an upload takes at most this many times the download's time
RUNS = 3  # each path runs this often, alternating; the best run of each counts


def start_sim(sim, data):
    proc = subprocess.Popen([sim, "--listen", "127.0.0.1:0", "--protocol", "v3", "--data", data, "--timeout", "900",
                             "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    if not line.startswith("listening on "):
        proc.kill()
        raise RuntimeError("simulator did not start: %r" % line)
    return proc, "LAN:" + line.split()[-1]


def run(emulator, bench, path, port):
    """One bench process; its peak resident size comes from the kernel (the launcher execs the
    Windows process in place, so the child's maxrss is the bench's own)."""
    proc = subprocess.Popen(emulator + [bench, path, port], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    fields = out.decode().split()
    if proc.returncode != 0 or len(fields) != 7:
        raise RuntimeError("%s run failed (%d): %r" % (path, proc.returncode, out))
    return {"received": int(fields[1]), "recv_s": float(fields[2]), "sent": int(fields[3]),
            "send_s": float(fields[4]), "peak": usage.ru_maxrss * 1024}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100000)
    ap.add_argument("--width", type=int, default=100)
    ap.add_argument("--bench", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--emulator", nargs="+", default=["wine"])
    ap.add_argument("--no-targets", action="store_true")
    a = ap.parse_args()
    if not os.access(a.sim, os.X_OK):
        print("no simulator at %s" % a.sim)
        return 77
    work = tempfile.mkdtemp(prefix="korvane-com-bench-")
    failures = []
    small_rows = max(1, a.rows // 10)
    try:
        # Peaks at a tenth of the table tell what each path keeps per row.
        small = {}
        data = os.path.join(work, "small")
        os.makedirs(data)
        e2e_lib.write_rows(os.path.join(data, "journal.csv"), small_rows, a.width)
        sim, port = start_sim(a.sim, data)
        try:
            for path in ("direct", "com"):
                small[path] = run(a.emulator, a.bench, path, port)["peak"]
        finally:
            sim.terminate()
            sim.wait(timeout=10)

        data = os.path.join(work, "data")
        os.makedirs(data)
        journal = e2e_lib.write_rows(os.path.join(data, "journal.csv"), a.rows, a.width)
        sim, port = start_sim(a.sim, data)
        best = {}
        try:
            for _ in range(RUNS):
                for path in ("direct", "com"):
                    r = run(a.emulator, a.bench, path, port)
                    if r["received"] != a.rows or r["sent"] != a.rows:
                        failures.append("%s: %d rows received, %d sent of %d" % (path, r["received"], r["sent"], a.rows))
                    uploaded = os.path.join(data, "uploaded", "goods.csv")
                    if e2e_lib.read_bytes(uploaded) != e2e_lib.read_bytes(journal):
                        failures.append("%s: uploaded rows differ from the journal" % path)
                    os.remove(uploaded)
                    b = best.setdefault(path, dict(r))
                    b["recv_s"] = min(b["recv_s"], r["recv_s"])
                    b["send_s"] = min(b["send_s"], r["send_s"])
                    b["peak"] = max(b["peak"], r["peak"])
        finally:
            sim.terminate()
            sim.wait(timeout=10)
        per_row = {p: (best[p]["peak"] - small[p]) / float(a.rows - small_rows) for p in best}
        print("| path | download rows/s | upload rows/s | peak resident MB | bytes kept per row |")
        print("|---|---|---|---|---|")
        for path in ("direct", "com"):
            b = best[path]
            print("| %s | %.0f | %.0f | %.1f | %.0f |" % (path, a.rows / b["recv_s"], a.rows / b["send_s"],
                                                        b["peak"] / 1e6, per_row[path]))
        share_recv = best["direct"]["recv_s"] / best["com"]["recv_s"]
        share_send = best["direct"]["send_s"] / best["com"]["send_s"]
        print("\nCOM path: %.1f%% of the direct download rate, %.1f%% of the direct upload rate; "
              "%d rows of %d bytes; per row the COM path keeps %.0f bytes, the direct path %.0f"
              % (100 * share_recv, 100 * share_send, a.rows, a.width, per_row["com"], per_row["direct"]))
        upload_time = best["com"]["send_s"] / best["com"]["recv_s"]
        print("COM upload took %.2f times as long as the COM download (target <= %.2f: %s)"
              % (upload_time, UPLOAD_TIME_TARGET, "met" if upload_time <= UPLOAD_TIME_TARGET else "MISSED"))
        if not a.no_targets:
            if upload_time > UPLOAD_TIME_TARGET:
                failures.append("COM upload took %.2f times the download's time (target %.2f)"
                                % (upload_time, UPLOAD_TIME_TARGET))
            for name, share in (("download", share_recv), ("upload", share_send)):
                if share < COM_SHARE_TARGET:
                    failures.append("COM %s at %.1f%% of the direct path (target %d%%)"
                                    % (name, 100 * share, 100 * COM_SHARE_TARGET))
            # A second copy of every row would add at least the row's own bytes.
            if per_row["com"] > per_row["direct"] + a.width / 2:
                failures.append("COM path keeps %.0f bytes per row, the direct path %.0f"
                                % (per_row["com"], per_row["direct"]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
