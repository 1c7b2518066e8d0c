"""Scans and the quarantine store: --scan, --scan-quick, --scan-full,
--quarantine-list, --quarantine-restore, --quarantine-delete."""
import hashlib
import os
import re
import shutil
import subprocess
import unittest

import samples
from harness import EXE, PrefixTest

M = samples.EICAR_MARKER
FMT = "%-6s %-19s %-28s %s\n"
DETECTED = re.compile(r"^\[DETECT\] DETECTED threat=(.*) file=(.*)$", re.M)
QUARANTINED = re.compile(r"^\[DETECT\] QUARANTINED id=(\d+) threat=(.*) file=(.*)$", re.M)
RECORD = re.compile(r"^(\d+)\|(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\|(.*)\|(.*)$")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha(data):
    return hashlib.sha256(data).hexdigest()


def detections(out):
    return {f: t for t, f in DETECTED.findall(out)}


def quarantined(out):
    return {f: (int(i), t) for i, t, f in QUARANTINED.findall(out)}


def done_line(out, prefix="scan done"):
    m = re.search(r"^\[INFO\] %s: (\d+) files, (\d+) threats, (\d+) errors$" % prefix, out, re.M)
    return tuple(int(x) for x in m.groups()) if m else None


class DetectTest(PrefixTest):
    """A fixture folder on drive C: of the class's prefix, empty per test."""

    def setUp(self):
        super().setUp()
        self.root = self.prefix.c("fixture")
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)

    def put(self, rel, data):
        path = os.path.join(self.root, *rel.split("/"))
        write(path, data)
        return self.win(rel)

    def win(self, rel=""):
        return "C:\\fixture" + ("\\" + rel.replace("/", "\\") if rel else "")

    def quar_dir(self):
        return os.path.join(self.prefix.data_dir, "quarantine")

    def records(self):
        path = os.path.join(self.prefix.data_dir, "quarantine.db")
        if not os.path.exists(path):
            return []
        text = read(path).decode("latin-1")
        self.assertTrue(text == "" or text.endswith("\n"), text)
        return [RECORD.match(line).groups() for line in text.splitlines()]


class TreeScan(DetectTest):

    def test_tree_verdicts_skips_quarantine_and_counts(self):
        # name -> (bytes, threat or None for scanned and clean)
        scanned = {
            "eicar.com": (samples.eicar(), "EICAR-Test-File"),
            "late_in.exe": (b"x" * (4095 - len(M)) + M, "EICAR-Test-File"),
            "late_out.exe": (b"x" * (4096 - len(M)) + M, None),
            "after_nul.exe": (b"x\0" + M, None),
            "invoice.pdf.exe": (b"hello", "HEUR:DoubleExtension"),
            "sub/A.PDF.EXE": (b"hello", "HEUR:DoubleExtension"),
            "sub/photo.jpg.scr": (b"hello", "HEUR:DoubleExtension"),
            ".pdf.exe": (b"hello", None),
            "report.exe": (b"hello", None),
            "three.exe": (samples.pe_with_apis(3), "HEUR:Suspicious.API(3)"),
            "two.exe": (samples.pe_with_apis(2), None),
            "plain.dll": (samples.pe_with_apis(4, mz=False), "HEUR:Suspicious.API(4)"),
            "setup.msi": (samples.pe_with_apis(5), "HEUR:Suspicious.API(5)"),
            "apis.bat": (samples.pe_with_apis(5, mz=False), None),
            "two.ps1": (samples.script_with(12, 2), "HEUR:Suspicious.Script(2)"),
            "one.ps1": (samples.script_with(12, 12), None),
            "short.bat": (b"schtasks bypass", None),
            "sixteen.bat": (b"schtasks bypass ", "HEUR:Suspicious.Script(2)"),
            "deep/" + "d/" * 63 + "at64.exe": (samples.eicar(), "EICAR-Test-File"),
        }
        not_scanned = {
            "notes.txt": b"MZ" + M,
            "noext": b"MZ",
            "data.bin": samples.eicar(),
            "skipme/evil.exe": samples.eicar(),
            "panel.CPL": samples.pe_with_apis(3),
            "deep/" + "d/" * 64 + "at65.exe": samples.eicar(),
        }
        for rel, (data, _) in scanned.items():
            self.put(rel, data)
        for rel, data in not_scanned.items():
            self.put(rel, data)
        # A Linux symbolic link to a folder is a reparse point under Wine.
        write(self.prefix.c("linktarget", "linked.exe"), samples.eicar())
        os.symlink(self.prefix.c("linktarget"), os.path.join(self.root, "linked"))
        self.prefix.write("config.ini", "exclusions= %s\\skipme ; *.cpl;\n" % self.win())

        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(rc, 0, out)
        lines = out.splitlines()
        self.assertEqual(lines[0], "[INFO] custom scan: " + self.win())
        self.assertIn("[WARN] scan: folders more than 64 levels below the start are not scanned; "
                      "the first left out: " + self.win("deep/" + "d/" * 63 + "d"), lines)
        want = {self.win(r): t for r, (_, t) in scanned.items() if t}
        self.assertEqual(detections(out), want)
        files = len(scanned)
        self.assertEqual(lines[-1], "[INFO] scan done: %d files, %d threats, 0 errors"
                         % (files, len(want)))

        # Each detection: DETECTED, QUARANTINED with its id, " -> quarantined".
        quar = quarantined(out)
        self.assertEqual({f: t for f, (_, t) in quar.items()}, want)
        self.assertEqual(sorted(i for i, _ in quar.values()), list(range(1, len(want) + 1)))
        for i, line in enumerate(lines):
            if line.startswith("[DETECT] DETECTED"):
                self.assertTrue(lines[i + 1].startswith("[DETECT] QUARANTINED id="))
                self.assertEqual(lines[i + 2], "[INFO]  -> quarantined")
        recs = {path: (int(i), threat) for i, _, path, threat in self.records()}
        self.assertEqual(recs, quar)
        for rel, (data, threat) in scanned.items():
            path = os.path.join(self.root, *rel.split("/"))
            if threat:
                self.assertFalse(os.path.exists(path), rel)
                qid = quar[self.win(rel)][0]
                name = "%d_%s.quar" % (qid, rel.split("/")[-1])
                self.assertEqual(read(os.path.join(self.quar_dir(), name)), data)
            else:
                self.assertEqual(read(path), data, rel)
        for rel in not_scanned:
            self.assertTrue(os.path.exists(os.path.join(self.root, *rel.split("/"))), rel)
        self.assertTrue(os.path.exists(self.prefix.c("linktarget", "linked.exe")))

        # The daily log has every console line; the counters and scan log follow.
        log = self.prefix.log_text()
        for line in lines:
            self.assertIn(line[line.index("]") + 2:], log)
        self.assertIn("scanned=%d\n" % files, self.prefix.read("stats.ini"))
        self.assertIn("detected=%d\n" % len(want), self.prefix.read("stats.ini"))
        self.assertRegex(self.prefix.read("scans.log"),
                         r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\|custom\|\d+\|%d\|%d\n$"
                         % (files, len(want)))
        notices = self.prefix.read("notify.log")
        self.assertEqual(notices.count("\tThreat quarantined\t"), len(want))

    def test_names_without_an_exact_ansi_form(self):
        # Under Wine the ANSI code page is 1252: "café" has an ANSI form,
        # the CJK names have none and are reached by their 8.3 names.
        for rel in ("caf\u00e9.exe", "\u4e2d\u6587.exe", "\u76ee\u5f55/evil.exe"):
            write(os.path.join(self.root, *rel.split("/")), samples.eicar())
        write(os.path.join(self.root, "\u4e2d.txt"), samples.eicar())
        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(rc, 0)
        det = detections(out)
        self.assertEqual(len(det), 3, out)
        self.assertIn(self.win("caf\xe9.exe"), det)
        short = [p for p in det if p != self.win("caf\xe9.exe")]
        for p in short:
            self.assertRegex(p, r"^C:\\fixture\\([A-Z0-9_~]+\.EXE|[A-Z0-9_~]+\\evil\.exe)$")
        self.assertEqual(done_line(out), (3, 3, 0))
        self.assertEqual(sorted(os.listdir(self.root)), sorted(["\u4e2d.txt", "\u76ee\u5f55"]))

    def test_single_files_of_any_type(self):
        cases = [
            ("notes.txt", b"MZ" + b"\0" * 30, "HEUR:DisguisedExecutable"),
            ("noext", b"MZ", "HEUR:DisguisedExecutable"),
            ("setup.msi", b"MZ" + b"\0" * 30, None),
            ("link.lnk", b"MZ" + b"\0" * 30, None),
            ("readme.txt", b"line\n" * 100 + M, "EICAR-Test-File"),
            ("plain.txt", samples.pe_with_apis(5, mz=False), None),
            ("tiny.bat", b"schtasks bypass", None),
        ]
        for name, data, threat in cases:
            with self.subTest(name=name):
                self.prefix.reset_data()
                rc, out = self.prefix.run("--scan", self.put(name, data))
                self.assertEqual(rc, 0)
                self.assertEqual(detections(out), {self.win(name): threat} if threat else {})
                self.assertEqual(done_line(out), (1, 1 if threat else 0, 0))

    def test_a_copy_of_this_program_is_clean(self):
        # Not the running image: the heuristics themselves must not flag the
        # program (its keyword tables and imports name no suspicious API).
        with open(EXE, "rb") as f:
            rc, out = self.prefix.run("--scan", self.put("Tallowguard-copy.exe", f.read()))
        self.assertEqual(rc, 0)
        self.assertEqual(detections(out), {})
        self.assertEqual(done_line(out), (1, 0, 0))

    def test_files_above_128_mib_are_not_hashed(self):
        # Sparse files: 128 MiB exactly is still hashed, 129 MiB is not, but
        # the heuristics still read its head.
        mib = 1024 * 1024
        cases = [("edge.exe", b"edge", 128 * mib, "Test.Edge", "Test.Edge"),
                 ("big.exe", samples.pe_with_apis(3), 129 * mib, "Test.Big",
                  "HEUR:Suspicious.API(3)"),
                 ("quiet.exe", b"quiet", 129 * mib, "Test.Quiet", None)]
        sigs = ""
        for name, head, size, sig, _ in cases:
            path = os.path.join(self.root, name)
            with open(path, "wb") as f:
                f.write(head)
                f.truncate(size)
            h = hashlib.sha256(head)
            zeros = bytes(mib)
            left = size - len(head)
            while left:
                n = min(left, mib)
                h.update(zeros[:n])
                left -= n
            sigs += "%s %s\n" % (h.hexdigest(), sig)
        self.prefix.write("signatures.db", sigs)
        rc, out = self.prefix.run("--scan", self.win(), timeout=300)
        self.assertEqual(rc, 0)
        self.assertEqual(detections(out), {self.win(n): t for n, _, _, _, t in cases if t})
        self.assertEqual(done_line(out), (3, 2, 0))

    def test_signature_lines_in_each_form(self):
        # sN.exe holds "sample N"; its digest is listed in the forms below.
        d = {n: sha(b"sample %d" % n) for n in range(12)}
        db = ("# Tallowguard signature database\n"
              "#%s Commented.Out\n" % d[0] +
              "%s Trojan.Space\n" % d[1].upper() +
              "%s\tTrojan.Tab\r\n" % d[2] +
              "%s:Trojan.Colon\n" % d[3] +
              "%s=Trojan.Equals\n" % d[4] +
              "%s \t:= Trojan.Mixed  \n" % d[5] +
              "%s  \n" % d[6] +
              "%s\n" % d[7] +
              "%sg Bad.Hex\n" % d[8][:63] +
              "%s Old.Name\n%s New.Name\n" % (d[9], d[9]) +
              "%s Evil|Name\n" % d[10])
        self.prefix.write("signatures.db", db)
        for n in range(12):
            self.put("s%d.exe" % n, b"sample %d" % n)
        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(rc, 0)
        want = {1: "Trojan.Space", 2: "Trojan.Tab", 3: "Trojan.Colon", 4: "Trojan.Equals",
                5: "Trojan.Mixed  ", 6: "Generic.Malware", 9: "New.Name", 10: "Evil|Name"}
        self.assertEqual(detections(out), {self.win("s%d.exe" % n): t for n, t in want.items()})
        # '|' in a threat name would add a field to its record.
        recs = {path: threat for _, _, path, threat in self.records()}
        self.assertEqual(recs[self.win("s10.exe")], "Evil_Name")
        # Built-in EICAR + 9 valid lines (the duplicate counts).
        rc, out = self.prefix.run("--status")
        self.assertIn("  Signatures: 10 loaded (C:\\ProgramData\\Tallowguard\\signatures.db)\n",
                      out)

    def test_a_byte_order_mark_costs_no_signature(self):
        # Editors that save UTF-8 put EF BB BF before the first line.
        d = [sha(b"bom sample %d" % n) for n in range(2)]
        self.prefix.write("signatures.db",
                          "\xef\xbb\xbf%s Trojan.First\n%s Trojan.Second\n" % (d[0], d[1]))
        for n in range(2):
            self.put("b%d.exe" % n, b"bom sample %d" % n)
        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(rc, 0)
        self.assertEqual(detections(out), {self.win("b0.exe"): "Trojan.First",
                                           self.win("b1.exe"): "Trojan.Second"})
        rc, out = self.prefix.run("--status")
        self.assertIn("  Signatures: 3 loaded (", out)

    def test_files_read_while_a_large_signature_list_loads(self):
        # 400,000 lines take the load well past the scan's first files: the
        # files read meanwhile are looked up once it ends. The listed ones
        # (their lines last in the file) are still found and quarantined,
        # the heuristic one needs no list, and every file is counted once.
        listed = {n: sha(b"late sample %d" % n) for n in range(3)}
        lines = ["%064x Filler.%d\n" % (n * 0x9E3779B97F4A7C15 + 1, n) for n in range(400000)]
        lines += ["%s Trojan.Late.%d\n" % (d, n) for n, d in listed.items()]
        self.prefix.write("signatures.db", "".join(lines))
        for n in range(40):
            self.put("d%d/clean%d.exe" % (n % 4, n), b"clean sample %d" % n)
        for n in listed:
            self.put("d%d/late%d.exe" % (n, n), b"late sample %d" % n)
        self.put("d3/report.pdf.exe", b"double extension")
        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(rc, 0)
        want = {self.win("d%d/late%d.exe" % (n, n)): "Trojan.Late.%d" % n for n in listed}
        want[self.win("d3/report.pdf.exe")] = "HEUR:DoubleExtension"
        self.assertEqual(detections(out), want)
        self.assertEqual(set(quarantined(out)), set(want))
        self.assertEqual(done_line(out), (44, 4, 0))

    def test_missing_path_and_scan_log_of_200_lines(self):
        old = ["2026-01-01T00:00:%02d|quick|1|%d|0" % (i % 60, i) for i in range(200)]
        self.prefix.write("scans.log", "\n".join(old[:100]) + "\n\n\n" + "\n".join(old[100:]))
        rc, out = self.prefix.run("--scan", "C:\\nowhere\\at all")
        self.assertEqual((rc, out), (0, "[INFO] custom scan: C:\\nowhere\\at all\n"
                                        "[ERROR] path not found: C:\\nowhere\\at all\n"
                                        "[INFO] scan done: 0 files, 0 threats, 0 errors\n"))
        lines = self.prefix.read("scans.log").split("\n")
        self.assertEqual(len(lines), 201)
        self.assertEqual(lines[:199], old[1:])
        self.assertRegex(lines[199], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\|custom\|0\|0\|0$")
        self.assertEqual(lines[200], "")
        self.assertNotIn("last_quick", self.prefix.read("stats.ini"))

    def test_counters_add_to_stats_and_check_reports_stale_records(self):
        self.prefix.write("stats.ini", "scanned=10\ndetected=2\nlast_quick=x\n")
        self.put("a.exe", samples.eicar())
        self.put("b.exe", b"clean")
        stale = self.put("stale.exe", b"clean")
        self.prefix.write("quarantine.db", "4|2026-01-01 00:00:00|%s|Old\n" % stale)
        self.prefix.write("quarantine/9_orphan.exe.quar", "x")
        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(rc, 0)
        self.assertIn("[WARN] quarantine: record 4 has no quarantined file and %s is still in "
                      "its place\n" % stale, out)
        self.assertIn("[WARN] quarantine: C:\\ProgramData\\Tallowguard\\quarantine\\"
                      "9_orphan.exe.quar has no record in quarantine.db\n", out)
        self.assertEqual(quarantined(out), {self.win("a.exe"): (5, "EICAR-Test-File")})
        self.assertEqual(self.prefix.read("stats.ini"),
                         "scanned=13\ndetected=3\nlast_quick=x\n")


class ProtectedFolders(DetectTest):
    """Heuristic verdicts on files under the Windows folder or a Program
    Files folder are reported and the files left in place; signature and
    EICAR verdicts are acted on there as anywhere else."""

    def test_heuristic_verdicts_leave_system_and_program_files_in_place(self):
        sys32 = lambda name: read(self.prefix.c("windows", "system32", name))
        api = r"HEUR:Suspicious\.API\(\d+\)"
        # Where each folder is on disk and the name the scan is given.
        folders = {
            "win": (self.prefix.c("windows", "tgtest"), "C:\\windows\\tgtest"),
            "pf": (self.prefix.c("Program Files", "tgtest"), "C:\\Program Files\\tgtest"),
            "out": (self.prefix.user_dir("Temp", "tgx"), self.prefix.profile + "\\Temp\\tgx"),
            # Drive Z: is all of Linux: another name of the same Windows
            # folder, as a full scan meets it under Wine.
            "alias": (self.prefix.c("windows", "tgalias"),
                      self.prefix.win_path(self.prefix.c("windows", "tgalias"))),
        }
        system = "the system folder C:\\windows"
        programs = "the programs folder C:\\Program Files"
        # (folder, name, bytes, threat pattern, why it stays or None: quarantined)
        cases = [
            ("win", "kernel32.dll", sys32("kernel32.dll"), api, system),
            ("win", "kernelbase.dll", sys32("kernelbase.dll"), api, system),
            ("win", "user32.dll", sys32("user32.dll"), api, system),
            ("win", "update.ps1", samples.script_with(12, 2, 11),
             r"HEUR:Suspicious\.Script\(3\)", system),
            # A signature acts under the Windows folder too.
            ("win", "gdi32.dll", sys32("gdi32.dll"), r"Test\.Gdi32Copy", None),
            ("alias", "kernel32.dll", sys32("kernel32.dll"), api, system),
            ("pf", "dropper.exe", samples.pe_with_apis(4), r"HEUR:Suspicious\.API\(4\)",
             programs),
            ("pf", "invoice.pdf.exe", b"not really a program", r"HEUR:DoubleExtension", programs),
            ("pf", "eicar.com", samples.eicar(), r"EICAR-Test-File", None),
            # Elsewhere the same copies are quarantined: exported names no
            # longer count, but these DLLs also name the APIs outside their
            # export directories (what they import and call), at least three
            # each; kernelbase names fewer than its whole file does.
            ("out", "kernel32.dll", sys32("kernel32.dll"), api, None),
            ("out", "kernelbase.dll", sys32("kernelbase.dll"), api, None),
            ("out", "user32.dll", sys32("user32.dll"), api, None),
            # An executable that imports three of the names is still flagged.
            ("out", "three.exe", samples.pe_with_apis(3), r"HEUR:Suspicious\.API\(3\)", None),
        ]
        self.prefix.write("signatures.db", "%s Test.Gdi32Copy\n" % sha(sys32("gdi32.dll")))
        made = [f for f, _ in folders.values()]
        self.addCleanup(lambda: [shutil.rmtree(f, ignore_errors=True) for f in made])
        for key, name, data, _, _ in cases:
            write(os.path.join(folders[key][0], name), data)

        outs = {}
        for key, (_, win) in folders.items():
            rc, out = self.prefix.run("--scan", win)
            self.assertEqual(rc, 0, out)
            n = sum(1 for c in cases if c[0] == key)
            # Every file is counted as a threat found; none as an error.
            self.assertEqual(done_line(out), (n, n, 0), out)
            outs[key] = out
        kept = 0
        for key, name, data, threat, why in cases:
            with self.subTest(folder=key, name=name):
                disk, win = folders[key]
                path = win + "\\" + name
                out = outs[key]
                self.assertRegex(detections(out).get(path, ""), "^%s$" % threat, out)
                lines = out.splitlines()
                after = lines[lines.index("[DETECT] DETECTED threat=%s file=%s"
                                          % (detections(out)[path], path)) + 1]
                if why:
                    kept += 1
                    self.assertEqual(after, "[DETECT] left in place: %s (heuristic verdict "
                                     "under %s)" % (path, why))
                    self.assertEqual(read(os.path.join(disk, name)), data)
                    self.assertNotIn(path, quarantined(out))
                else:
                    self.assertTrue(after.startswith("[DETECT] QUARANTINED id="), after)
                    self.assertIn(path, quarantined(out))
                    self.assertFalse(os.path.exists(os.path.join(disk, name)))
        # kernelbase's exports name more of the APIs than the rest of it does.
        words = [w.lower() for w in samples.api_words()]
        whole = sum(1 for w in words if w in sys32("kernelbase.dll")[:2097152].lower())
        counted = int(re.search(r"\((\d+)\)", detections(outs["out"])[
            folders["out"][1] + "\\kernelbase.dll"]).group(1))
        self.assertLess(counted, whole)

        moved = len(cases) - kept
        self.assertEqual(len(self.records()), moved)
        self.assertIn("detected=%d\n" % moved, self.prefix.read("stats.ini"))
        self.assertIn("scanned=%d\n" % len(cases), self.prefix.read("stats.ini"))
        self.assertEqual(self.prefix.read("notify.log").count("\tThreat quarantined\t"), moved)


class QuarantineCommands(DetectTest):

    def scan_samples(self, names):
        for n in names:
            self.put(n, samples.eicar() + n.encode())
        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(rc, 0)
        return {f.rsplit("\\", 1)[1]: i for f, (i, _) in quarantined(out).items()}

    def test_list_restore_and_delete(self):
        ids = self.scan_samples(["a.exe", "b.exe", "c.exe"])
        self.assertEqual(sorted(ids.values()), [1, 2, 3])
        rc, out = self.prefix.run("--quarantine-list")
        self.assertEqual(rc, 0)
        lines = out.splitlines(True)
        self.assertEqual(lines[0], FMT % ("ID", "Date", "Threat", "Original path"))
        self.assertEqual(sorted(lines[1:]), sorted(
            FMT % (i, d, t, p) for i, d, p, t in self.records()))
        self.assertEqual(len(lines), 4)

        # Restoring over a file that has appeared since replaces it.
        a = os.path.join(self.root, "a.exe")
        write(a, b"a new file")
        rc, out = self.prefix.run("--quarantine-restore", str(ids["a.exe"]))
        self.assertEqual((rc, out), (0, "[INFO] restored quarantine id=%d to %s\n"
                                        "Restored id %d -> %s\n"
                                        % (ids["a.exe"], self.win("a.exe"), ids["a.exe"],
                                           self.win("a.exe"))))
        self.assertEqual(read(a), samples.eicar() + b"a.exe")
        rc, out = self.prefix.run("--quarantine-restore", str(ids["a.exe"]))
        self.assertEqual((rc, out), (1, "No quarantined item with id %d.\n" % ids["a.exe"]))

        rc, out = self.prefix.run("--quarantine-delete", "%dxyz" % ids["b.exe"])
        self.assertEqual((rc, out), (0, "[INFO] deleted quarantine id=%d (EICAR-Test-File)\n"
                                        "Deleted quarantined item %d.\n"
                                        % (ids["b.exe"], ids["b.exe"])))
        self.assertFalse(os.path.exists(os.path.join(self.root, "b.exe")))
        self.assertEqual(os.listdir(self.quar_dir()), ["%d_c.exe.quar" % ids["c.exe"]])
        self.assertEqual([int(r[0]) for r in self.records()], [ids["c.exe"]])
        for args in (["--quarantine-delete", str(ids["b.exe"])], ["--quarantine-restore", "x"],
                     ["--quarantine-delete", "99"]):
            with self.subTest(args=args):
                rc, out = self.prefix.run(*args)
                n = int(re.match(r"\d*", args[1]).group() or 0)
                self.assertEqual((rc, out), (1, "No quarantined item with id %d.\n" % n))

        # A record whose file has gone cannot be acted on, and stays.
        os.remove(os.path.join(self.quar_dir(), "%d_c.exe.quar" % ids["c.exe"]))
        rc, out = self.prefix.run("--quarantine-restore", str(ids["c.exe"]))
        self.assertEqual(rc, 1)
        self.assertEqual(len(self.records()), 1)

    def test_ids_follow_the_largest_recorded(self):
        self.prefix.write("quarantine.db",
                          "3|2026-01-01 00:00:00|C:\\old\\x.exe|T\n"
                          "7|2026-01-01 00:00:00|C:\\old\\y.exe|T")  # no final line end
        self.prefix.write("quarantine/3_x.exe.quar", "x")
        self.prefix.write("quarantine/7_y.exe.quar", "y")
        self.assertEqual(self.scan_samples(["first.exe"]), {"first.exe": 8})
        self.assertEqual([r[0] for r in self.records()], ["3", "7", "8"])
        for i in ("8", "7"):
            self.assertEqual(self.prefix.run("--quarantine-delete", i)[0], 0)
        self.assertEqual(self.scan_samples(["second.exe"]), {"second.exe": 4})

    def test_delete_policy_and_other_actions(self):
        for action, deletes in (("delete", True), ("DELETE", True), ("Delete", True),
                                ("quarantine", False), ("", False), ("keep", False)):
            with self.subTest(action=action):
                self.prefix.reset_data()
                self.prefix.write("config.ini", "quar_action=%s\n" % action)
                path = self.put("x.exe", samples.eicar())
                rc, out = self.prefix.run("--scan", self.win())
                self.assertEqual(rc, 0)
                self.assertFalse(os.path.exists(os.path.join(self.root, "x.exe")))
                if deletes:
                    self.assertIn("[INFO] DELETED threat=EICAR-Test-File file=%s (fleet policy: "
                                  "delete)\n[INFO]  -> deleted\n" % path, out)
                    self.assertEqual(self.records(), [])
                    self.assertIn("\tThreat deleted\tEICAR-Test-File\\n", self.prefix.read(
                        "notify.log").replace("\\\\", "\\"))
                else:
                    self.assertEqual(quarantined(out), {path: (1, "EICAR-Test-File")})
                self.assertIn("detected=1\n", self.prefix.read("stats.ini"))

    def test_long_name_is_cut_to_fit_the_quarantine_name(self):
        # The path is also longer than MAX_PATH.
        name = "n" * 245 + ".pdf.exe"
        self.put(name, b"x")
        rc, out = self.prefix.run("--scan", self.win())
        self.assertEqual(quarantined(out), {self.win(name): (1, "HEUR:DoubleExtension")})
        (quar,) = os.listdir(self.quar_dir())
        self.assertEqual(len(quar), 255)
        self.assertEqual(quar, "1_" + name[:248] + ".quar")
        # Restore finds it by its record and puts it back under its full name.
        rc, out = self.prefix.run("--quarantine-restore", "1")
        self.assertEqual(rc, 0, out)
        self.assertTrue(os.path.exists(os.path.join(self.root, name)))


class QuickScan(DetectTest):

    def reg(self, *args):
        subprocess.run(["wine", "reg"] + list(args) + ["/f"], env=self.prefix.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)

    def test_service_mode_locations_running_programs_and_run_key(self):
        users = self.prefix.c("users")
        me = self.prefix.user
        found = ["alice/Downloads/evil.exe", "alice/AppData/Local/Temp/t.exe",
                 me + "/Downloads/dl.exe", me + "/Desktop/desk.exe"]
        ignored = ["Default/Downloads/d.exe", "default user/Desktop/d.exe",
                   ".hidden/Downloads/h.exe", "All Users/Downloads/a.exe",
                   "alice/Documents/doc.exe"]
        for rel in found + ignored:
            write(os.path.join(users, *rel.split("/")), samples.eicar())
        try:
            # Run values: the quoted path, the path up to the first blank;
            # REG_EXPAND_SZ is not read.
            for value, data in (("Quoted", '"C:\\run dir\\prog.exe" /min'),
                                ("Plain", "C:\\runplain\\tool.txt -a")):
                self.reg("add", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                         "/v", value, "/t", "REG_SZ", "/d", data)
            self.reg("add", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                     "/v", "Expand", "/t", "REG_EXPAND_SZ", "/d", "C:\\runexp\\x.exe")
            for rel in ("run dir/prog.exe", "runplain/tool.txt", "runexp/x.exe"):
                write(self.prefix.c(*rel.split("/")), samples.eicar())

            rc, out = self.prefix.run("--scan-quick", timeout=300)
        finally:
            for value in ("Quoted", "Plain", "Expand"):
                self.reg("delete", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                         "/v", value)
            for rel in found + ignored:
                user = rel.split("/")[0]
                if user == me:
                    path = os.path.join(users, *rel.split("/"))
                    if os.path.exists(path):
                        os.remove(path)
                else:
                    shutil.rmtree(os.path.join(users, user), ignore_errors=True)
        self.assertEqual(rc, 0)
        lines = out.splitlines()
        self.assertEqual(lines[0], "[INFO] quick scan started")
        self.assertRegex(lines[1], r"^\[INFO\] quick scan: \d+ watch locations$")
        self.assertRegex(lines[-1], r"^\[INFO\] quick scan done: \d+ files, \d+ threats, 0 errors$")
        det = detections(out)
        for rel in found:
            path = "C:\\Users\\" + rel.replace("/", "\\")
            self.assertEqual(det.get(path), "EICAR-Test-File", rel)
            self.assertIn(path, quarantined(out))
        for rel in ignored:
            self.assertNotIn("C:\\Users\\" + rel.replace("/", "\\"), det)
        # Autostart programs are reported and left where they are.
        for path in ("C:\\run dir\\prog.exe", "C:\\runplain\\tool.txt"):
            self.assertEqual(det.get(path), "EICAR-Test-File", path)
            self.assertNotIn(path, quarantined(out))
        self.assertNotIn("-> (report only", out)  # only a custom scan is verbose
        self.assertTrue(os.path.exists(self.prefix.c("run dir", "prog.exe")))
        self.assertNotIn("C:\\runexp\\x.exe", det)
        # This program itself (a running program) is not reported.
        self.assertFalse([p for p in det if p.lower().endswith("tallowguard.exe")])
        self.assertRegex(self.prefix.read("stats.ini"), r"last_quick=\d{4}-\d\d-\d\d \d\d:\d\d\n")
        self.assertRegex(self.prefix.read("scans.log"), r"\|quick\|\d+\|\d+\|%d\n$"
                         % len(det))

    def test_tray_mode_scans_only_this_users_folders(self):
        write(self.prefix.user_dir("Desktop", "mine.exe"), samples.eicar())
        write(self.prefix.c("users", "bob", "Downloads", "theirs.exe"), samples.eicar())
        key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
        self.reg("add", key, "/v", "Tallowguard", "/t", "REG_SZ", "/d", "x")
        try:
            rc, out = self.prefix.run("--scan-quick", timeout=300)
        finally:
            self.reg("delete", key, "/v", "Tallowguard")
            shutil.rmtree(self.prefix.c("users", "bob"), ignore_errors=True)
        self.assertEqual(rc, 0)
        det = detections(out)
        self.assertIn(self.prefix.profile + "\\Desktop\\mine.exe", quarantined(out))
        self.assertNotIn("C:\\users\\bob\\Downloads\\theirs.exe", det)
        # The per-user data directory holds the quarantine.
        local = self.prefix.user_dir("AppData", "Local", "Tallowguard")
        self.assertEqual(len(os.listdir(os.path.join(local, "quarantine"))), 1)
        shutil.rmtree(local, ignore_errors=True)


class FullScan(DetectTest):
    """Drive Z: (all of Linux) is removed from this prefix so that the full
    scan walks drive C: only; the program runs from a C: copy."""

    # Excluded from the scan below; anything else on C: is the test's own.
    WINDOWS_FOLDERS = ("windows", "program files", "program files (x86)", "programdata", "users")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        os.remove(os.path.join(cls.prefix.path, "dosdevices", "z:"))
        os.makedirs(cls.prefix.c("tg"))
        shutil.copy(EXE, cls.prefix.c("tg", "Tallowguard.exe"))

    def setUp(self):
        # The shared prefix may hold files that other programs run in it
        # left on C: (the unit tests run there).
        for name in os.listdir(self.prefix.c()):
            path = self.prefix.c(name)
            if name.lower() in self.WINDOWS_FOLDERS or name == "tg":
                continue
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
        super().setUp()

    def test_full_scan_walks_fixed_drives(self):
        self.put("evil.exe", samples.eicar())
        self.put("clean.exe", b"MZ")
        # The Windows folders would take minutes (and hold Wine's own
        # system files, which the API heuristic flags).
        self.prefix.write("config.ini", "exclusions=C:\\windows;C:\\Program Files;"
                          "C:\\Program Files (x86);C:\\ProgramData;C:\\users\n")
        rc, out = self.prefix.run("--scan-full", exe="C:\\tg\\Tallowguard.exe", timeout=300)
        self.assertEqual(rc, 0)
        self.assertEqual(re.findall(r"^\[INFO\] full scan: drive (.*)$", out, re.M), ["C:\\"])
        self.assertEqual(out.splitlines()[0], "[INFO] full scan started")
        self.assertEqual(quarantined(out), {self.win("evil.exe"): (1, "EICAR-Test-File")})
        # Its own running program (C:\tg\Tallowguard.exe) is scanned and not reported.
        self.assertEqual(done_line(out, "full scan done"), (3, 1, 0))
        self.assertTrue(os.path.exists(self.prefix.c("tg", "Tallowguard.exe")))
        self.assertRegex(self.prefix.read("stats.ini"), r"last_full=\d{4}-\d\d-\d\d \d\d:\d\d\n")
        self.assertNotIn("last_quick", self.prefix.read("stats.ini"))
        self.assertRegex(self.prefix.read("scans.log"), r"\|full\|\d+\|3\|1\n$")


if __name__ == "__main__":
    unittest.main()
