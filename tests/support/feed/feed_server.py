#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""HTTPS server for update-feed tests: feed_server.py DIR serves DIR/feeds/<name> at /<name> on 127.0.0.1
with a certificate from the test CA it makes in DIR/ca, prints its port and serves until killed."""

import http.server
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools", "radio"))
from radio import make_ca, server_context  # noqa: E402

ROOT = sys.argv[1]


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=os.path.join(ROOT, "feeds"), **kwargs)

    def log_message(self, *args):
        pass


def main():
    os.makedirs(os.path.join(ROOT, "feeds"), exist_ok=True)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = server_context(ROOT, "server", *make_ca(os.path.join(ROOT, "ca")))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
