"""A loopback stand-in for the update server, for tests.

Serves a directory over HTTP/1.1 on 127.0.0.1, on a port it picks itself
(port 0), one thread per connection, one response per connection (it answers
with "Connection: close").

Command line:
    python3 update_server.py --root DIR
prints "PORT <n>" as its first line on standard output (flushed) and serves DIR
until standard input reaches end of file or it gets SIGTERM.

In-process:
    from update_server import UpdateServer
    srv = UpdateServer(root); srv.start(); ... srv.port ...; srv.stop()

Requests:
- A request line in proxy form ("GET http://host/path HTTP/1.1", what libcurl
  sends through http_proxy) is served by the URL's path, like "GET /path".
- Every request is appended at once (flushed) to DIR/_requests.log as one line
  "<METHOD> <path>", the path as requested (query included), proxy form
  reduced to the path.
- The file served is DIR/<path> (query dropped, %-escapes decoded). A path
  with no such file, and no "body" or "sequence" rule, gets 404 with a small
  HTML body. Paths that climb out of DIR get 404 as well.

Misbehaviour, per path, from DIR/_rules.json, re-read on every request:
    {"/path": {rule...}, ...}
The path is matched without its query. Rule keys:
- "status": int. The response status (default 200, or 404 for a missing file).
  A missing file with a status rule gets a small HTML page with that status.
- "headers": list of raw header lines sent as given, each with its own line
  end, e.g. "content-length: 5\r\n" or "Content-Length: 7\n". When one of them
  starts with "content-length:" (any case) the server sends no Content-Length
  of its own.
- "length": "none": no Content-Length; the body ends when the connection closes.
- "body": literal text (latin-1) sent instead of the file.
- "sequence": [body1, body2, ...]: successive requests of the path get
  successive bodies; the last one repeats. The count starts again whenever
  the sequence in the rules changes.
- "drop_after": n: send n bytes of the body, then close the connection (the
  Content-Length still announces the whole body).
- "stall_after": n with "stall_seconds": s: send n bytes of the body, wait s
  seconds, then send the rest.
- "trickle": [n, s]: send the body n bytes at a time, waiting s seconds after
  each piece.
- "no_answer": true: close the connection without sending any response.
- "header_delay": s: send the status line alone, wait s seconds, then the rest.
- "validator": "etag" | "weak-etag" | "last-modified": the response carries
  that validator, made from the body's MD5 (so it changes with the body), and
  a "Range: bytes=..." request is answered when its If-Range (if any)
  matches, else whole with 200: one range ("N-", "a-b" or "-n") with 206 and
  "Content-Range: bytes <first>-<last>/<size>", several with 206 and a
  multipart/byteranges body, one part per range in the order asked. The
  request log line then ends in " bytes=...".
- "multi_range": "whole" | "first" | "misplace": a request for several
  ranges is answered whole with 200, with its first range alone, or with its
  first two parts swapped.
- "ignore_ranges": true: ranges are never honoured (always 200, whole).
- "range_offset": k: the Content-Range announced starts k bytes off the truth.
- "drops": k: "drop_after" cuts only the first k responses of the path.
Rules combine: e.g. "length": "none" with "drop_after" ends a close-delimited
body early; "headers" with "length": "none" announces only what the test wrote.
"""

import argparse
import email.utils
import hashlib
import json
import os
import signal
import socket
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REQUEST_LOG = "_requests.log"
RULES_FILE = "_rules.json"
CHUNK = 256 * 1024
BOUNDARY = "00000000000000000001"

REASONS = {200: "OK", 204: "No Content", 301: "Moved Permanently", 302: "Found",
           304: "Not Modified", 400: "Bad Request", 403: "Forbidden", 404: "Not Found",
           500: "Internal Server Error", 503: "Service Unavailable"}


def error_page(status):
    reason = REASONS.get(status, "Error")
    return ("<html><head><title>%d %s</title></head><body><h1>%s</h1></body></html>\n"
            % (status, reason, reason)).encode("latin-1")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OrvaneTestServer/1.0"

    def log_message(self, format, *args):  # quiet: the request log is the record
        pass

    def do_GET(self):
        self._serve(send_body=True)

    def do_HEAD(self):
        self._serve(send_body=False)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length > 0:
            self.rfile.read(length)
        self._serve(send_body=True)

    def _serve(self, send_body):
        owner = self.server.owner
        target = self.path
        if "://" in target:  # proxy form: keep only the path of the absolute URL
            parts = urllib.parse.urlsplit(target)
            target = parts.path or "/"
            if parts.query:
                target += "?" + parts.query
        path = target.split("?", 1)[0]
        rule = owner._rule_for(path)
        asked = self.headers.get("Range")
        owner._log_request(self.command, target + (" " + asked if asked else ""))
        if rule.get("no_answer"):
            self.close_connection = True
            return

        status = rule.get("status")
        body = None
        file_path = None
        if "sequence" in rule and rule["sequence"]:
            body = owner._next_in_sequence(path, rule["sequence"]).encode("latin-1")
        elif "body" in rule:
            body = str(rule["body"]).encode("latin-1")
        else:
            file_path = owner._file_for(path)
            if file_path is None:
                if status is None:
                    status = 404
                body = error_page(status)
        if status is None:
            status = 200

        size = len(body) if body is not None else os.path.getsize(file_path)
        extra = list(rule.get("headers") or [])
        offset = 0
        if rule.get("validator"):
            status, offset, size, ranged = self._ranged(rule, body, file_path, size, status, extra)
            if ranged is not body:  # a multi-range answer, made in full
                body, file_path = ranged, None
        head = "HTTP/1.1 %d %s\r\n" % (status, REASONS.get(status, "Status"))
        own_length = rule.get("length") != "none" and not any(
            line.lower().startswith("content-length:") for line in extra)
        if own_length:
            head += "Content-Length: %d\r\n" % size
        head += "Connection: close\r\n"
        out = head.encode("latin-1") + "".join(extra).encode("latin-1") + b"\r\n"
        self.close_connection = True
        try:
            if rule.get("header_delay"):
                status_line, out = out.split(b"\r\n", 1)
                self.wfile.write(status_line + b"\r\n"), self.wfile.flush()
                owner._stopping.wait(float(rule["header_delay"]))
            self.wfile.write(out)
            self.wfile.flush()
            if send_body:
                self._send_body(rule, body, file_path, size, offset)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
            pass

    def _ranged(self, rule, body, file_path, size, status, extra):
        """The validator and, for a range request it honours, the part: returns
        (status, offset, bytes to send, body: the multipart one it made)."""
        if body is None:
            with open(file_path, "rb") as f:
                digest = hashlib.md5(f.read()).hexdigest()
        else:
            digest = hashlib.md5(body).hexdigest()
        kind = rule["validator"]
        if kind == "last-modified":
            validator = email.utils.formatdate(int(digest[:7], 16), usegmt=True)
            extra.append("Last-Modified: %s\r\n" % validator)
        else:
            validator = ('W/"%s"' if kind == "weak-etag" else '"%s"') % digest
            extra.append("ETag: %s\r\n" % validator)
        asked = self.headers.get("Range") or ""
        if_range = self.headers.get("If-Range")
        spans = self._spans(asked, size)
        if (status not in (None, 200) or rule.get("ignore_ranges") or kind == "weak-etag"
                or spans is None or (if_range is not None and if_range != validator)):
            return status, 0, size, body
        if not spans:
            extra.append("Content-Range: bytes */%d\r\n" % size)
            return 416, size, 0, body
        multi = rule.get("multi_range")
        if len(spans) > 1 and multi == "whole":
            return status, 0, size, body
        if len(spans) == 1 or multi == "first":
            first, last = spans[0]
            extra.append("Content-Range: bytes %d-%d/%d\r\n"
                         % (first + int(rule.get("range_offset", 0)), last, size))
            return 206, first, last + 1 - first, body
        if multi == "misplace":
            spans[0], spans[1] = spans[1], spans[0]
        if body is None:
            with open(file_path, "rb") as f:
                body = f.read()
        extra.append("Content-Type: multipart/byteranges; boundary=%s\r\n" % BOUNDARY)
        parts = b"".join(b"\r\n--%s\r\nContent-Type: application/octet-stream\r\n"
                         b"Content-Range: bytes %d-%d/%d\r\n\r\n%s"
                         % (BOUNDARY.encode(), a, b, size, body[a:b + 1]) for a, b in spans)
        parts += b"\r\n--%s--\r\n" % BOUNDARY.encode()
        return 206, 0, len(parts), parts

    @staticmethod
    def _spans(asked, size):
        """The [first, last] spans of a Range header ("bytes=a-b,c-,-n"): None
        when there is none or it is malformed, [] when none can be served."""
        if not asked.startswith("bytes="):
            return None
        spans = []
        for item in asked[6:].split(","):
            first, dash, last = item.strip().partition("-")
            if not dash or not (first + last).isdigit():
                return None
            if not first:
                first, last = max(0, size - int(last)), size - 1
            first, last = int(first), min(int(last or size - 1), size - 1)
            if last < first and not (first >= size):
                return None
            if first < size:
                spans.append((first, last))
        return spans

    def _send_body(self, rule, body, file_path, size, offset=0):
        owner = self.server.owner
        limit = size
        if "drop_after" in rule and owner._count(self.path.split("?", 1)[0]) <= int(
                rule.get("drops", 1 << 30)):
            limit = min(size, int(rule["drop_after"]))
        stall_after = int(rule["stall_after"]) if "stall_after" in rule else None
        stall_seconds = float(rule.get("stall_seconds", 0))
        trickle = rule.get("trickle")
        plain = stall_after is None and not trickle and limit == size
        if plain and file_path is not None:
            with open(file_path, "rb") as f:
                self.connection.sendfile(f, offset)
            return

        source = open(file_path, "rb") if file_path is not None else None
        if source:
            source.seek(offset)
        elif offset:
            body = body[offset:]
        try:
            sent = 0
            while sent < limit:
                piece = CHUNK
                if trickle:
                    piece = max(1, int(trickle[0]))
                if stall_after is not None and sent < stall_after:
                    piece = min(piece, stall_after - sent)
                piece = min(piece, limit - sent)
                data = source.read(piece) if source else body[sent:sent + piece]
                if not data:
                    break
                self.wfile.write(data)
                self.wfile.flush()
                sent += len(data)
                if stall_after is not None and sent == stall_after and stall_seconds > 0:
                    if owner._stopping.wait(stall_seconds):
                        break
                if trickle and sent < limit and owner._stopping.wait(float(trickle[1])):
                    break
        finally:
            if source:
                source.close()
        if limit < size:  # cut the connection short, without a proper end
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True


class UpdateServer:
    """The test server in-process: start(), port, stop()."""

    def __init__(self, root, port=0):
        self.root = os.path.realpath(root)
        self.requested_port = port
        self.port = None
        self._httpd = None
        self._thread = None
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._sequences = {}
        self._bodies = {}

    def start(self):
        self._httpd = _Server(("127.0.0.1", self.requested_port), _Handler)
        self._httpd.owner = self
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._httpd is None:
            return
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)
        self._httpd = None

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # Per-request helpers, called from handler threads.
    def _log_request(self, method, target):
        with self._lock:
            with open(os.path.join(self.root, REQUEST_LOG), "a", encoding="latin-1") as f:
                f.write("%s %s\n" % (method, target))
                f.flush()

    def _rule_for(self, path):
        try:
            with open(os.path.join(self.root, RULES_FILE), "r", encoding="latin-1") as f:
                rules = json.load(f)
        except FileNotFoundError:
            return {}
        except (OSError, ValueError) as error:
            sys.stderr.write("update_server: ignoring %s: %s\n" % (RULES_FILE, error))
            return {}
        rule = rules.get(path) if isinstance(rules, dict) else None
        return rule if isinstance(rule, dict) else {}

    def _count(self, target):
        """How many responses of the path (as requested) have had a body so far."""
        with self._lock:
            self._bodies[target] = self._bodies.get(target, 0) + 1
            return self._bodies[target]

    def _next_in_sequence(self, path, sequence):
        key = json.dumps(sequence)
        with self._lock:
            seen_key, count = self._sequences.get(path, (None, 0))
            if seen_key != key:
                count = 0
            self._sequences[path] = (key, count + 1)
        return str(sequence[min(count, len(sequence) - 1)])

    def _file_for(self, path):
        relative = urllib.parse.unquote(path).lstrip("/")
        full = os.path.realpath(os.path.join(self.root, relative))
        if full != self.root and not full.startswith(self.root + os.sep):
            return None
        return full if os.path.isfile(full) else None


def main():
    parser = argparse.ArgumentParser(description="Loopback update server for tests")
    parser.add_argument("--root", required=True, help="directory to serve")
    parser.add_argument("--port", type=int, default=0,
                        help="port to listen on (default: one the system picks)")
    args = parser.parse_args()
    server = UpdateServer(os.path.realpath(args.root), args.port).start()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *unused: done.set())

    def watch_stdin():
        # os.read, not sys.stdin: a daemon thread blocked inside the buffered
        # reader holds its lock, and closing stdin at exit would wait for it.
        try:
            while os.read(0, 4096):
                pass
        except OSError:
            pass
        done.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    sys.stdout.write("PORT %d\n" % server.port)
    sys.stdout.flush()
    try:
        while not done.wait(0.2):
            pass
    except KeyboardInterrupt:
        pass
    server.stop()


if __name__ == "__main__":
    main()
