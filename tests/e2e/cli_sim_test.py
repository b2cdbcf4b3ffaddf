#!/usr/bin/env python3
"""korvane against korvane-sim over one transport and protocol: python3 cli_sim_test.py tcp|pty v2|v2x|v3"""
import glob
import os
import pty
import re
import shutil
import subprocess
import sys
import time
import unittest

import e2e_lib
from e2e_lib import CLI, ENV, SAMPLES, cp, korvane, read_bytes, write_rows

TRANSPORT = "tcp"
PROTOCOL = "v3"
# The link waits this long for any one answer; a dead terminal must be reported within it.
LINK_TIMEOUT_S = 15
# Seconds the tool may need beyond it to close the port and report.
REPORT_MARGIN_S = 5
# CPU a whole killed transfer may cost the tool.
MAX_WAIT_CPU_S = 2.0
# A terminal that dies is a lost device, reported at once rather than after the time-out.
LOST_DEVICE_REPORT_S = 1.0


def sample(name):
    return os.path.join(SAMPLES, name + ".csv")


class SimCase(e2e_lib.SimCase):
    def sim(self, *extra, **kw):
        return super().sim(*extra, protocol=PROTOCOL, transport=TRANSPORT, **kw)

    def assertOk(self, r):
        self.assertEqual(r.code, 0, r)

    def assertFails(self, r, status, result, *texts):
        self.assertEqual(r.code, status, r)
        self.assertIn("result %d" % result, r.err, r)
        for t in texts:
            self.assertIn(t, r.err, r)

    def journal_after(self, s, mark):
        """Journal lines from the last session on."""
        lines = s.journal()
        starts = [i for i, l in enumerate(lines) if l.startswith("SESSION ")]
        return lines[starts[-1] if starts else 0:] if mark == "last" else lines


class TransfersTest(SimCase):
    def test_info_shows_identity_and_protocol(self):
        s = self.sim("--program", "Острел-М;2.5.1", "--model", "МЕ-300;SN 0042")
        # A Russian locale writes decimal commas; the protocol version keeps its point.
        r = korvane(s.port, "info", env=dict(ENV, LC_ALL="ru_RU.UTF-8"))
        self.assertOk(r)
        self.assertIn("program:    Острел-М\n", r.out)
        self.assertIn("version:    2.5.1\n", r.out)
        self.assertIn("device:     МЕ-300\n", r.out)
        self.assertIn("device id:  SN 0042\n", r.out)
        self.assertIn("protocol:   %s\n" % ("3.00" if PROTOCOL == "v3" else "2.00"), r.out)
        # Connecting is the link check, the clock, then the identity queries.
        j = s.journal()
        self.assertEqual([l.split()[0] + " " + l.split()[1] for l in j[1:6]],
                         ["CMD --p", "CMD 303", "PARAM 303", "CMD --s", "CMD --h"])
        self.assertRegex(j[3], r"^PARAM 303 \d{14}$")

    def test_download_tables_byte_for_byte(self):
        s = self.sim()
        out = os.path.join(self.dir, "journal.csv")
        r = korvane(s.port, "recv", "journal", "-o", out)
        self.assertOk(r)
        self.assertEqual(read_bytes(out), read_bytes(sample("journal")))
        self.assertEqual(glob.glob(out + ".partial-*"), [])
        self.assertRegex(r.err, "5 rows of journal written to " + re.escape(out) + r" in \d+\.\d{3} s\n")
        cmds = [l for l in self.journal_after(s, "last") if l.startswith("CMD ")][4:]
        self.assertEqual(cmds, ["CMD 880", "CMD 998", "CMD 999", "CMD 40R", "CMD 020", "CMD 021"])
        # As shipped, the samples serve either journal: "020" names no table.
        r = korvane(s.port, "recv", "journal2", "-o", "-")
        self.assertOk(r)
        self.assertEqual(r.raw_out, read_bytes(sample("journal2")))
        # By number, and to standard output. "020" names no table: the terminal counts journal 2
        # when journal 1 is empty.
        os.remove(os.path.join(self.data, "journal.csv"))
        s.stop()  # a simulator never takes over another's live pty link
        self.sims.remove(s)
        s = self.sim()
        r = korvane(s.port, "recv", "1")
        self.assertOk(r)
        self.assertEqual(r.raw_out, read_bytes(sample("journal2")))
        r = korvane(s.port, "recv", "service", "-o", "-")
        self.assertOk(r)
        self.assertEqual(r.raw_out, read_bytes(sample("service")))
        self.assertIn("CMD 1F2", s.journal())

    def test_download_of_many_rows_streams_in_order(self):
        big = write_rows(os.path.join(self.data, "journal.csv"), 3000)
        s = self.sim()
        out = os.path.join(self.dir, "out.csv")
        r = korvane(s.port, "recv", "journal", "-o", out)
        self.assertOk(r)
        self.assertEqual(read_bytes(out), read_bytes(big))

    def test_download_converts_rows_when_asked(self):
        s = self.sim()
        out = os.path.join(self.dir, "utf8.csv")
        self.assertOk(korvane(s.port, "--csv-convert", "recv", "journal", "-o", out))
        self.assertEqual(read_bytes(out), read_bytes(sample("journal")).decode("cp1251").encode("utf-8"))

    def test_progress_on_a_terminal(self):
        s = self.sim()
        master, slave = pty.openpty()
        out = os.path.join(self.dir, "j.csv")
        proc = subprocess.Popen([CLI, "--port", s.port, "recv", "journal", "-o", out], stdout=subprocess.PIPE,
                                stderr=slave, env=ENV)
        os.close(slave)
        shown = b""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        proc.wait(timeout=30)
        proc.stdout.close()
        os.close(master)
        self.assertEqual(proc.returncode, 0, shown)
        text = shown.decode("utf-8", "replace")
        self.assertRegex(text, r"recv journal \[#+\] 5/5 rows +\d+ rows/s +0:0\d")
        # Without a terminal on stderr there is no bar.
        r = korvane(s.port, "recv", "journal", "-o", out)
        self.assertNotIn("rows/s", r.err)

    def test_upload_then_process_sets_operation_id(self):
        s = self.sim()
        r = korvane(s.port, "send", "goods", sample("goods"), "2", sample("operations"), "--oper-id", "57")
        self.assertOk(r)
        up = os.path.join(self.data, "uploaded")
        self.assertEqual(read_bytes(os.path.join(up, "goods.csv")), read_bytes(sample("goods")))
        self.assertEqual(read_bytes(os.path.join(up, "operations.csv")), read_bytes(sample("operations")))
        j = [l for l in self.journal_after(s, "last") if not l.startswith(("SESSION", "END"))][5:]
        self.assertEqual(j, ["CMD 002", "CMD 151", "UPLOAD goods 5", "CMD 111", "UPLOAD operations 3", "CMD 003",
                             "LOADED operations 3", "LOADED goods 5", "CMD 881", "PARAM 881 57"])
        r = korvane(s.port, "get-id", "operations")
        self.assertOk(r)
        self.assertEqual(r.out, "57\n")

    def test_upload_of_many_rows_and_an_empty_table(self):
        big = write_rows(os.path.join(self.dir, "big.csv"), 3000, seed=7)
        empty = os.path.join(self.dir, "empty.csv")
        open(empty, "wb").close()
        s = self.sim()
        self.assertOk(korvane(s.port, "send", "goods2", big, "service", empty))
        up = os.path.join(self.data, "uploaded")
        self.assertEqual(read_bytes(os.path.join(up, "goods2.csv")), read_bytes(big))
        self.assertEqual(read_bytes(os.path.join(up, "service.csv")), b"")
        self.assertIn("CMD 003", s.journal())
        self.assertNotIn("CMD 881", s.journal())


class LifecycleTest(SimCase):
    def test_once_stops_after_the_first_session(self):
        s = self.sim("--once")
        self.assertOk(korvane(s.port, "beep"))
        self.assertEqual(s.proc.wait(timeout=10), 0)
        self.assertIn("1 session(s)", s.errors())
        if TRANSPORT == "pty":
            self.assertFalse(os.path.lexists(s.port), "the pty link outlives the simulator")

    def test_timeout_stops_an_unused_simulator(self):
        s = self.sim(timeout_s=1)
        self.assertEqual(s.proc.wait(timeout=10), 0)
        self.assertIn("0 session(s)", s.errors())
        self.assertIn("timed out", s.errors())


class CommandsTest(SimCase):
    def run_and_journal(self, s, *args):
        r = korvane(s.port, *args)
        self.assertOk(r)
        lines = self.journal_after(s, "last")
        return r, [l for l in lines if not l.startswith(("SESSION", "END"))][5:]

    def test_every_command_reaches_the_terminal(self):
        s = self.sim("--job", "9")
        expect = [
            (("beep",), ["CMD 004"]),
            (("reboot",), ["CMD HLT"]),
            (("close-forms",), ["CMD 000"]),
            (("reset-filters",), ["CMD 40R"]),
            (("set-id", "documents", "12"), ["CMD 887", "PARAM 887 12"]),
            (("set-id", "operations", "-1"), ["CMD 881", "PARAM 881 -1"]),
            (("set-id", "performers", "3"), ["CMD 883", "PARAM 883 3"]),
            (("filter-id", "addresses", "5"), ["CMD 405", "PARAM 405 5"]),
            (("filter-id", "2", "4000000000"), None),
            (("filter-text", "goods", "Молоко «3,2%»"), ["CMD 408", "PARAM 408 Молоко «3,2%»"]),
            (("filter-text", "journal2", "4607001234567"), ["CMD 409", "PARAM 409 4607001234567"]),
            (("cmd", "004"), ["CMD 004"]),
            (("send-line", "привет;1"), ["REC привет;1"]),
            (("clear", "journal"), ["CMD 001"]),
        ]
        for args, lines in expect:
            if lines is None:
                continue
            with self.subTest(args=args):
                _, got = self.run_and_journal(s, *args)
                self.assertEqual(got, lines)
        r, _ = self.run_and_journal(s, "get-id", "documents")
        self.assertEqual(r.out, "12\n")
        r, _ = self.run_and_journal(s, "get-id", "operations")
        self.assertEqual(r.out, "-1\n")
        # The journals were cleared: nothing to download.
        r = korvane(s.port, "recv", "journal")
        self.assertFails(r, 103, -103, "В терминале нет данных для выгрузки.")
        self.assertNotIn("CMD 021", s.journal())

    def test_raw_line_receive(self):
        s = self.sim("--unsolicited", "Сканер;готов")
        r = korvane(s.port, "recv-line")
        self.assertOk(r)
        self.assertEqual(r.out, "Сканер;готов\n")

    def test_refused_kinds_send_nothing(self):
        s = self.sim()
        cases = [
            (("clear", "goods"), "Таблица \"товары\" не поддерживает операцию очистки данных."),
            (("get-id", "3"), "Таблица \"исполнители\" не поддерживает операцию получения текущего ID."),
            (("recv", "goods"), "Таблица \"товары\" не поддерживает операцию выгрузки."),
            (("filter-text", "documents", "x"), "не поддерживает операцию установки фильтра по коду или ш/к."),
            (("send", "journal", sample("journal")), "Таблица \"журнал\" не поддерживает операцию загрузки данных."),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                r = korvane(s.port, *args)
                self.assertFails(r, 3, -3, text)
        cmds = [l for l in s.journal() if l.startswith("CMD ")]
        for code in ("CMD 001", "CMD 880", "CMD 886", "CMD 151", "CMD 021"):
            self.assertNotIn(code, cmds)

    def test_usage_errors(self):
        r = korvane("LAN:127.0.0.1:1", "clear", "bogus")
        self.assertEqual(r.code, 2, r)
        self.assertIn("'bogus' is not a table kind", r.err)
        r = korvane("LAN:127.0.0.1:1", "set-id", "2", "x1")
        self.assertEqual(r.code, 2, r)
        r = korvane(None, "beep")
        self.assertEqual(r.code, 2, r)
        self.assertIn("no port: give --port NAME or set KORVANE_PORT", r.err)
        r = korvane(None, "ports")
        self.assertEqual(r.code, 0, r)
        self.assertIn("LAN:HOST:PORT\ttcp", r.out)
        r = korvane(None, "send", "--help")
        self.assertEqual(r.code, 0, r)
        self.assertIn("usage: korvane [OPTIONS] send KIND FILE [KIND FILE ...] [--oper-id N]", r.out)

    def test_ports_from_the_device_tree_and_watching(self):
        if (TRANSPORT, PROTOCOL) != ("tcp", "v3"):
            self.skipTest("ports do not depend on the link; run once")
        # A device tree with one hand-held on the sync driver, as the kernel lays it out.
        sysfs = os.path.join(self.dir, "sys")
        usb = os.path.join(sysfs, "devices/pci0000:00/usb1/1-2")
        port = os.path.join(usb, "1-2:1.0/ttyUSB4")
        os.makedirs(os.path.join(port, "tty/ttyUSB4"))
        os.makedirs(os.path.join(sysfs, "bus/usb-serial/drivers/ipaq"))
        os.makedirs(os.path.join(sysfs, "class/tty"))
        for name, value in (("idVendor", "1234"), ("idProduct", "00ce"), ("bcdDevice", "0100"),
                            ("manufacturer", "Acme"), ("product", "Handheld")):
            with open(os.path.join(usb, name), "w") as f:
                f.write(value + "\n")
        os.symlink(os.path.join(sysfs, "bus/usb-serial/drivers/ipaq"), os.path.join(port, "driver"))
        os.symlink("../..", os.path.join(port, "tty/ttyUSB4/device"))
        os.symlink(os.path.join(port, "tty/ttyUSB4"), os.path.join(sysfs, "class/tty/ttyUSB4"))
        env = dict(ENV, KORVANE_SYSFS_ROOT=sysfs)
        listing = ("/dev/ttyUSB4\tusb (ipaq)\tAcme Handheld (USB\\VID_1234&PID_00CE&REV_0100, usb 1-2)\n"
                   "LAN:HOST:PORT\ttcp (a terminal or simulator listening on HOST:PORT)\n")
        r = korvane(None, "ports", env=env)
        self.assertEqual((r.code, r.out), (0, listing), r)
        # Watching lists first and ends by itself; where the kernel's event socket is closed to
        # us, it says so and fails.
        r = korvane(None, "ports", "--watch", "--timeout", "1", env=env)
        if r.code == 1 and "cannot watch device changes" in r.err:
            self.skipTest(r.err.strip())
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.out.startswith(listing), r)
        self.assertTrue(0.9 <= r.seconds < 3, r)


class FailuresTest(SimCase):
    def test_missing_port(self):
        port = os.path.join(self.dir, "no-such-tty")
        r = korvane(port, "info")
        self.assertFails(r, 4, -4, "[Подключение]",
                         "Ошибка открытия порта %s - Порт не найден (%s)" % (port, port))
        # The port also comes from the environment.
        r = korvane(None, "info", env=dict(ENV, KORVANE_PORT=port))
        self.assertFails(r, 4, -4, "Порт не найден (%s)" % port)

    def test_silent_terminal(self):
        s = self.sim("--silent-after", "0")
        r = korvane(s.port, "info")
        self.assertFails(r, 7, -7, "Терминал не подключен (%s)" % s.port)
        self.assertLess(r.seconds, 10, r)

    def test_slow_terminal_is_waited_for(self):
        s = self.sim("--delay", "250")
        r = korvane(s.port, "info")
        self.assertOk(r)
        # Link check, clock, and two identity queries: each answer comes a quarter second late.
        self.assertGreater(r.seconds, 1.0, r)
        self.assertIn("program:    Ostrel\n", r.out)

    def test_no_job(self):
        s = self.sim("--job", "0")
        r = korvane(s.port, "recv", "journal", "-o", os.path.join(self.dir, "x.csv"))
        self.assertFails(r, 101, -101, "[Подготовка к выгрузке данных]", "В терминале не загружено задание!")
        self.assertEqual(glob.glob(os.path.join(self.dir, "x.csv*")), [])
        cmds = [l for l in s.journal() if l.startswith("CMD ")]
        self.assertIn("CMD 880", cmds)
        self.assertNotIn("CMD 998", cmds)

    def test_not_ready(self):
        s = self.sim("--ready", "3:Идёт инвентаризация")
        r = korvane(s.port, "recv", "journal")
        self.assertFails(r, 102, -102, "Терминал не готов выгружать данные - Идёт инвентаризация")
        self.assertNotIn("CMD 999", s.journal())

    def test_bad_verdict_keeps_tables(self):
        s = self.sim("--verdict", "SYNC;-1;Ошибка разбора")
        r = korvane(s.port, "send", "goods", sample("goods"), "--oper-id", "5")
        self.assertFails(r, 104, -104, "[Обработка данных терминалом]",
                         "Ошибка при обработке данных терминалом - \"SYNC;-1;Ошибка разбора\".")
        self.assertFalse(os.path.exists(os.path.join(self.data, "uploaded", "goods.csv")))
        self.assertNotIn("CMD 881", s.journal())

    def test_short_download(self):
        s = self.sim("--lines-count", "9")
        r = korvane(s.port, "recv", "journal", "-o", os.path.join(self.dir, "x.csv"))
        self.assertFails(r, 6, -6, "Выгрузка данных неожиданно прервалась - ожидали 9 строк, а получили 5 строк.")

    def test_terminal_killed_mid_transfer(self):
        """The terminal dies in the middle of a download and of an upload: a lost device, reported
        at once (over TCP the peer's close is the only sign), never a time-out slept through."""
        if PROTOCOL == "v2x":
            self.skipTest("v2x takes the v2 path of the link; v2 covers it")
        for direction in ("download", "upload"):
            with self.subTest(direction):
                self._kill_mid_transfer(direction)

    def _kill_mid_transfer(self, direction):
        rows = write_rows(os.path.join(self.dir, "rows.csv"), 3000)
        if direction == "download":
            shutil.copy(rows, os.path.join(self.data, "journal.csv"))
        # Paced, so the transfer is still running when the terminal dies.
        s = self.sim("--baud", "115200")
        out = os.path.join(self.dir, "journal.csv")
        with open(out, "wb") as f:
            f.write(b"yesterday's table\r\n")
        args = ["recv", "journal", "-o", out] if direction == "download" else ["send", "operations", rows]
        proc = subprocess.Popen([CLI, "--port", s.port] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=ENV)

        def partial():
            names = glob.glob(out + ".partial-*")
            return names[0] if len(names) == 1 else None

        def started():
            if direction == "download":
                return partial() is not None and os.path.getsize(partial()) >= 10000
            return "CMD 111" in s.journal()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not started():
            time.sleep(0.05)
        self.assertTrue(started(), "the transfer never started")
        if direction == "upload":
            time.sleep(0.5)
        s.kill()
        killed = time.monotonic()
        usage = None
        while time.monotonic() - killed < LINK_TIMEOUT_S + REPORT_MARGIN_S:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            usage = None
            time.sleep(0.01)
        if usage is None:
            proc.kill()
            proc.communicate()
            self.fail("the tool hung after the terminal died")
        took = time.monotonic() - killed
        proc.returncode = os.waitstatus_to_exitcode(status)
        err = proc.stderr.read().decode("utf-8", "replace")
        proc.stderr.close()
        proc.stdout.close()
        self.assertNotEqual(proc.returncode, 0)
        self.assertLess(usage.ru_utime + usage.ru_stime, MAX_WAIT_CPU_S, "CPU spent waiting")
        self.assertLess(took, LOST_DEVICE_REPORT_S, err)
        self.assertIn("устройство потеряно или ошибка драйвера связи", err)
        if direction == "upload":
            self.assertIn("send failed: result -6 [Загрузка таблицы]: Ошибка при отправке строки таблицы \"операции\" - ",
                          err)
            return
        self.assertIn("recv failed: result -6 [Выгрузка таблицы]: Ошибка при получении строки таблицы \"журнал\" - ",
                      err)
        # The named file is untouched; what arrived is a prefix of the table, whole rows only, and
        # the message says where it is.
        self.assertEqual(read_bytes(out), b"yesterday's table\r\n")
        got = read_bytes(partial())
        self.assertIn("korvane: %s left as it was; the %d rows received are in %s\n"
                      % (out, got.count(b"\r\n"), partial()), err)
        self.assertTrue(read_bytes(rows).startswith(got))
        self.assertTrue(got.endswith(b"\r\n"))


class HostileRowsTest(SimCase):
    """Rows the wire or the file format cannot carry: refused with the row's number before anything
    of the table is sent; rows at each protocol's limit go whole, every time."""

    def upload_limit(self):
        return 65532 if PROTOCOL == "v3" else 8095

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_uploads(self):
        limit = self.upload_limit()
        v = "v3" if PROTOCOL == "v3" else "v2"
        name = "Строка №%d таблицы \"служебная\" "
        too_long = name % 1 + ("длиной %d байт не может быть передана по протоколу %s: допустимо не более %d байт. "
                               "Таблица не загружена." % (limit + 1, v, limit))
        cases = [
            # file bytes, extra options, exit status, texts, rows the terminal must end with (None: none)
            (b"a\r\n\x04b\r\nc\r\n", [], 3,
             ["result -3", name % 2 + "начинается с символа EOT (0x04), который терминал принимает за конец данных."],
             None),
            (b"L" * limit + b"\r\nx\x04\r\n", [], 0, [], None),
            (b"X" * (limit + 1) + b"\r\n", [], 3, ["result -3", too_long], None),
            (b"y" * 100002 + b"\r\n", [], 3, ["result -3", name % 1 + "длиной 100002 байт"], None),
            (b"a\rb\rc\r", [], 1, ["row 1: a CR without LF after it (lines must end in LF or CR LF); nothing sent"],
             None),
            (cp("Ёлка\r\nель\r\n"), ["--csv-convert"], 1, ["row 1: does not convert from UTF-8 to CP1251"], None),
            ("Ёлка\r\nи 漢 ель\r\n".encode("utf-8"), ["--csv-convert=replace"], 0, [], cp("Ёлка\r\nи ? ель\r\n")),
        ]
        s = self.sim()
        uploaded = os.path.join(self.data, "uploaded", "service.csv")
        for round_ in range(2):
            for i, (data, opts, status, texts, stored) in enumerate(cases):
                with self.subTest(case=i, round=round_):
                    if os.path.exists(uploaded):
                        os.remove(uploaded)
                    path = self.write("in.csv", data)
                    r = korvane(s.port, *opts, "send", "service", path)
                    self.assertEqual(r.code, status, r)
                    for t in texts:
                        self.assertIn(t, r.err, r)
                    j = self.journal_after(s, "last")
                    if status != 0:
                        self.assertFalse(os.path.exists(uploaded), r)
                        self.assertNotIn("CMD 1F1", j, r)
                    else:
                        self.assertEqual(read_bytes(uploaded), stored if stored is not None else data, r)

    def test_downloads(self):
        longest = b"L" * 8191
        undefined = b"\xd0\xeb\x98"  # 0x98 is no character of CP1251
        for rows, opts, status, texts, written in [
            ([b"a", longest, b"c"], [], 0, [], None),
            ([b"a", b"X" * 8192, b"c"], [], 6,
             ["result -6 [Выгрузка таблицы]: Строка №2 таблицы \"служебная\" длиннее 8191 байт и не может быть "
              "принята - выгрузка прервана."], None),
            ([b"a", undefined], ["--csv-convert"], 1,
             ["row 2 of service does not convert from CP1251 to UTF-8", "service1.out not written"], None),
            ([b"a", undefined], ["--csv-convert=replace"], 0, [], "a\r\nРл?\r\n".encode("utf-8")),
        ]:
            with self.subTest(status=status, opts=opts):
                self.write(os.path.join(self.data, "service.csv"), b"".join(r + b"\r\n" for r in rows))
                s = self.sim()
                out = os.path.join(self.dir, "service%d.out" % status)
                if os.path.exists(out):
                    os.remove(out)
                for _ in range(2):
                    r = korvane(s.port, *opts, "recv", "service", "-o", out)
                    self.assertEqual(r.code, status, r)
                    for t in texts:
                        self.assertIn(t, r.err, r)
                    if status == 0:
                        self.assertEqual(read_bytes(out), written or read_bytes(os.path.join(self.data, "service.csv")))
                    else:
                        self.assertFalse(os.path.exists(out), r)
                s.stop()  # the next case's simulator takes the same pty link


class HeavyCorruptionTest(SimCase):
    def test_a_line_damaging_most_bytes_fails_naming_its_quality(self):
        if TRANSPORT != "tcp":
            self.skipTest("the line's faults are the simulator's; one transport shows them")
        write_rows(os.path.join(self.data, "journal.csv"), 2000)
        s = self.sim("--corrupt", "0.01")
        r = korvane(s.port, "recv", "journal", "-o", os.path.join(self.dir, "x.csv"))
        self.assertFails(r, 6, -6, "Линия связи слишком зашумлена: из последних ")
        self.assertRegex(r.err, r"искажено около \d+\.\d% байт \(протокол v[23]\)")
        # The README's bound: the frames judged, each within its time-out.
        self.assertLess(r.seconds, 40, r)


class NakTest(SimCase):
    def setUp(self):
        if PROTOCOL not in ("v2", "v2x"):
            self.skipTest("forced NAK codes are protocol v2")
        super().setUp()

    def test_crc_nak_is_resent(self):
        s = self.sim("--nak", "1")
        r = korvane(s.port, "info")
        self.assertOk(r)
        self.assertEqual(sum(1 for l in s.journal() if l == "CMD --p"), 1)

    def test_overflow_nak_fails_the_send(self):
        s = self.sim("--nak", "3")
        r = korvane(s.port, "info")
        self.assertNotEqual(r.code, 0, r)
        self.assertIn("result -", r.err)


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] in ("tcp", "pty"):
        TRANSPORT, PROTOCOL = sys.argv[1], sys.argv[2]
        del sys.argv[1:3]
    unittest.main(verbosity=2)
