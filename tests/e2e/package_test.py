#!/usr/bin/env python3
"""The Linux package as a user gets it: cpack builds the .deb from this build, dpkg installs it into a
scratch root and purges it again; in between the installed tools run a download and an upload against
each other, and the installed bash completion runs against the installed tool.

Environment (set by ctest): KORVANE_CPACK, KORVANE_CPACK_CONFIG, KORVANE_VERSION, KORVANE_SOURCE_DIR.
"""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

import e2e_lib
from e2e_lib import ENV, Sim, Workdir, copy_samples, korvane, read_bytes

CPACK = os.environ.get("KORVANE_CPACK", "cpack")
CPACK_CONFIG = os.environ.get("KORVANE_CPACK_CONFIG", "")
VERSION = os.environ.get("KORVANE_VERSION", "")
SOURCE_DIR = os.environ.get("KORVANE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
STEP_TIMEOUT_S = 120

# Every file of the package: path and mode. Directories are whatever these need.
PACKAGE_FILES = {
    "usr/bin/korvane": 0o755,
    "usr/bin/korvane-sim": 0o755,
    "usr/share/doc/korvane/README.md": 0o644,
    "usr/lib/udev/rules.d/70-korvane.rules": 0o644,
    "usr/share/bash-completion/completions/korvane": 0o644,
    "usr/share/bash-completion/completions/korvane-sim": 0o644,
}


def run(*cmd, **kw):
    r = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       timeout=STEP_TIMEOUT_S, **kw)
    if r.returncode != 0:
        raise AssertionError("%s exited %d:\n%s" % (" ".join(map(str, cmd)), r.returncode, r.stdout))
    return r.stdout


def timed(*cmd):
    start = time.monotonic()
    run(*cmd)
    return time.monotonic() - start


def tree(root):
    """Every path under root, relative, directories with a trailing slash."""
    found = set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            found.add(os.path.normpath(os.path.join(rel, d)) + "/")
        for f in filenames:
            found.add(os.path.normpath(os.path.join(rel, f)))
    return found


class PackageTest(unittest.TestCase):
    def test_build_install_use_remove(self):
        self.assertRegex(VERSION, r"^\d+\.\d+\.\d+$")
        with Workdir() as work:
            start = time.monotonic()
            run(CPACK, "-G", "DEB", "--config", CPACK_CONFIG, "-B", os.path.join(work, "pkg"))
            build_s = time.monotonic() - start
            arch = run("dpkg", "--print-architecture").strip()
            deb = os.path.join(work, "pkg", "korvane_%s_%s.deb" % (VERSION, arch))
            self.assertTrue(os.path.exists(deb), os.listdir(os.path.join(work, "pkg")))
            self.check_package(deb)

            # A scratch root with an empty dpkg database; scripts run outside it with DPKG_ROOT set.
            root = os.path.join(work, "root")
            admin = os.path.join(root, "var", "lib", "dpkg")
            for d in ("info", "updates", "triggers"):
                os.makedirs(os.path.join(admin, d))
            for f in ("status", "available"):
                open(os.path.join(admin, f), "w").close()
            before = tree(root)
            dpkg = ["dpkg", "--root=" + root, "--log=/dev/null", "--force-script-chrootless", "--force-not-root",
                    "--force-depends"]
            install_s = timed(*dpkg, "--install", deb)

            installed = {p for p in tree(root) - before if not p.endswith("/") and not p.startswith("var/")}
            self.assertEqual(installed, set(PACKAGE_FILES))
            for path, mode in PACKAGE_FILES.items():
                self.assertEqual(os.stat(os.path.join(root, path)).st_mode & 0o777, mode, path)
            self.check_installed_tools(root, work)
            self.check_completion(root)

            # Removing takes every file; purging then only drops dpkg's record of the package.
            remove_s = timed(*dpkg, "--remove", "korvane")
            left = {p for p in tree(root) - before if not p.startswith("var/lib/dpkg/")}
            self.assertEqual(left, set(), "left behind by the removal")
            purge_s = timed(*dpkg, "--purge", "korvane")
            self.assertEqual({p for p in tree(root) - before if not p.startswith("var/lib/dpkg/")}, set())
            self.assertNotIn("Package: korvane", read_bytes(os.path.join(admin, "status")).decode())

            print("package %s: %d bytes; cpack %.1f s, install %.2f s, remove %.2f s, purge %.2f s" %
                  (os.path.basename(deb), os.path.getsize(deb), build_s, install_s, remove_s, purge_s))

    def check_package(self, deb):
        fields = dict(line.split(": ", 1) for line in
                      run("dpkg-deb", "--field", deb, "Package", "Version", "Section", "Depends").splitlines())
        self.assertEqual(fields["Package"], "korvane")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Section"], "comm")
        self.assertRegex(fields["Depends"], r"\blibc6 \(>= [\d.]+\)")
        self.assertRegex(fields["Depends"], r"\blibstdc\+\+6 \(>= [\d.]+\)")
        listing = run("dpkg-deb", "--contents", deb)
        for line in listing.splitlines():
            self.assertIn(" root/root ", line)
        control = run("dpkg-deb", "--info", deb)
        self.assertNotRegex(control, r"\n  ;", "description lines joined as a list")
        for script in ("postinst", "postrm"):
            self.assertRegex(control, r"\d+ bytes,\s+\d+ lines\s+\*\s+%s\s" % script)

    def check_installed_tools(self, root, work):
        cli = os.path.join(root, "usr/bin/korvane")
        sim = os.path.join(root, "usr/bin/korvane-sim")
        for tool in (cli, sim):
            self.assertEqual(run(tool, "--version", env=ENV), "%s %s\n" % (os.path.basename(tool), VERSION))
            self.assertNotIn(".debug_info", run("readelf", "-S", "-W", tool), tool + " is not stripped")
        self.assertTrue(run(cli, "--help", env=ENV).startswith("usage: korvane "))

        e2e_lib.CLI, e2e_lib.SIM = cli, sim
        data = copy_samples(os.path.join(work, "data"))
        goods = os.path.join(e2e_lib.SAMPLES, "goods.csv")
        out = os.path.join(work, "journal.csv")
        with Sim("tcp", "v3", work, data=data, journal=False, timeout_s=60) as s:
            r = korvane(s.port, "--quiet", "recv", "journal", "-o", out)
            self.assertEqual(r.code, 0, r)
            self.assertEqual(read_bytes(out), read_bytes(os.path.join(data, "journal.csv")))
            r = korvane(s.port, "--quiet", "send", "goods", goods, "--oper-id", "7")
            self.assertEqual(r.code, 0, r)
            self.assertEqual(read_bytes(os.path.join(data, "uploaded", "goods.csv")), read_bytes(goods))

    def check_completion(self, root):
        """Completions of partial command lines, as bash-completion would call them."""
        script = os.path.join(root, "usr/share/bash-completion/completions/korvane")
        self.assertEqual(read_bytes(script), read_bytes(script + "-sim"))
        cli = os.path.join(root, "usr/bin/korvane")
        sim = os.path.join(root, "usr/bin/korvane-sim")
        cases = [
            ("_korvane", [cli, "re"], {"recv", "recv-line", "reboot", "reset-filters"}),
            ("_korvane", [cli, "--port", "LAN:h:1", "recv", "jo"], {"journal", "journal2"}),
            ("_korvane", [cli, "send", "goods", "x.csv", "goods"], {"goods", "goods2"}),
            ("_korvane", [cli, "--vers"], {"--version"}),
            ("_korvane", [cli, "info", "x"], set()),
            ("_korvane_sim", [sim, "--protocol", "v2"], {"v2", "v2x"}),
            ("_korvane_sim", [sim, "--ver"], {"--verdict", "--version"}),
        ]
        for function, words, expected in cases:
            words_text = " ".join("'%s'" % w for w in words)
            program = 'source "%s"; COMP_WORDS=(%s); COMP_CWORD=%d; %s; printf "%%s\\n" "${COMPREPLY[@]}"' % (
                script, words_text, len(words) - 1, function)
            got = set(run("bash", "-c", program, env=ENV).split())
            self.assertEqual(got, expected, words[1:])

    def test_udev_rule_names_the_sync_driver(self):
        # The rule and the port enumeration must pick out the same kernel driver.
        header = read_bytes(os.path.join(SOURCE_DIR, "src/port/sysfs_ports.h")).decode()
        driver = re.search(r'kSyncDriverName = "([^"]+)"', header).group(1)
        rule = read_bytes(os.path.join(SOURCE_DIR, "packaging/linux/70-korvane.rules")).decode()
        self.assertEqual(re.findall(r'DRIVERS=="([^"]+)"', rule), [driver])


if __name__ == "__main__":
    if not shutil.which("dpkg-deb"):
        print("dpkg-deb not installed")
        sys.exit(77)
    unittest.main(verbosity=2)
