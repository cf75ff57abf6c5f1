#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""HTTPS server for update-feed tests: feed_server.py DIR

Makes test CAs in DIR/ca and DIR/other-ca (an unrelated one), serves HTTPS on
127.0.0.1 with a certificate from DIR/ca, prints the port and serves until
killed. Each request path is appended to DIR/requests.log.

  /<name>                 DIR/feeds/<name>, or 404
  /redirect/<name>        302 to /<name>
  /redirect-http/<name>   302 to http://127.0.0.1:<port>/<name>
  /hold/<name>            <name> once DIR/release exists
  /slow                   headers and a first line, then silence
  /huge                   a well-formed start, then 2 MiB more without a length
"""

import http.server
import os
import ssl
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hls"))
from hls_server import make_ca, make_leaf  # noqa: E402

ROOT = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def start(self, status=200, length=None, location=None):
        self.send_response(status)
        self.send_header("Content-Type", "application/rss+xml")
        if location:
            self.send_header("Location", location)
        if length is not None:
            self.send_header("Content-Length", str(length))
        self.end_headers()

    def serve_file(self, name):
        path = os.path.join(ROOT, "feeds", name)
        if "/" in name or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            body = f.read()
        self.start(length=len(body))
        self.wfile.write(body)

    def do_GET(self):
        with open(os.path.join(ROOT, "requests.log"), "a") as log:
            log.write(self.path + "\n")
        kind, _, name = self.path[1:].partition("/")
        if kind == "redirect":
            self.start(302, 0, "/" + name)
        elif kind == "redirect-http":
            self.start(302, 0, "http://127.0.0.1:%d/%s" % (self.server.server_address[1], name))
        elif kind == "hold":
            deadline = time.monotonic() + 60
            while not os.path.exists(os.path.join(ROOT, "release")) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.serve_file(name)
        elif kind == "slow":
            self.start()
            self.wfile.write(b'<?xml version="1.0"?>\n')
            self.wfile.flush()
            time.sleep(120)
        elif kind == "huge":
            self.start()
            self.wfile.write(b'<?xml version="1.0"?>\n<rss version="2.0"><channel>\n')
            try:
                for _ in range(512):
                    self.wfile.write(b"<!-- " + b"x" * 4090 + b" -->\n")
            except OSError:
                pass  # the client stopped reading, as it should
        else:
            self.serve_file(kind)


def main():
    os.makedirs(os.path.join(ROOT, "feeds"), exist_ok=True)
    ca, ca_key = make_ca(os.path.join(ROOT, "ca"))
    make_ca(os.path.join(ROOT, "other-ca"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*make_leaf(ROOT, "server", ca, ca_key))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
