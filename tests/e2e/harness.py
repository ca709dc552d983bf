"""Running the real executable in a temporary install tree.

The executable is copied into <root>/bin/, since the install root is found
from the executable's own path. ORVANE_EXE names the executable; with
ORVANE_RUNNER set (the Wine loader) a Windows build is run through it, and
the helpers below account for its text modes (CR LF) and exit codes.
"""

import base64
import hashlib
import io
import json
import os
import select
import shutil
import signal
import socket
import socketserver
import struct
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
# The same product trusting the two test release keys of tests/keys/.
SIGNED_EXE = os.environ.get("ORVANE_SIGNED_EXE", "")
KEYS = os.path.join(HERE, "..", "keys")
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

# The test build's machine policy: a file in each tree on Linux, a key of its own under Wine.
POLICY_FILE = os.environ.get("ORVANE_POLICY_FILE", "/etc/orvane/policy.json")
POLICY_KEY = os.environ.get("ORVANE_POLICY_KEY", "")

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
            # None removes a variable, in any case (Windows names ignore case).
            for name in [n for n in full_env if env.get(n.lower(), "") is None]:
                del full_env[name]
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


class Policy:
    """A tree's policy: set({name: text or integer}), on Linux set(text, mode, owner) too."""

    def __init__(self, test, tree):
        if not POLICY_KEY if WINDOWS else os.path.isabs(POLICY_FILE) or os.geteuid() != 0:
            test.skipTest("the test build reads the machine's policy, or its file is not root's")
        self.key = "HKLM\\" + POLICY_KEY
        self.source = self.key if WINDOWS else os.path.join(tree.root, POLICY_FILE)
        test.addCleanup(self.set, {})

    def set(self, policy, mode=0o644, owner=0):
        if WINDOWS:
            subprocess.run([RUNNER, "reg", "delete", self.key, "/f"], capture_output=True, timeout=120)
            for name, value in policy.items():
                typed = (["REG_SZ", "/d", value] if isinstance(value, str)  # a DWORD's bits, signed
                         else ["REG_DWORD", "/d", "0x%x" % (value & 0xFFFFFFFF)])
                subprocess.run([RUNNER, "reg", "add", self.key, "/v", name, "/t"] + typed + ["/f"],
                               check=True, capture_output=True, timeout=120)
            return
        os.path.exists(self.source) and os.unlink(self.source)
        if policy != {}:
            with open(self.source, "w") as f:
                f.write(policy if isinstance(policy, str) else json.dumps(policy))
            os.chmod(self.source, mode)
            os.chown(self.source, owner, -1)


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


def minisign(data, key="first", comment=None):
    """The signature file that `minisign -S` makes of data, saved as alpha.zip,
    with the test key tests/keys/<key>.key (no password), and the trusted
    comment given (minisign's own "timestamp:<now> file:alpha.zip hashed" when none)."""
    with tempfile.TemporaryDirectory(prefix="orvane-sign-") as scratch:
        path = os.path.join(scratch, "alpha.zip")
        with open(path, "wb") as f:
            f.write(data)
        command = ["minisign", "-S", "-s", os.path.join(KEYS, key + ".key"), "-m", path]
        command += ["-t", comment] if comment is not None else []
        subprocess.run(command, check=True, capture_output=True, stdin=subprocess.DEVNULL,
                       timeout=60)
        with open(path + ".minisig", "rb") as f:
            return f.read()


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
    {name: (certificate, key)}, and one more plain listener per {name:
    directives} in plain. Each listener has its own access log of
    "<METHOD> <path>" lines. Runs in the foreground until close()."""

    def __init__(self, remote, certificates, http2=(), plain=None):
        self.dir = tempfile.mkdtemp(prefix="orvane-nginx-")
        self.www = os.path.join(self.dir, "www")
        Served.__init__(self, self.www, remote)
        self.ports = {"plain": free_port()}
        servers = [self._server("plain", "")]
        for name, directives in (plain or {}).items():
            self.ports[name] = free_port()
            servers.append(self._server(name, "", directives))
        for name, (certificate, key) in certificates.items():
            self.ports[name] = free_port()
            servers.append(self._server(name, "ssl http2" if name in http2 else "ssl",
                                        "ssl_certificate %s;" % certificate,
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
                    "  log_format sent '$bytes_sent';\n"
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
        # A small send buffer: what nginx counts as sent to a link that
        # drops is nearly what arrived.
        return ("  server {\n    listen 127.0.0.1:%d %s sndbuf=16k;\n    root %s;\n"
                "    access_log %s requests;\n    access_log %s.sent sent;\n    %s\n  }\n"
                % (self.ports[name], ssl, self.www, self._log(name), self._log(name),
                   " ".join(directives)))

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

    def take_requests(self, name, expected=0):
        """The requests that listener name logged, once there are at least
        expected of them (nginx logs a request after answering it, so the last
        one may still be on its way when the program ends; waits 10 s at most);
        its log starts afresh."""
        eventually(lambda: len(take_lines(self._log(name), keep=True)) >= expected, 10)
        return take_lines(self._log(name))

    def take_sent(self, name):
        """The bytes that listener name sent so far (headers included, and
        whatever a cut connection still held); its count starts afresh."""
        return sum(int(n) for n in take_lines(self._log(name) + ".sent"))

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


class Proxy:
    """A loopback HTTP proxy that forwards plain requests and CONNECT tunnels
    to the loopback port in .target, whatever host they name: it stands in
    for name resolution, while TLS runs end to end between the program and
    the server. .requests logs "<METHOD> <target>" of each request;
    .authorizations each Proxy-Authorization ("NTLM 1", "NTLM 3 user=<name>",
    "Negotiate", "Basic u:p"). With .challenge (e.g. ["NTLM"]) a connection
    must first pass NTLM's three messages, any Negotiate token, or Basic with
    .basic ("user:password"). With .cut_after = n every connection is cut
    once n bytes of the server's answer have passed (a link that keeps
    dropping); .cuts counts them. .rewrite edits what a client sends (bytes)."""

    NTLM_CHALLENGE = "NTLM " + base64.b64encode(b"NTLMSSP\0" + struct.pack(
        "<IHHIIQQHHI", 2, 0, 0, 48, 0x8205, 0x0123456789ABCDEF, 0, 0, 0, 48)).decode()

    def __init__(self):
        self.target, self.requests, self.authorizations = None, [], []
        self.reset()
        proxy = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                passed = False
                while True:
                    line, head = self.rfile.readline(65536), []
                    while len(head) < 100 and not head[-1:] == [b"\r\n"]:
                        head.append(self.rfile.readline(65536))
                    words = line.decode("latin-1").split()
                    if len(words) < 2 or not head[-1].strip() == b"":
                        return
                    proxy.requests.append(" ".join(words[:2]))
                    given = [h[20:].strip().decode("latin-1") for h in head
                             if h.lower().startswith(b"proxy-authorization:")]
                    answer = proxy._authenticate(given[0] if given else "")
                    passed = passed or not proxy.challenge or answer is True
                    if passed:
                        return proxy._forward(self.connection, words[0], line, head)
                    self.wfile.write(("HTTP/1.1 407 Proxy Authentication Required\r\n%s"
                                      "Content-Length: 0\r\n\r\n" % "".join(
                                          "Proxy-Authenticate: %s\r\n" % c for c in answer)
                                      ).encode())

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.proxy = "http://127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.server.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def _forward(self, client, method, line, head):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as server:
            if self.cut_after is not None:
                # Little in flight when the link drops: what the server
                # counts as sent is nearly what arrived.
                server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
            server.settimeout(10)
            server.connect(("127.0.0.1", self.target))
            server.settimeout(None)
            if method == "CONNECT":
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            else:
                head = [self.rewrite(h) for h in head]
                server.sendall(line + b"".join(h for h in head
                                               if not h.lower().startswith(b"proxy-")))
            peers, left = {client: server, server: client}, self.cut_after
            try:
                while True:
                    ready = select.select(list(peers), [], [], 30)[0]
                    if not ready:
                        return
                    for side in ready:
                        data = side.recv(65536 if left is None or side is client
                                         else min(left, 65536))
                        if not data:
                            return
                        peers[side].sendall(self.rewrite(data) if side is client else data)
                        if side is server and left is not None:
                            left -= len(data)
                            if left <= 0:
                                self.cuts += 1
                                return
            except OSError:  # a side gave up, e.g. a refused handshake
                return

    def _authenticate(self, given):
        """True when the credentials given pass, else the challenges to send."""
        scheme, _, token = given.partition(" ")
        if scheme == "NTLM":
            message = base64.b64decode(token + "==")
            kind = struct.unpack_from("<I", message, 8)[0] if len(message) >= 12 else 0
            length, _, offset = struct.unpack_from("<HHI", message, 36) if kind == 3 else (0, 0, 0)
            user = message[offset:offset + length].decode("utf-16-le", "replace")
            self.authorizations.append("NTLM %d" % kind + (" user=" + user if kind == 3 else ""))
            if kind == 1 and "NTLM" in self.challenge:
                return [self.NTLM_CHALLENGE]
            return kind == 3 and "NTLM" in self.challenge or self._challenges()
        if scheme == "Basic":
            given = "Basic " + base64.b64decode(token).decode("latin-1")
        if given:
            self.authorizations.append(given if scheme == "Basic" else scheme)
        return (scheme == "Negotiate" and "Negotiate" in self.challenge
                or given == "Basic %s" % self.basic and "Basic" in self.challenge
                or self._challenges())

    def _challenges(self):
        return ['Basic realm="orvane"' if c == "Basic" else c for c in self.challenge]

    def reset(self):
        self.challenge, self.basic, self.cut_after, self.cuts, self.rewrite = [], None, None, 0, bytes
        self.requests.clear()
        self.authorizations.clear()

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
