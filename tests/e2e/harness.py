"""Running the real executable in a temporary install tree.

The executable is copied into <root>/bin/, since the install root is found
from the executable's own path. ORVANE_EXE names the executable; with
ORVANE_RUNNER set (the Wine loader) a Windows build is run through it, and
the helpers below account for its text modes (CR LF) and exit codes.
"""

import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server"))

from update_server import UpdateServer  # noqa: E402

EXE = os.environ.get("ORVANE_EXE", "")
RUNNER = os.environ.get("ORVANE_RUNNER", "")
WINDOWS = EXE.lower().endswith(".exe")
BASE_URL = os.environ.get("ORVANE_BASE_URL", "http://updates.orvane.test")


def constant(name, default):
    return int(os.environ.get(name, default))


TICK_MS = constant("ORVANE_TICK_MS", 1000)
INITIAL_DELAY_TICKS = constant("ORVANE_INITIAL_DELAY_TICKS", 300)
PASS_INTERVAL_TICKS = constant("ORVANE_PASS_INTERVAL_TICKS", 14400)
RETRY_DELAY_MS = constant("ORVANE_RETRY_DELAY_MS", 60000)
DOWNLOAD_PAUSE_MS = constant("ORVANE_DOWNLOAD_PAUSE_MS", 1000)
STREAM_WAIT_S = constant("ORVANE_STREAM_WAIT_S", 60)

BANNER_FIRST_LINE = b"Orvane Update Service 1.0"
PROGRAM_NAME = "orvane-autoupdate.exe" if WINDOWS else "orvane-autoupdate"

USAGE = (
    "Usage : %s [option]\nWhere option is :\n\tinstall - installs service\n"
    "\tuninstall - uninstalls service\n\tauto - starts service automatically\n"
    "\tmanual - starts service manually\n\tstart - starts service\n\tstop - stops service\n"
    "\tnoservice - runs Orvane Update Service without using Windows Services\n"
)

# Exit codes as the parent sees them: -1 is 255, -2 is 254 (Wine hands the low
# byte of the Windows code to Linux as well).
EXIT_MINUS_1 = 255
EXIT_MINUS_2 = 254


def text(data):
    """Console or log bytes with Windows line ends turned into "\\n"."""
    return data.replace(b"\r\n", b"\n") if WINDOWS else data


def name_as_typed(program, cwd):
    """argv[0] as the program sees it: Wine hands a Windows program the full
    DOS path of the file it was given (drive Z: is the Linux root)."""
    if not RUNNER:
        return program
    return "Z:" + os.path.abspath(os.path.join(cwd, program)).replace("/", "\\")


def line_end():
    """The bytes a text-mode line end is stored as."""
    return b"\r\n" if WINDOWS else b"\n"


class Tree:
    """A temporary install root with the executable in <root>/bin/."""

    def __init__(self, bin_name="bin", installed=None):
        if installed:
            # An install tree laid out already (an unpacked package), with
            # its own executable; removing it is its owner's business.
            self.root, self.bin = installed, os.path.join(installed, bin_name)
            self.exe = os.path.join(self.bin, PROGRAM_NAME)
            return
        self.root = tempfile.mkdtemp(prefix="orvane-tree-")
        self.bin = os.path.join(self.root, bin_name)
        os.makedirs(self.bin)
        os.makedirs(os.path.join(self.root, "Updater"))
        self.exe = os.path.join(self.bin, PROGRAM_NAME)
        shutil.copy2(EXE, self.exe)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, relative, data):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()

    def exists(self, relative):
        return os.path.exists(self.path(relative))

    def write_list(self, data):
        self.write("Updater/installed.packages.lst", data)

    def log_messages(self):
        """The messages of update.log, without their time stamps."""
        if not self.exists("update.log"):
            return []
        lines = text(self.read("update.log")).decode("latin-1").split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        return [line[26:] if len(line) >= 26 and line[24:26] == ": " else line for line in lines]

    def command(self, args, program=None):
        program = program or self.exe
        return ([RUNNER] if RUNNER else []) + [program] + list(args)

    def run(self, *args, cwd=None, env=None, timeout=120, program=None):
        """Runs the executable; returns (exit code, stdout, stderr) as bytes."""
        full_env = dict(os.environ)
        full_env.pop("NOTIFY_SOCKET", None)
        if env:
            full_env.update(env)
        done = subprocess.run(self.command(args, program), cwd=cwd or self.bin, env=full_env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        return done.returncode & 0xFF, done.stdout, done.stderr

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class TreeTestCase(unittest.TestCase):
    """A test with a fresh install tree, removed afterwards."""

    def setUp(self):
        if not EXE:
            self.skipTest("ORVANE_EXE is not set")
        self.tree = Tree()
        self.addCleanup(self.tree.remove)

    def assertBanner(self, out):
        lines = text(out).split(b"\n")
        self.assertEqual(lines[0], BANNER_FIRST_LINE)
        self.assertGreaterEqual(len(lines), 4)
        return b"\n".join(lines[3:])


def eventually(predicate, timeout, step=0.01):
    """Polls predicate until it holds or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def zip_archive(entries):
    """A deflated zip archive (bytes) of (name, data) pairs or a {name: data} dict."""
    if isinstance(entries, dict):
        entries = entries.items()
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, content in entries:
            archive.writestr(name, content)
    return data.getvalue()


class Site:
    """The loopback update server and what it serves: resources under one
    remote folder, rules per resource, and the log of the requests it got."""

    def __init__(self, remote):
        self.remote = remote.strip("/")
        self.root = tempfile.mkdtemp(prefix="orvane-site-")
        os.makedirs(os.path.join(self.root, self.remote))
        self.server = UpdateServer(self.root).start()
        self.proxy = "http://127.0.0.1:%d" % self.server.port

    def request(self, resource):
        """A request line as the log holds it."""
        return "GET /%s/%s" % (self.remote, resource)

    def serve(self, resource, data):
        with open(os.path.join(self.root, self.remote, resource), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("latin-1"))

    def publish(self, package, version, archive, digest=None):
        """Serves a package with its digest (the archive's own unless given)
        and its version text."""
        self.serve(package, archive)
        self.serve(package + ".md5", hashlib.md5(archive).hexdigest() if digest is None else digest)
        self.serve(package + ".version", version)

    def read(self, resource):
        with open(os.path.join(self.root, self.remote, resource), "rb") as f:
            return f.read()

    def rules(self, rules):
        """Sets {resource: rule}; see the test server for the rules it knows."""
        with open(os.path.join(self.root, "_rules.json"), "w") as f:
            json.dump({"/%s/%s" % (self.remote, resource): rule
                       for resource, rule in rules.items()}, f)

    def requests(self):
        path = os.path.join(self.root, "_requests.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="latin-1") as f:
            return f.read().splitlines()

    def take_requests(self):
        """The requests so far; the log starts afresh."""
        lines = self.requests()
        open(os.path.join(self.root, "_requests.log"), "w").close()
        return lines

    def reset(self):
        """Nothing served, no rules, no requests."""
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(os.path.join(self.root, self.remote))

    def close(self):
        self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)
