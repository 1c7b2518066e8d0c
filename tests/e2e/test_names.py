"""File names through the on-demand scan, the quick scan and the realtime
watchers of the service: names with no form in the ANSI code page, under the
default code page (1252 under Wine) and under UTF-8 (a test build of the
program whose manifest asks for it), and names that Win32 takes for devices
or cuts (device names, a trailing dot or space)."""
import os
import re
import shutil
import unittest

import samples
from harness import BUILD, EXE, PrefixTest, wait_for

EXE_UTF8 = os.environ.get("TG_EXE_UTF8", "")
SHELL_TESTS = os.path.join(BUILD, "shell_tests.exe")

# Relative names (a "/" makes a folder), each holding the EICAR file.
UNICODE = ["caf\u00e9.exe", "\u4e2d\u6587.exe", "\u76ee\u5f55/evil.exe"]
HOSTILE = ["nul.exe", "NUL.EXE", "con.exe", "CON.exe", "aux.exe", "AUX.exe", "com1.exe",
           "COM1.EXE", "lpt1.com", "prn.bat", "dot.exe.", "space.exe "]
# Device names without an extension, and cut names of no executable type:
# a tree scan passes them over; named on the command line they are scanned.
NO_TYPE = ["aux", "CON", "nul", "name.", "name "]
TABLE = UNICODE + HOSTILE

DETECTED = re.compile(r"^\[DETECT\] (?:REALTIME )?DETECTED threat=EICAR-Test-File file=(.*)$",
                      re.M)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class NamesTest(PrefixTest):
    """The table through one build of the program (the class's EXE)."""

    EXE = EXE
    ENCODING = "cp1252"

    @classmethod
    def setUpClass(cls):
        if not cls.EXE:
            raise unittest.SkipTest("no program for this code page")
        super().setUpClass()
        for name in ("Downloads", "Desktop"):
            folder = cls.prefix.user_dir(name)
            if os.path.islink(folder):
                os.remove(folder)
            os.makedirs(folder, exist_ok=True)

    def run_tg(self, *args, timeout=120):
        rc, out = self.prefix.run(*args, exe=self.EXE, timeout=timeout)
        return rc, out.encode("latin-1").decode(self.ENCODING, "replace")

    def put_table(self, folder, names):
        for rel in names:
            write(os.path.join(folder, *rel.split("/")), samples.eicar())

    def assert_all_gone(self, folder, names, out):
        for rel in names:
            path = os.path.join(folder, *rel.split("/"))
            self.assertTrue(wait_for(lambda: not os.path.exists(path), timeout=20.0),
                            "%r was not quarantined\n%s" % (rel, out or self.prefix.log_text()))
        quar = os.path.join(self.prefix.data_dir, "quarantine")
        self.assertEqual(len([n for n in os.listdir(quar) if n.endswith(".quar")]), len(names))

    def test_scan(self):
        root = self.prefix.c("names")
        shutil.rmtree(root, ignore_errors=True)
        self.put_table(root, TABLE + NO_TYPE)
        rc, out = self.run_tg("--scan", "C:\\names")
        self.assertEqual(rc, 0, out)
        self.assertEqual(len(DETECTED.findall(out)), len(TABLE), out)
        self.assertIn("[INFO] scan done: %d files, %d threats, 0 errors" % (len(TABLE), len(TABLE)),
                      out)
        self.assert_all_gone(root, TABLE, out)
        for rel in NO_TYPE:
            self.assertTrue(os.path.exists(os.path.join(root, rel)), rel)
            rc, out = self.run_tg("--scan", "C:\\names\\" + rel)
            self.assertIn("[INFO] scan done: 1 files, 1 threats, 0 errors", out, rel)
            self.assertFalse(os.path.exists(os.path.join(root, rel)), rel)

    def test_quick_scan(self):
        downloads = self.prefix.user_dir("Downloads")
        self.put_table(downloads, TABLE)
        try:
            rc, out = self.run_tg("--scan-quick", timeout=300)
        finally:
            keep = [n for n in TABLE if os.path.exists(os.path.join(downloads, *n.split("/")))]
            shutil.rmtree(os.path.join(downloads, "\u76ee\u5f55"), ignore_errors=True)
        self.assertEqual(rc, 0, out)
        self.assertEqual(keep, [], out)
        self.assertRegex(out, r"\[INFO\] quick scan done: \d+ files, %d threats, 0 errors"
                         % len(TABLE))

    def test_realtime(self):
        downloads = self.prefix.user_dir("Downloads")
        self.prefix.write("config.ini", "server_url=\n")
        proc = self.prefix.start("--service", exe=self.EXE)
        try:
            # The start-up scan would take the files from the watchers.
            self.assertTrue(wait_for(lambda: "initial quick scan done" in self.prefix.log_text(),
                                     timeout=90.0), self.prefix.log_text())
            self.assertIn("realtime watcher on C:\\Users\\%s\\Downloads\n" % self.prefix.user,
                          self.prefix.log_text())
            self.put_table(downloads, TABLE)
            self.assert_all_gone(downloads, TABLE, None)
            after = os.path.join(downloads, "after.exe")
            write(after, samples.eicar())
            self.assertTrue(wait_for(lambda: not os.path.exists(after), timeout=20.0),
                            self.prefix.log_text())
            rc, _ = self.prefix.run("--child", "set-stop-event", exe=SHELL_TESTS, timeout=60)
            self.assertEqual(rc, 0)
            self.assertEqual(proc.wait(timeout=30), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            shutil.rmtree(os.path.join(downloads, "\u76ee\u5f55"), ignore_errors=True)
        log = self.prefix.log_text()
        self.assertEqual(log.count("] [DETECT] REALTIME DETECTED threat=EICAR-Test-File "),
                         len(TABLE) + 1, log)
        self.assertNotIn("[ERROR]", log)
        self.assertIn("[INFO] service stopped\n", log)


class NamesUtf8(NamesTest):
    EXE = EXE_UTF8
    ENCODING = "utf-8"


if __name__ == "__main__":
    unittest.main()
