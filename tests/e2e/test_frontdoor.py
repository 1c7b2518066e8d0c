"""The command line: usage, options, --status, --set-server, --quarantine-list."""
import os
import shutil
import subprocess
import unittest

from harness import PrefixTest, EXE


class CommandLine(PrefixTest):

    def test_usage_text_for_help_and_missing_operands(self):
        for args in (["--help"], ["--scan"], ["--set-mode"], ["--quarantine-restore"],
                     ["--apply-update", "1"], ["--bogus"]):
            with self.subTest(args=args):
                rc, out = self.prefix.run(*args)
                self.assertEqual(rc, 1)
                lines = out.split("\n")
                self.assertEqual(lines[0], "Tallowguard 1.4.4 - antivirus protection service")
                self.assertEqual(lines[1], "")
                self.assertEqual(lines[2], "Usage (run elevated for install/uninstall/status):")
                argv0 = lines[3].split("                  install")[0]
                self.assertTrue(argv0.endswith("Tallowguard.exe"), argv0)
                self.assertIn(argv0 + " --scan <path>    scan a file or folder", lines)
                # The --set-mode continuation sits under the descriptions.
                i = lines.index(argv0 + " --set-mode service|tray")
                self.assertEqual(lines[i + 1], " " * (len(argv0) + 18) +
                                 "switch an installed copy between modes")
                self.assertIn("\nDetection: SHA-256 signature database (C:\\ProgramData\\"
                              "Tallowguard\\signatures.db) plus\n", out)
                self.assertTrue(out.endswith("URL the AV runs standalone with full protection.\n"))

    def test_options_are_case_insensitive(self):
        rc, out = self.prefix.run("--STATUS")
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith("Tallowguard 1.4.4\n"))

    def test_set_server_normalises_and_forgets_enrolment(self):
        self.prefix.write("config.ini", "# mine\ninstall_id=abc\ninstall_token=tok\nrealtime=1\n")
        rc, out = self.prefix.run("--set-server", "  https://fleet.example.org// ")
        self.assertEqual((rc, out), (0, "Server set to https://fleet.example.org\n"))
        self.assertEqual(self.prefix.read("config.ini"),
                         "# mine\ninstall_id=\ninstall_token=\nrealtime=1\n"
                         "server_url=https://fleet.example.org\n")
        rc, out = self.prefix.run("--set-server", "")
        self.assertEqual((rc, out), (0, "Server set to (standalone)\n"))
        self.assertIn("server_url=\n", self.prefix.read("config.ini"))

    def test_set_server_prints_what_it_stored_and_refuses_what_cannot_work(self):
        before = "# mine\ninstall_id=abc\nserver_url=https://old.example\n"
        self.prefix.write("config.ini", before)
        # The value ends at a line end; the trailing "/" goes after the cut.
        rc, out = self.prefix.run("--set-server", "https://fleet.example.org/\nhttps://evil/")
        self.assertEqual((rc, out), (0, "Server set to https://fleet.example.org\n"))
        self.assertIn("server_url=https://fleet.example.org\n", self.prefix.read("config.ini"))
        self.prefix.write("config.ini", before)
        for url in ("ftp://fleet.example.org", "fleet.example.org", "https://fleet\texample",
                    "http://", "https://fleet.example.org:0"):
            with self.subTest(url=url):
                rc, out = self.prefix.run("--set-server", url)
                self.assertEqual(rc, 1)
                self.assertTrue(out.startswith("Not a server URL: it must begin with http:// "
                                               "or https://"), out)
                self.assertEqual(self.prefix.read("config.ini"), before)

    def test_set_server_that_cannot_write_says_so(self):
        before = "install_id=abc\nserver_url=https://old.example\n"
        self.prefix.write("config.ini", before)
        path = os.path.join(self.prefix.data_dir, "config.ini")
        os.chmod(path, 0o444)  # Wine shows it as a read-only file
        try:
            rc, out = self.prefix.run("--set-server", "https://fleet.example.org")
        finally:
            os.chmod(path, 0o644)
        self.assertEqual(rc, 1)
        self.assertEqual(out, "Could not write C:\\ProgramData\\Tallowguard\\config.ini "
                              "(read-only or disk full?): the server was not set.\n")
        self.assertEqual(self.prefix.read("config.ini"), before)

    def test_status_lines_in_order(self):
        self.prefix.write("stats.ini", "scanned=12\ndetected=3\nlast_quick=2026-12-01 10:00\n")
        self.prefix.write("config.ini", "install_mode=tray\nserver_url=http://10.0.0.1:8080\n"
                          "install_id=abc-123\n")
        rc, out = self.prefix.run("--status")
        self.assertEqual(rc, 0)
        lines = out.split("\n")
        self.assertEqual(lines[0], "Tallowguard 1.4.4")
        self.assertEqual(lines[1], "  Installed : no  (C:\\Program Files\\Tallowguard\\Tallowguard.exe)")
        self.assertEqual(lines[2], "  Mode      : User interface (system tray)")
        self.assertEqual(lines[3], "  Service   : not registered")
        self.assertRegex(lines[4], r"^  Signatures: \d+ loaded \(C:\\ProgramData\\Tallowguard\\signatures.db\)$")
        self.assertEqual(lines[5], "  Scanned   : 12 files | Detected: 3 threats")
        self.assertEqual(lines[6], "  Last quick scan: 2026-12-01 10:00 | Last full scan: never")
        self.assertEqual(lines[7], "  Server    : http://10.0.0.1:8080")
        self.assertEqual(lines[8], "  Install ID: abc-123")
        self.assertEqual(lines[9], "  Realtime  : ON")
        self.assertEqual(lines[10:], [""])

    def test_status_standalone_has_no_cloud_lines(self):
        self.prefix.write("config.ini", "server_url=\n")
        rc, out = self.prefix.run("--status")
        self.assertEqual(rc, 0)
        self.assertTrue(out.endswith("  Server    : (standalone)\n"), out)

    def test_output_redirected_to_a_file(self):
        # A pipe is what every other test reads; a file is the other kind of
        # redirected handle.
        target = self.prefix.c("out.txt")
        with open(target, "wb") as f:
            subprocess.run(["wine", EXE, "--status"], env=self.prefix.env, stdout=f,
                           stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        with open(target, "rb") as f:
            self.assertTrue(f.read().startswith(b"Tallowguard 1.4.4"))

    def test_arguments_without_an_exact_ansi_form_are_refused(self):
        # A full-width digit would be the quarantine id 1 by best fit, and a
        # name the code page cannot spell another file.
        self.prefix.write("quarantine.db",
                          "1|2026-12-01 10:00:00|C:\\kept\\x.exe|EICAR-Test-File\n")
        for args in (["--quarantine-delete", "\uff11"], ["--quarantine-restore", "\uff11"],
                     ["--scan", "C:\\\u4e2d\u6587.exe"]):
            with self.subTest(args=args):
                rc, out = self.prefix.run(*args)
                self.assertEqual(rc, 1, out)
                self.assertTrue(out.startswith("Argument 2 has characters the ANSI code page "
                                               "cannot represent: "), out)
        self.assertIn("1|", self.prefix.read("quarantine.db"))

    def test_a_data_directory_that_cannot_be_made_is_an_error(self):
        # A file where the folder should be: nothing can be kept there.
        with open(self.prefix.data_dir, "wb") as f:
            f.write(b"in the way")
        try:
            rc, out = self.prefix.run("--quarantine-list")
        finally:
            os.remove(self.prefix.data_dir)
        self.assertRegex(out, r"\[ERROR\] cannot create the data directory "
                              r"C:\\ProgramData\\Tallowguard \(\d+\)\n")
        self.assertIn("[ERROR] cannot create the log folder C:\\ProgramData\\Tallowguard\\logs",
                      out)

    def test_commands_of_later_builds_do_not_pretend(self):
        for args in (["--register"], ["--heartbeat"], ["--check-update"], ["--uninstall"],
                     ["--set-mode", "tray"], ["--apply-update", "1", "x"]):
            with self.subTest(args=args):
                rc, out = self.prefix.run(*args)
                self.assertEqual(rc, 1)
                self.assertEqual(out, "%s is not available in this build.\n" % args[0])


    def test_installed_copy_without_arguments_shows_status_and_waits(self):
        install_dir = self.prefix.c("Program Files", "Tallowguard")
        os.makedirs(install_dir, exist_ok=True)
        installed = os.path.join(install_dir, "Tallowguard.exe")
        shutil.copy(EXE, installed)
        try:
            rc, out = self.prefix.run(stdin_text="\n", exe="C:\\Program Files\\Tallowguard\\Tallowguard.exe")
        finally:
            shutil.rmtree(install_dir, ignore_errors=True)
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith("Tallowguard 1.4.4\n  Installed : yes  (C:\\Program Files"), out)
        self.assertTrue(out.endswith("\nPress Enter to close..."), out)


class QuarantineList(PrefixTest):

    def test_empty_when_no_index(self):
        self.assertEqual(self.prefix.run("--quarantine-list"), (0, "Quarantine is empty.\n"))

    def test_table_skips_malformed_lines(self):
        self.prefix.write("quarantine.db",
                          "3|2026-12-01 10:00:00|C:\\Users\\a\\Downloads\\x.exe|EICAR-Test-File\n"
                          "garbage line\n"
                          "7|2026-12-02 11:00:00|C:\\t\\y.pdf.exe|HEUR:DoubleExtension|x\r\n")
        rc, out = self.prefix.run("--quarantine-list")
        self.assertEqual(rc, 0)
        fmt = "%-6s %-19s %-28s %s\n"
        self.assertEqual(out,
                         fmt % ("ID", "Date", "Threat", "Original path") +
                         fmt % ("3", "2026-12-01 10:00:00", "EICAR-Test-File",
                                "C:\\Users\\a\\Downloads\\x.exe") +
                         fmt % ("7", "2026-12-02 11:00:00", "HEUR:DoubleExtension|x",
                                "C:\\t\\y.pdf.exe"))



if __name__ == "__main__":
    unittest.main()
