"""Shared pieces of the engine benchmarks (bench/run_service.sh and
bench/run_realtime.sh): a private Wine prefix, the agent started in it, and
what can be read of its processes from Linux."""
import os
import pwd
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import samples  # noqa: E402  (the test samples, kept encoded)
OUT = os.path.join(ROOT, "bench", "out")
EXE = os.environ.get("TG_EXE", os.path.join(ROOT, "build", "win64", "Tallowguard.exe"))
BASE_PREFIX = os.environ.get("TG_PREFIX", os.path.join(ROOT, "build", "win64", "wineprefix"))
HELPER = os.path.join(OUT, "engine_helper.exe")
IDLE = os.path.join(OUT, "engine_idle.exe")


def eicar():
    return samples.eicar().decode("latin-1")


def machine():
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode().strip()
    return "%s, %d cores, %s" % (cpu, os.cpu_count() or 0, wine)


class Prefix:
    def __init__(self, name):
        self.path = os.path.join(OUT, "prefix-" + name)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def quiet(self, *cmd, timeout=120):
        return subprocess.run(list(cmd), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode

    def output(self, *cmd, timeout=120):
        p = subprocess.run(list(cmd), env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1")

    def create(self):
        self.destroy()
        if os.path.isfile(os.path.join(BASE_PREFIX, "system.reg")):
            subprocess.run(["cp", "-a", BASE_PREFIX, self.path], check=True)
        subprocess.run([os.path.join(ROOT, "tools", "wine-prefix.sh"), self.path], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # No drive Z: walk for anything that scans fixed drives; programs are
        # started by their Linux paths, which Wine maps itself.
        shutil.rmtree(self.data_dir, ignore_errors=True)
        os.makedirs(self.data_dir)
        with open(os.path.join(self.data_dir, "config.ini"), "w") as f:
            f.write("server_url=\n")

    def destroy(self):
        if os.path.isdir(self.path):
            self.quiet("wineserver", "-k")
            shutil.rmtree(self.path, ignore_errors=True)

    @property
    def data_dir(self):
        return os.path.join(self.path, "drive_c", "ProgramData", "Tallowguard")

    def user_dir(self, *parts):
        # Wine names the profile after the Linux user.
        user = pwd.getpwuid(os.getuid()).pw_name
        return os.path.join(self.path, "drive_c", "users", user, *parts)

    def read(self, name):
        try:
            with open(os.path.join(self.data_dir, name), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def log(self):
        logs = os.path.join(self.data_dir, "logs")
        text = ""
        if os.path.isdir(logs):
            for name in sorted(os.listdir(logs)):
                with open(os.path.join(logs, name), "rb") as f:
                    text += f.read().decode("latin-1")
        return text

    def start(self, *args, exe=EXE):
        return subprocess.Popen(["wine", exe] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def linux_pid(self, marker):
        """The Linux process of this prefix whose command line holds `marker`."""
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmd = f.read().decode("latin-1")
                with open("/proc/%s/environ" % pid, "rb") as f:
                    envs = f.read().decode("latin-1").split("\0")
            except OSError:
                continue
            if marker in cmd and "WINEPREFIX=" + self.path in envs:
                return int(pid)
        return None


def wait_for(pred, timeout, step=0.02):
    end = time.time() + timeout
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


def private_kib(pid):
    """Private memory as Windows counts it (heaps, stacks, written data): the
    process's anonymous resident pages. Clean pages of DLL files are left
    out: they count as private on Linux only while no other process happens
    to map the same DLL."""
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("Anonymous:"):
                return int(line.split()[1])
    return 0


def cpu_ms(pid):
    """User plus system CPU time of the whole process (all threads)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return ticks * 1000 // os.sysconf("SC_CLK_TCK")


def windows_pid(log):
    m = re.findall(r"Tallowguard 1\.4\.4 service started \(pid (\d+)\)", log)
    return m[-1] if m else None


def build_helpers():
    os.makedirs(OUT, exist_ok=True)
    src = os.path.join(ROOT, "bench", "engine_helper_win32.c")
    cc = os.environ.get("MINGW_CC", "x86_64-w64-mingw32-gcc")
    subprocess.run([cc, "-O2", "-static", src, "-o", HELPER], check=True)
    subprocess.run([cc, "-O2", "-static", "-mwindows", src, "-o", IDLE], check=True)
