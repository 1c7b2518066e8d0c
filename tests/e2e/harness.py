"""Runs the real Tallowguard.exe under Wine for the end-to-end tests.

Each test module gets a Wine prefix of its own, copied from the shared
prefix that ctest prepares, so modules can run side by side. Wine's daemons
are started with every stream detached: a daemon that inherited our pipes
would keep them open and hang the test run.
"""
import os
import shutil
import subprocess
import time
import unittest

EXE = os.environ.get("TG_EXE", "")
BASE_PREFIX = os.environ.get("TG_PREFIX", "")
BUILD = os.environ.get("TG_BUILD", os.path.dirname(EXE))


def _quiet(cmd, env, timeout=120):
    subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout, check=False)


class Prefix:
    """A private copy of the test prefix with its own wineserver."""

    def __init__(self, name):
        self.path = os.path.join(BUILD, "e2e-prefixes", name)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def create(self):
        if os.path.isdir(self.path):
            _quiet(["wineserver", "-k"], self.env)
            shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        # Other suites' temporary files come and go in the shared prefix while
        # it is copied; a file that vanished mid-copy is no loss.
        subprocess.run(["cp", "-a", BASE_PREFIX, self.path], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        if not os.path.isfile(os.path.join(self.path, "system.reg")):
            raise RuntimeError("could not copy the test prefix " + BASE_PREFIX)
        _quiet(["wineserver", "-p"], self.env)
        _quiet(["wine", "cmd", "/c", "exit"], self.env)

    def destroy(self):
        _quiet(["wineserver", "-k"], self.env)
        shutil.rmtree(self.path, ignore_errors=True)

    # Paths inside the prefix.
    def c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)

    @property
    def data_dir(self):
        return self.c("ProgramData", "Tallowguard")

    def user_dir(self, *parts):
        return self.c("users", "root", *parts)

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
        cls.prefix.create()

    @classmethod
    def tearDownClass(cls):
        if cls.prefix is not None:
            cls.prefix.destroy()

    def setUp(self):
        self.prefix.reset_data()
