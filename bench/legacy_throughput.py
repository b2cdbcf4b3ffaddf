#!/usr/bin/env python3
"""Rows/s of `korvane legacy` (protocol 1.00) against `korvane-sim --protocol v1` on a pty, each way,
unpaced and paced to a serial line: rows/s, the share of the line's byte rate the blocks use, and
the CPU seconds of both processes. Prints a Markdown table."""
import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

BLOCK_OVERHEAD = 3  # RS, ETB, checksum around each row
ANSWER_BYTES = 2    # the ACK of each row
BITS_PER_BYTE = 10  # 8N1


def write_rows(path, count, width):
    with open(path, "wb") as f:
        for i in range(count):
            head = b"%08d;" % i
            f.write(head + bytes(97 + (i * 7 + j) % 26 for j in range(width - len(head))) + b"\r\n")


def sim_cpu(err_text):
    m = re.search(r"cpu user ([0-9.]+) s, system ([0-9.]+) s", err_text)
    return float(m.group(1)) + float(m.group(2)) if m else float("nan")


def one_run(args, work, direction, baud):
    data = os.path.join(work, "data")
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data)
    rows = os.path.join(work, "rows.csv")
    if direction == "download":
        shutil.copy(rows, os.path.join(data, "journal.csv"))
    link = os.path.join(work, "tty")
    sim_args = [args.sim, "--pty", "--link", link, "--protocol", "v1", "--data", data, "--once", "--timeout", "900"]
    if baud:
        sim_args += ["--baud", str(baud)]
    sim_err = open(os.path.join(work, "sim.err"), "w+")
    sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, stderr=sim_err)
    sim.stdout.readline()
    if direction == "download":
        steps = ["cmd", "021", "recv", "-o", os.path.join(work, "got.csv")]
    else:
        steps = ["cmd", "002", "cmd", "111", "send", rows, "cmd", "003", "line"]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    tool = subprocess.run([args.cli, "--port", link, "legacy"] + steps, capture_output=True, text=True)
    seconds = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    sim.wait(timeout=60)
    sim_err.seek(0)
    if tool.returncode != 0:
        sys.exit("korvane failed: %s" % tool.stderr)
    m = re.search(r"(?:sent|received) (\d+) rows \((\d+) bytes\) in ([0-9.]+) s", tool.stderr)
    count, payload, transfer_s = int(m.group(1)), int(m.group(2)), float(m.group(3))
    expected = open(rows, "rb").read()
    got = open(os.path.join(work, "got.csv") if direction == "download" else
               os.path.join(data, "uploaded", "operations.csv"), "rb").read()
    if got != expected:
        sys.exit("%s: rows differ" % direction)
    line_bytes = payload + count * (BLOCK_OVERHEAD + ANSWER_BYTES)
    share = line_bytes * BITS_PER_BYTE / transfer_s / baud if baud else None
    tool_cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return count, transfer_s, count / transfer_s, share, tool_cpu, sim_cpu(sim_err.read())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--sim", required=True)
    p.add_argument("--rows", type=int, default=10000)
    p.add_argument("--width", type=int, default=100)
    p.add_argument("--baud", type=int, default=115200)
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="korvane-legacy-bench-")
    try:
        write_rows(os.path.join(work, "rows.csv"), args.rows, args.width)
        print("| direction | line | rows | seconds | rows/s | share of line rate | CPU korvane s | CPU sim s |")
        print("|---|---|---|---|---|---|---|---|")
        for baud in (0, args.baud):
            for direction in ("download", "upload"):
                n, s, rate, share, tool_cpu, sim_cpu_s = one_run(args, work, direction, baud)
                print("| %s | %s | %d | %.2f | %.0f | %s | %.2f | %.2f |" % (
                    direction, "%d bit/s" % baud if baud else "unpaced pty", n, s, rate,
                    "%.0f%%" % (share * 100) if share else "-", tool_cpu, sim_cpu_s))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
