"""Runs the real Tallowguard.exe under Wine for the end-to-end tests.

Each test class gets a Wine prefix of its own, copied from the shared
prefix that ctest prepares, so classes and modules can run side by side.
Wine's daemons are started with every stream detached: a daemon that
inherited our pipes would keep them open and hang the test run.

ctest sets the environment; to run one test by hand, from this folder:
    TG_EXE=.../build/win64/Tallowguard.exe TG_PREFIX=.../build/win64/wineprefix \
    TG_BUILD=.../build/win64 python3 -m unittest test_engine.ManualService.test_x
(tools/wine-prefix.sh makes TG_PREFIX).
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import time
import unittest


def _abs_env(name, default=""):
    value = os.environ.get(name, default)
    return os.path.abspath(value) if value else ""


EXE = _abs_env("TG_EXE")
BASE_PREFIX = _abs_env("TG_PREFIX")
BUILD = _abs_env("TG_BUILD", os.path.dirname(EXE))


def _quiet(cmd, env, timeout=120):
    return subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout, check=False).returncode


def copy_tree(src, dst):
    """cp -a, tolerating files that vanish while they are copied (other
    suites' temporary files come and go in the shared prefix); any other
    failure, such as a full disk, raises. What cp says is shown either way."""
    p = subprocess.run(["cp", "-a", src, dst], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    err = p.stderr.decode("utf-8", "replace")
    if err:
        sys.stderr.write(err)
    real = [line for line in err.splitlines()
            if line and not line.endswith(": No such file or directory")]
    if p.returncode != 0 and (real or not err):
        raise RuntimeError("cp -a %s %s failed (%d):\n%s" % (src, dst, p.returncode, err))


class Prefix:
    """A private copy of the test prefix with its own persistent wineserver,
    which destroy() stops."""

    def __init__(self, name):
        self.path = os.path.join(BUILD, "e2e-prefixes", name)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        # No windows without a display; the user's proxy would become
        # WinHTTP's default proxy, even for 127.0.0.1.
        for name in ("DISPLAY", "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"):
            self.env.pop(name, None)
        self.user = None     # the Windows user the programs run as
        self.profile = None  # that user's profile folder, e.g. C:\users\root

    def stop_server(self):
        if os.path.isdir(self.path):
            _quiet(["wineserver", "-k"], self.env)  # 1 when none was running
            _quiet(["wineserver", "-w"], self.env)

    def create(self):
        if not os.path.isfile(os.path.join(BASE_PREFIX, ".tallowguard-ready")):
            raise RuntimeError("%s is not a finished test prefix: make it with "
                               "tools/wine-prefix.sh" % BASE_PREFIX)
        self.stop_server()
        if os.path.lexists(self.path):
            shutil.rmtree(self.path)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        copy_tree(BASE_PREFIX, self.path)
        if not os.path.isfile(os.path.join(self.path, "system.reg")):
            raise RuntimeError("could not copy the test prefix " + BASE_PREFIX)
        # The shell tests' temporary folders may have been copied mid-run:
        # they are no part of the prefix, and a quick scan would walk them.
        for temp in glob.glob(self.c("users", "*", "Temp")) + [self.c("windows", "temp")]:
            for d in glob.glob(os.path.join(temp, "tgtest-*")):
                shutil.rmtree(d, ignore_errors=True)
        rc = _quiet(["wineserver", "-p"], self.env)
        if rc not in (0, 2):  # 2: one runs already
            raise RuntimeError("wineserver -p failed (%d) in %s" % (rc, self.path))
        # The first program starts Wine's services: nothing of ours to inherit.
        log = self.path + ".log"
        with open(log, "wb") as out:
            rc = subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                timeout=120).returncode
        if rc != 0:
            with open(log, "rb") as f:
                raise RuntimeError("the first program in %s failed (%d):\n%s"
                                   % (self.path, rc, f.read().decode("latin-1")))
        self._find_user()

    def _find_user(self):
        """The user Wine runs programs as (the Linux user's name), asked of
        Wine itself."""
        rc, out = self.run("/c", "echo", "%USERPROFILE%", exe="cmd", timeout=60)
        profile = out.strip()
        m = re.match(r"^C:\\users\\([^\\]+)$", profile, re.I)
        if rc != 0 or not m or not os.path.isdir(self.c("users", m.group(1))):
            raise RuntimeError("no user profile in %s: %r" % (self.path, out))
        self.user, self.profile = m.group(1), profile

    def destroy(self):
        self.stop_server()
        shutil.rmtree(self.path, ignore_errors=True)
        if os.path.exists(self.path + ".log"):
            os.remove(self.path + ".log")

    # Paths inside the prefix.
    def c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)

    @property
    def data_dir(self):
        return self.c("ProgramData", "Tallowguard")

    def user_dir(self, *parts):
        """A path in the profile of the user the programs run as."""
        return self.c("users", self.user, *parts)

    @staticmethod
    def win_path(linux_path):
        """The Windows name of a Linux path under drive Z:."""
        return "Z:" + os.path.abspath(linux_path).replace("/", "\\")

    def c_path(self, linux_path):
        """The C: name of a path inside this prefix's drive_c."""
        rel = os.path.relpath(os.path.abspath(linux_path), self.c())
        return "C:\\" + rel.replace("/", "\\")

    def run(self, *args, stdin_text=None, timeout=120, exe=None):
        """Runs the program; returns (exit code, stdout text)."""
        cmd = ["wine", exe or EXE] + list(args)
        p = subprocess.run(cmd, env=self.env, input=(stdin_text or "").encode(),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1").replace("\r\n", "\n")

    def start(self, *args, exe=None):
        """Starts the program in the background; the caller waits for it."""
        return subprocess.Popen(["wine", exe or EXE] + list(args), env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)

    def reg_query(self, key, value):
        """A registry value's data as `reg query` prints it, or None."""
        p = subprocess.run(["wine", "reg", "query", key, "/v", value], env=self.env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=60)
        for line in p.stdout.decode("latin-1").splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0] == value:
                return parts[2] if len(parts) == 3 else ""
        return None

    def read(self, *parts):
        with open(os.path.join(self.data_dir, *parts), "rb") as f:
            return f.read().decode("latin-1")

    def write(self, rel, text):
        path = os.path.join(self.data_dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text.encode("latin-1"))

    def reset_data(self):
        shutil.rmtree(self.data_dir, ignore_errors=True)

    def log_text(self):
        logs = os.path.join(self.data_dir, "logs")
        out = ""
        if os.path.isdir(logs):
            for name in sorted(os.listdir(logs)):
                with open(os.path.join(logs, name), "rb") as f:
                    out += f.read().decode("latin-1")
        return out


def wait_for(pred, timeout=30.0, step=0.1):
    end = time.time() + timeout
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


class PrefixTest(unittest.TestCase):
    """Base class: one prefix per test class, a clean data directory per test."""

    prefix = None

    @classmethod
    def setUpClass(cls):
        if not EXE or not BASE_PREFIX:
            raise RuntimeError("TG_EXE and TG_PREFIX must be set (ctest sets them)")
        cls.prefix = Prefix(cls.__module__ + "." + cls.__name__)
        # Class cleanups run even when setUpClass fails half way: the
        # prefix's server never outlives the class.
        cls.addClassCleanup(cls.prefix.destroy)
        cls.prefix.create()

    def setUp(self):
        self.prefix.reset_data()
