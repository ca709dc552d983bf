"""A link that drops every N bytes, for the engine benchmark: an HTTP proxy
that relays every request to a loopback port and cuts each connection once
N bytes of the answer have passed (the tests' own proxy).

    cut_link.py TARGET_PORT N    prints "PORT <n>", serves until stdin closes
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import harness  # noqa: E402

link = harness.Proxy()
link.target, link.cut_after = int(sys.argv[1]), int(sys.argv[2])
print("PORT %d" % link.port, flush=True)
sys.stdin.read()
print("CUTS %d" % link.cuts, flush=True)
link.close()
