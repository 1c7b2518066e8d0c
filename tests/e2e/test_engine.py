"""The protection engine: `--service` run by hand and under the Service
Control Manager, the start-up scan, the realtime watchers and the stop."""
import os
import re
import shutil
import time
import unittest

import samples
from harness import BUILD, EXE, PrefixTest, wait_for

SHELL_TESTS = os.path.join(BUILD, "shell_tests.exe")
CONFIG = "server_url=\npaused=0\n"  # standalone, protecting


def eicar():
    return samples.eicar().decode("latin-1")


def empty_folder(path):
    """Makes path a real, empty folder without removing it: a watcher may
    hold it open."""
    if os.path.islink(path):
        os.remove(path)
    os.makedirs(path, exist_ok=True)
    for name in os.listdir(path):
        full = os.path.join(path, name)
        if os.path.isdir(full) and not os.path.islink(full):
            shutil.rmtree(full)
        else:
            os.remove(full)


def problems(result):
    return len(result.failures) + len(result.errors) if result is not None else 0


class EngineTest(PrefixTest):
    """Each test starts from empty watched folders and a standalone
    config.ini; what it checks in the logs is what was written after its
    start (the `*_since_start` readers)."""

    def setUp(self):
        self.reset_state()
        self.marks = self.offsets()

    def reset_state(self):
        self.prefix.reset_data()
        self.reset_folders()
        self.prefix.write("config.ini", CONFIG)

    def reset_folders(self):
        for name in ("Downloads", "Desktop"):
            empty_folder(self.prefix.user_dir(name))

    @property
    def downloads_win(self):
        """Downloads as the engine names it: it lists the folders of C:\\Users."""
        return "C:\\Users\\%s\\Downloads" % self.prefix.user

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

    def data_file(self, name):
        try:
            return self.prefix.read(name)
        except FileNotFoundError:
            return ""

    def offsets(self):
        return {"log": len(self.prefix.log_text()), "notify": len(self.data_file("notify.log"))}

    def log_since_start(self):
        return self.prefix.log_text()[self.marks["log"]:]

    def notify_since_start(self):
        return self.data_file("notify.log")[self.marks["notify"]:]

    def wait_log(self, text, timeout=30.0):
        return wait_for(lambda: text in self.log_since_start(), timeout=timeout)

    def assert_quarantined(self, path, windows_path):
        self.assertTrue(wait_for(lambda: not os.path.exists(path), timeout=15.0),
                        windows_path + " was not quarantined")
        self.assertTrue(wait_for(lambda: windows_path in self.quarantine_db(), timeout=5.0))
        self.assertIn("[DETECT] REALTIME DETECTED threat=EICAR-Test-File file=%s\n"
                      % windows_path, self.log_since_start())

    def quarantine_db(self):
        return self.data_file("quarantine.db")


class ManualService(EngineTest):
    """One agent serves the tests of this class while it stays healthy: a
    test finds it running, past its start-up scan and watching, or starts a
    new one on fresh data (after a test that stopped it, failed or left
    another config.ini). So each test runs alone or in any order; the
    numbers only keep the cheap order, with the stop last."""

    proc = None
    start_mark = 0  # where the agent's part of the log begins

    @classmethod
    def tearDownClass(cls):
        cls.stop_agent()
        super().tearDownClass()

    @classmethod
    def stop_agent(cls):
        if cls.proc is not None:
            if cls.proc.poll() is None:
                cls.proc.kill()
            cls.proc.wait()
            cls.proc.stdout.close()
        cls.proc = None

    def run(self, result=None):
        # A test that failed may have left the agent in any state: the next
        # one starts its own.
        before = problems(result)
        result = super().run(result)
        if problems(result) > before:
            self.stop_agent()
        return result

    def reset_state(self):
        if (self.proc is not None and self.proc.poll() is None
                and self.data_file("config.ini") == CONFIG):
            self.reset_folders()
            return
        self.stop_agent()
        super().reset_state()
        cls = type(self)
        cls.start_mark = len(self.prefix.log_text())
        cls.proc = self.prefix.start("--service")
        watching = "realtime watcher on %s\n" % self.downloads_win
        # Waited for before any test: the scan would take the realtime
        # tests' files from the watchers. The notification is its last trace.
        done = r"\tStartup scan complete\t\d+ files scanned - \d+ threats? found\n"
        if not wait_for(lambda: watching in self.prefix.log_text(), timeout=60.0):
            self.stop_agent()
            raise RuntimeError("agent did not start watching:\n" + self.prefix.log_text())
        if not wait_for(lambda: re.search(done, self.data_file("notify.log")), timeout=90.0):
            self.stop_agent()
            raise RuntimeError("no start-up scan:\n" + self.prefix.log_text())

    def agent_log(self):
        return self.prefix.log_text()[self.start_mark:]

    def test_1_startup_lines_and_a_second_start(self):
        log = self.agent_log()
        self.assertIn("[INFO] --service launched manually: running protection loop directly\n", log)
        self.assertRegex(log, r"\[INFO\] Tallowguard 1\.4\.4 service started \(pid \d+\)\n")
        self.assertRegex(log, r"\[INFO\] realtime: \d+ watchers started\n")
        self.assertRegex(self.data_file("notify.log"),
                         r"\tTallowguard protection is active\t\d+ threat signatures loaded - "
                         r"realtime monitoring on\n")

        start = time.time()
        rc, _ = self.prefix.run("--service", timeout=60)
        self.assertEqual(rc, 0)
        self.assertLess(time.time() - start, 30)
        self.assertIn("[WARN] another instance is running\n", self.log_since_start())
        self.assertIsNone(self.proc.poll(), "the first instance must keep running")

    def test_2_startup_scan_after_its_pause(self):
        # Its end is waited for before each test (see reset_state).
        self.assertRegex(self.data_file("scans.log"),
                         r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\|quick\|\d+\|\d+\|\d+\n")
        log = self.agent_log()
        self.assertIn("[INFO] service: initial quick scan\n", log)
        self.assertRegex(log, r"\[INFO\] service: initial quick scan done \(\d+ files, \d+ threats\)\n")

    def test_3_new_and_renamed_executables_are_quarantined(self):
        new = self.downloads("new.exe")
        self.drop(new, eicar())
        self.assert_quarantined(new, self.downloads_win + "\\new.exe")

        for folder in ((), ("sub", "deeper")):
            tmp = self.downloads(*folder, "setup.tmp")
            self.drop(tmp, eicar())
            final = self.downloads(*folder, "setup.com")
            os.rename(tmp, final)
            self.assert_quarantined(final, "\\".join((self.downloads_win,) + folder + ("setup.com",)))
        self.assertIn("\tThreat quarantined\t", self.notify_since_start())

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
        self.assert_quarantined(marker, self.downloads_win + "\\marker1.exe")  # tool.exe is handled too

        shortcut = self.downloads("readme.lnk")
        self.drop(shortcut, eicar())
        with open(edited, "r+b") as f:  # rewritten in place: a modification only
            f.write(eicar().encode("latin-1"))
        marker = self.downloads("marker2.exe")
        self.drop(marker, eicar())
        self.assert_quarantined(marker, self.downloads_win + "\\marker2.exe")
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
        self.set_config(CONFIG)  # paused=0
        marker = self.downloads("marker3.exe")
        self.drop(marker, eicar())
        self.assert_quarantined(marker, self.downloads_win + "\\marker3.exe")
        self.assertTrue(os.path.exists(dropped), "a file dropped during the pause stays")

    def test_6_stop_event_ends_the_agent(self):
        rc, _ = self.prefix.run("--child", "set-stop-event", exe=SHELL_TESTS, timeout=60)
        self.assertEqual(rc, 0)
        self.assertEqual(self.proc.wait(timeout=30), 0)
        log = self.agent_log()
        self.assertIn("[INFO] service stopped\n", log)
        self.assertNotIn("[ERROR]", log)


class UnderServiceControlManager(EngineTest):

    def sc(self, *args):
        return self.prefix.run(*args, exe="sc", timeout=60)

    def state(self):
        _, out = self.sc("query", "Tallowguard")
        m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
        return m.group(1) if m else out

    def setUp(self):
        self.sc("stop", "Tallowguard")  # left over from a test that failed
        self.sc("delete", "Tallowguard")
        super().setUp()

    def test_start_query_detect_and_stop(self):
        exe = self.prefix.win_path(EXE)
        rc, out = self.sc("create", "Tallowguard", "binPath=", '"%s" --service' % exe)
        self.assertEqual(rc, 0, out)
        try:
            rc, out = self.sc("start", "Tallowguard")
            self.assertEqual(rc, 0, out)
            self.assertTrue(self.wait_log("realtime watcher on %s\n" % self.downloads_win,
                                          timeout=60.0), self.prefix.log_text())
            self.assertEqual(self.state(), "RUNNING")
            log = self.log_since_start()
            self.assertIn("[INFO] Tallowguard 1.4.4 service running under SCM\n", log)
            self.assertNotIn("launched manually", log)

            dropped = self.downloads("service.exe")
            self.drop(dropped, eicar())
            self.assert_quarantined(dropped, self.downloads_win + "\\service.exe")

            rc, out = self.sc("stop", "Tallowguard")
            self.assertEqual(rc, 0, out)
            self.assertTrue(wait_for(lambda: self.state() == "STOPPED", timeout=30.0))
            log = self.log_since_start()
            self.assertIn("[INFO] service stopped\n", log)
            self.assertIn("[INFO] Tallowguard service stopping (clean)\n", log)
        finally:
            self.sc("stop", "Tallowguard")
            self.sc("delete", "Tallowguard")


if __name__ == "__main__":
    unittest.main()
