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
import select
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server"))

from update_server import UpdateServer  # noqa: E402

EXE = os.environ.get("ORVANE_EXE", "")
# The same product built with the https:// form of the base URL.
HTTPS_EXE = os.environ.get("ORVANE_HTTPS_EXE", "")
RUNNER = os.environ.get("ORVANE_RUNNER", "")
WINDOWS = EXE.lower().endswith(".exe")
BASE_URL = os.environ.get("ORVANE_BASE_URL", "http://updates.orvane.test")


def constant(name, default):
    return int(os.environ.get(name, default))


TICK_MS = constant("ORVANE_TICK_MS", 1000)
INITIAL_DELAY_TICKS = constant("ORVANE_INITIAL_DELAY_TICKS", 300)
PASS_INTERVAL_TICKS = constant("ORVANE_PASS_INTERVAL_TICKS", 14400)
RETRY_DELAY_MS = constant("ORVANE_RETRY_DELAY_MS", 60000)
RETRY_ATTEMPTS = constant("ORVANE_RETRY_ATTEMPTS", 60)
DOWNLOAD_PAUSE_MS = constant("ORVANE_DOWNLOAD_PAUSE_MS", 1000)
STREAM_WAIT_S = constant("ORVANE_STREAM_WAIT_S", 60)
DOWNLOAD_CAP_BYTES = constant("ORVANE_DOWNLOAD_CAP_BYTES", 2147483647)

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

    def __init__(self, bin_name="bin", root=None, exe=None, installed=None):
        if installed:
            # An install tree laid out already (an unpacked package), with
            # its own executable; removing it is its owner's business.
            self.root, self.bin = installed, os.path.join(installed, bin_name)
            self.exe = os.path.join(self.bin, PROGRAM_NAME)
            return
        self.root = root or tempfile.mkdtemp(prefix="orvane-tree-")
        self.bin = os.path.join(self.root, bin_name)
        os.makedirs(self.bin)
        os.makedirs(os.path.join(self.root, "Updater"))
        self.exe = os.path.join(self.bin, PROGRAM_NAME)
        shutil.copy2(exe or EXE, self.exe)

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

    def command(self, args, program=None, prefix=()):
        program = program or self.exe
        return list(prefix) + ([RUNNER] if RUNNER else []) + [program] + list(args)

    def run(self, *args, cwd=None, env=None, timeout=120, program=None, prefix=()):
        """Runs the executable (after the command words of prefix, if any);
        returns (exit code, stdout, stderr) as bytes."""
        full_env = dict(os.environ)
        full_env.pop("NOTIFY_SOCKET", None)
        if env:
            full_env.update(env)
        done = subprocess.run(self.command(args, program, prefix), cwd=cwd or self.bin,
                              env=full_env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
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


def closed_port():
    """A loopback socket bound but not listening: connections to its port are
    refused while it is open. Close it when done."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    return sock


def damaged_zip_archive(name, data):
    """A deflated archive of one entry whose compressed data is damaged in the
    middle: the archive opens, the entry's read fails."""
    archive = bytearray(zip_archive([(name, data)]))
    compressed = int.from_bytes(archive[18:22], "little")
    start = 30 + int.from_bytes(archive[26:28], "little") + int.from_bytes(archive[28:30], "little")
    for i in range(start + compressed // 4, start + compressed * 3 // 4):
        archive[i] ^= 0x5A
    return bytes(archive)


def zip_archive(entries, method=zipfile.ZIP_DEFLATED):
    """A zip archive (bytes, deflated unless told) of (name, data) pairs or a {name: data} dict."""
    if isinstance(entries, dict):
        entries = entries.items()
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", method) as archive:
        for name, content in entries:
            archive.writestr(name, content)
    return data.getvalue()


def take_lines(path, keep=False):
    """The lines of a log file (none when it is missing); emptied unless kept."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="latin-1") as f:
        lines = f.read().splitlines()
    if not keep:
        open(path, "w").close()
    return lines


class Served:
    """Resources in one remote folder under a web server's document root."""

    def __init__(self, docroot, remote):
        self.remote = remote.strip("/")
        os.makedirs(os.path.join(docroot, self.remote))
        self.folder = os.path.join(docroot, self.remote)

    def serve(self, resource, data):
        with open(os.path.join(self.folder, resource), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("latin-1"))

    def read(self, resource):
        with open(os.path.join(self.folder, resource), "rb") as f:
            return f.read()

    def publish(self, package, version, archive, digest=None):
        """Serves a package with its digest (the archive's own unless given)
        and its version text."""
        self.serve(package, archive)
        self.serve(package + ".md5", hashlib.md5(archive).hexdigest() if digest is None else digest)
        self.serve(package + ".version", version)


class Site(Served):
    """The loopback update server and what it serves: resources under one
    remote folder, rules per resource, and the log of the requests it got."""

    def __init__(self, remote):
        self.root = tempfile.mkdtemp(prefix="orvane-site-")
        Served.__init__(self, self.root, remote)
        self.server = UpdateServer(self.root).start()
        self.proxy = "http://127.0.0.1:%d" % self.server.port

    def request(self, resource):
        """A request line as the log holds it."""
        return "GET /%s/%s" % (self.remote, resource)

    def rules(self, rules):
        """Sets {resource: rule}; see the test server for the rules it knows."""
        with open(os.path.join(self.root, "_rules.json"), "w") as f:
            json.dump({"/%s/%s" % (self.remote, resource): rule
                       for resource, rule in rules.items()}, f)

    def requests(self):
        return take_lines(os.path.join(self.root, "_requests.log"), keep=True)

    def take_requests(self):
        """The requests so far; the log starts afresh."""
        return take_lines(os.path.join(self.root, "_requests.log"))

    def reset(self):
        """Nothing served, no rules, no requests."""
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.folder)

    def close(self):
        self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def free_port():
    """A loopback port that nothing listens on now."""
    with closed_port() as probe:
        return probe.getsockname()[1]


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)


class TestPki:
    """A test CA and server certificates made with openssl in a temporary
    directory: certificate(name, host, ca) gives (certificate, key) paths of
    a server certificate for host signed by the CA called ca."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="orvane-pki-")

    def path(self, name):
        return os.path.join(self.dir, name)

    def ca(self, name):
        """A self-signed CA; returns the path of its PEM certificate."""
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", self.path(name + ".key"), "-out", self.path(name + ".pem"),
                "-days", "2", "-subj", "/O=Orvane tests/CN=" + name,
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        return self.path(name + ".pem")

    def certificate(self, name, host, ca):
        extensions = self.path(name + ".ext")
        with open(extensions, "w") as f:
            f.write("basicConstraints=critical,CA:FALSE\n"
                    "keyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=serverAuth\n"
                    "subjectAltName=DNS:%s\n" % host)
        openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", self.path(name + ".key"), "-out", self.path(name + ".csr"),
                "-subj", "/CN=" + host)
        openssl("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.path(ca + ".pem"),
                "-CAkey", self.path(ca + ".key"), "-CAcreateserial", "-days", "2",
                "-extfile", extensions, "-out", self.path(name + ".pem"))
        return self.path(name + ".pem"), self.path(name + ".key")

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class NginxSite(Served):
    """nginx serving a directory tree on loopback ports it picks: one plain
    HTTP listener and one TLS listener per certificate given as
    {name: (certificate, key)}. Each listener has its own access log of
    "<METHOD> <path>" lines. Runs in the foreground until close()."""

    def __init__(self, remote, certificates):
        self.dir = tempfile.mkdtemp(prefix="orvane-nginx-")
        self.www = os.path.join(self.dir, "www")
        Served.__init__(self, self.www, remote)
        self.ports = {"plain": free_port()}
        servers = [self._server("plain", "")]
        for name, (certificate, key) in certificates.items():
            self.ports[name] = free_port()
            servers.append(self._server(name, "ssl", "ssl_certificate %s;" % certificate,
                                        "ssl_certificate_key %s;" % key))
        temp = os.path.join(self.dir, "temp")
        os.makedirs(temp)
        config = os.path.join(self.dir, "nginx.conf")
        with open(config, "w") as f:
            # One process, in the foreground: no user switch, nothing left behind.
            f.write("daemon off;\nmaster_process off;\npid %s/nginx.pid;\n"
                    "error_log %s/error.log warn;\nevents { worker_connections 64; }\n"
                    "http {\n  default_type application/octet-stream;\n"
                    "  log_format requests '$request_method $request_uri';\n"
                    "  client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n"
                    "  fastcgi_temp_path %s/fastcgi; uwsgi_temp_path %s/uwsgi;\n"
                    "  scgi_temp_path %s/scgi;\n%s}\n"
                    % ((self.dir, self.dir) + (temp,) * 5 + ("".join(servers),)))
        self.process = subprocess.Popen(
            ["nginx", "-p", self.dir, "-c", config, "-e", os.path.join(self.dir, "error.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        eventually(lambda: self.process.poll() is not None or self._listening(), 10, 0.02)
        if not self._listening():
            errors = self._errors()
            self.close()
            raise RuntimeError("nginx did not start: %s" % errors)

    def _server(self, name, ssl, *directives):
        return ("  server {\n    listen 127.0.0.1:%d %s;\n    root %s;\n"
                "    access_log %s requests;\n    %s\n  }\n"
                % (self.ports[name], ssl, self.www, self._log(name), " ".join(directives)))

    def _log(self, name):
        return os.path.join(self.dir, name + ".access.log")

    def _listening(self):
        if self.process.poll() is not None:
            return False
        for port in self.ports.values():
            try:
                socket.create_connection(("127.0.0.1", port), 1).close()
            except OSError:
                return False
        return True

    def _errors(self):
        path = os.path.join(self.dir, "error.log")
        logged = open(path).read() if os.path.exists(path) else ""
        if self.process.poll() is not None:
            logged += self.process.stderr.read().decode("latin-1")
        return logged

    def take_requests(self, name):
        """The requests that listener name logged so far; its log starts afresh."""
        return take_lines(self._log(name))

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)  # graceful: ends once idle
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Tunnel:
    """An HTTP proxy for https_proxy that takes only CONNECT and joins every
    tunnel to the loopback port in .target, whatever host the client names:
    it stands in for name resolution, while TLS runs end to end between the
    program and the server. .requests holds the CONNECT targets asked for."""

    def __init__(self):
        self.target = None
        self.requests = []
        tunnel = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                line = self.rfile.readline(4096).decode("latin-1").strip()
                while self.rfile.readline(4096).strip():
                    pass
                words = line.split()
                tunnel.requests.append(" ".join(words[:2]))
                if len(words) < 2 or words[0] != "CONNECT" or tunnel.target is None:
                    self.wfile.write(b"HTTP/1.1 405 Method Not Allowed\r\n\r\n")
                    return
                with socket.create_connection(("127.0.0.1", tunnel.target), 10) as upstream:
                    self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
                    self.wfile.flush()
                    relay(self.connection, upstream)

        def relay(a, b):
            peers = {a: b, b: a}
            while True:
                ready, _, _ = select.select(list(peers), [], [], 30)
                if not ready:
                    return
                try:
                    for side in ready:
                        data = side.recv(65536)
                        if not data:
                            return
                        peers[side].sendall(data)
                except OSError:  # a side gave up, e.g. a refused handshake
                    return

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.proxy = "http://127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.server.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


def system_ca_bundle():
    """The CA bundle file that the system's libcurl was built to trust."""
    try:
        path = subprocess.run(["curl-config", "--ca"], capture_output=True, text=True,
                              timeout=10).stdout.strip()
    except OSError:
        path = ""
    return path or "/etc/ssl/certs/ca-certificates.crt"


def trusting_prefix(bundle):
    """Command words that run a program in a private mount namespace in which
    bundle lies over the system's CA bundle (so only the test CA is trusted,
    and only by that program); None, with the reason, where that cannot be done."""
    if os.geteuid() != 0:
        return None, "a private mount namespace needs root"
    if not shutil.which("unshare"):
        return None, "unshare (util-linux) is not installed"
    target = system_ca_bundle()
    if not os.path.isfile(target):
        return None, "no system CA bundle at %s" % target
    prefix = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
              'mount --bind "$1" "$2" && shift 2 && exec "$@"', "trust", bundle, target]
    probe = subprocess.run(prefix + ["true"], capture_output=True, text=True, timeout=30)
    if probe.returncode != 0:
        return None, "unshare --mount failed: %s" % probe.stderr.strip()
    return prefix, ""
