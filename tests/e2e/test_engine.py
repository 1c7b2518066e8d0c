"""The protection engine: `--service` run by hand and under the Service
Control Manager, the start-up scan, the realtime watchers and the stop."""
import os
import re
import shutil
import time
import unittest

import samples
from harness import BUILD, PrefixTest, wait_for

SHELL_TESTS = os.path.join(BUILD, "shell_tests.exe")
DOWNLOADS = "C:\\Users\\root\\Downloads"


def eicar():
    return samples.eicar().decode("latin-1")


class EngineTest(PrefixTest):
    """An agent started once per class; the tests run in name order and
    share it, so the data directory is not reset between them."""

    proc = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.prefix.reset_data()
        for name in ("Downloads", "Desktop"):
            folder = cls.prefix.user_dir(name)
            if os.path.islink(folder):
                os.remove(folder)
            os.makedirs(folder, exist_ok=True)
        cls.prefix.write("config.ini", "server_url=\n")

    @classmethod
    def tearDownClass(cls):
        if cls.proc is not None and cls.proc.poll() is None:
            cls.proc.kill()
            cls.proc.wait()
        super().tearDownClass()

    def setUp(self):
        pass  # one agent and one data directory for the whole class

    def downloads(self, *parts):
        return self.prefix.user_dir("Downloads", *parts)

    def drop(self, path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text.encode("latin-1"))

    def set_config(self, text):
        # Replaced in one move, as the agent's own writer does: the agent
        # reads config.ini at any moment and must not see it half written.
        path = os.path.join(self.prefix.data_dir, "config.ini")
        with open(path + ".tmp", "wb") as f:
            f.write(text.encode("latin-1"))
        os.replace(path + ".tmp", path)

    def wait_log(self, text, timeout=30.0):
        return wait_for(lambda: text in self.prefix.log_text(), timeout=timeout)

    def assert_quarantined(self, path, windows_path):
        self.assertTrue(wait_for(lambda: not os.path.exists(path), timeout=15.0),
                        windows_path + " was not quarantined")
        self.assertTrue(wait_for(lambda: windows_path in self.quarantine_db(), timeout=5.0))
        self.assertIn("[DETECT] REALTIME DETECTED threat=EICAR-Test-File file=%s\n"
                      % windows_path, self.prefix.log_text())

    def quarantine_db(self):
        try:
            return self.prefix.read("quarantine.db")
        except FileNotFoundError:
            return ""


class ManualService(EngineTest):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.proc = cls.prefix.start("--service")
        ok = wait_for(lambda: "realtime watcher on %s\n" % DOWNLOADS in cls.prefix.log_text(),
                      timeout=60.0)
        if not ok:
            raise RuntimeError("agent did not start watching:\n" + cls.prefix.log_text())

    def test_1_startup_lines_and_a_second_start(self):
        log = self.prefix.log_text()
        self.assertIn("[INFO] --service launched manually: running protection loop directly\n", log)
        self.assertRegex(log, r"\[INFO\] Tallowguard 1\.4\.4 service started \(pid \d+\)\n")
        self.assertRegex(log, r"\[INFO\] realtime: \d+ watchers started\n")
        self.assertRegex(self.prefix.read("notify.log"),
                         r"\tTallowguard protection is active\t\d+ threat signatures loaded - "
                         r"realtime monitoring on\n")

        start = time.time()
        rc, _ = self.prefix.run("--service", timeout=60)
        self.assertEqual(rc, 0)
        self.assertLess(time.time() - start, 30)
        self.assertIn("[WARN] another instance is running\n", self.prefix.log_text())
        self.assertIsNone(self.proc.poll(), "the first instance must keep running")

    def test_2_startup_scan_after_its_pause(self):
        # Waited for before the realtime tests: the scan would take their
        # files from the watchers.
        self.assertTrue(wait_for(lambda: "|quick|" in self.scans_log(), timeout=60.0),
                        self.prefix.log_text())
        self.assertRegex(self.scans_log(), r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\|quick\|\d+\|\d+\|\d+\n")
        # The notification is the scan's last trace.
        done = r"\tStartup scan complete\t\d+ files scanned - \d+ threats? found\n"
        self.assertTrue(wait_for(lambda: re.search(done, self.prefix.read("notify.log")),
                                 timeout=30.0), self.prefix.read("notify.log"))
        log = self.prefix.log_text()
        self.assertIn("[INFO] service: initial quick scan\n", log)
        self.assertRegex(log, r"\[INFO\] service: initial quick scan done \(\d+ files, \d+ threats\)\n")

    def test_3_new_and_renamed_executables_are_quarantined(self):
        new = self.downloads("new.exe")
        self.drop(new, eicar())
        self.assert_quarantined(new, DOWNLOADS + "\\new.exe")

        for folder in ((), ("sub", "deeper")):
            tmp = self.downloads(*folder, "setup.tmp")
            self.drop(tmp, eicar())
            final = self.downloads(*folder, "setup.com")
            os.rename(tmp, final)
            self.assert_quarantined(final, "\\".join((DOWNLOADS,) + folder + ("setup.com",)))
        self.assertIn("\tThreat quarantined\t", self.prefix.read("notify.log"))

    def test_3a_heuristic_verdicts_under_the_windows_folder_stay(self):
        # The Windows folder's Temp is watched: a heuristic verdict there is
        # reported and the file left in place, EICAR is quarantined.
        folder = self.prefix.c("windows", "temp", "tgrt")
        self.addCleanup(shutil.rmtree, folder, True)
        kept = os.path.join(folder, "invoice.pdf.exe")
        self.drop(kept, "not really a program")
        marker = os.path.join(folder, "marker.exe")
        self.drop(marker, eicar())
        windows = "C:\\windows\\Temp\\tgrt\\"
        self.assert_quarantined(marker, windows + "marker.exe")
        line = ("[DETECT] realtime left in place: %sinvoice.pdf.exe (heuristic verdict under the "
                "system folder C:\\windows)\n" % windows)
        self.assertTrue(self.wait_log(line, timeout=15.0), self.prefix.log_text())
        self.assertIn("[DETECT] REALTIME DETECTED threat=HEUR:DoubleExtension file=%s"
                      "invoice.pdf.exe\n" % windows, self.prefix.log_text())
        self.assertTrue(os.path.exists(kept))
        self.assertNotIn("invoice.pdf.exe", self.quarantine_db())

    def test_4_shortcuts_and_edits_are_not_inspected(self):
        edited = self.downloads("tool.exe")
        self.drop(edited, "a clean program")
        marker = self.downloads("marker1.exe")
        self.drop(marker, eicar())
        self.assert_quarantined(marker, DOWNLOADS + "\\marker1.exe")  # tool.exe is handled too

        shortcut = self.downloads("readme.lnk")
        self.drop(shortcut, eicar())
        with open(edited, "r+b") as f:  # rewritten in place: a modification only
            f.write(eicar().encode("latin-1"))
        marker = self.downloads("marker2.exe")
        self.drop(marker, eicar())
        self.assert_quarantined(marker, DOWNLOADS + "\\marker2.exe")
        time.sleep(1.0)
        self.assertTrue(os.path.exists(shortcut))
        self.assertTrue(os.path.exists(edited))
        self.assertNotIn("readme.lnk", self.quarantine_db())
        self.assertNotIn("tool.exe", self.quarantine_db())

    def test_5_nothing_is_inspected_while_paused(self):
        self.set_config("server_url=\npaused=1\n")
        dropped = self.downloads("paused.exe")
        self.drop(dropped, eicar())
        time.sleep(4.0)  # the settle pause and two size checks, with room
        self.assertTrue(os.path.exists(dropped))
        self.set_config("server_url=\npaused=0\n")
        marker = self.downloads("marker3.exe")
        self.drop(marker, eicar())
        self.assert_quarantined(marker, DOWNLOADS + "\\marker3.exe")
        self.assertTrue(os.path.exists(dropped), "a file dropped during the pause stays")

    def test_6_stop_event_ends_the_agent(self):
        rc, _ = self.prefix.run("--child", "set-stop-event", exe=SHELL_TESTS, timeout=60)
        self.assertEqual(rc, 0)
        self.assertEqual(self.proc.wait(timeout=30), 0)
        log = self.prefix.log_text()
        self.assertIn("[INFO] service stopped\n", log)
        self.assertNotIn("[ERROR]", log)

    def scans_log(self):
        try:
            return self.prefix.read("scans.log")
        except FileNotFoundError:
            return ""


class UnderServiceControlManager(EngineTest):

    def sc(self, *args):
        return self.prefix.run(*args, exe="sc", timeout=60)

    def state(self):
        _, out = self.sc("query", "Tallowguard")
        m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
        return m.group(1) if m else out

    def test_start_query_detect_and_stop(self):
        exe = self.prefix.win_path(os.environ["TG_EXE"])
        self.sc("delete", "Tallowguard")  # left over from an interrupted run
        rc, out = self.sc("create", "Tallowguard", "binPath=", '"%s" --service' % exe)
        self.assertEqual(rc, 0, out)
        try:
            rc, out = self.sc("start", "Tallowguard")
            self.assertEqual(rc, 0, out)
            self.assertTrue(self.wait_log("realtime watcher on %s\n" % DOWNLOADS, timeout=60.0),
                            self.prefix.log_text())
            self.assertEqual(self.state(), "RUNNING")
            log = self.prefix.log_text()
            self.assertIn("[INFO] Tallowguard 1.4.4 service running under SCM\n", log)
            self.assertNotIn("launched manually", log)

            dropped = self.downloads("service.exe")
            self.drop(dropped, eicar())
            self.assert_quarantined(dropped, DOWNLOADS + "\\service.exe")

            rc, out = self.sc("stop", "Tallowguard")
            self.assertEqual(rc, 0, out)
            self.assertTrue(wait_for(lambda: self.state() == "STOPPED", timeout=30.0))
            log = self.prefix.log_text()
            self.assertIn("[INFO] service stopped\n", log)
            self.assertIn("[INFO] Tallowguard service stopping (clean)\n", log)
        finally:
            self.sc("stop", "Tallowguard")
            self.sc("delete", "Tallowguard")


if __name__ == "__main__":
    unittest.main()
