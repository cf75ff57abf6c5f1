#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A tiny HTTPS server for update-feed tests (Python standard library only).

Usage: feed_server.py DIR

Makes a throw-away test CA in DIR/ca (ca.pem, plus DIR/other-ca/ca.pem, an
unrelated CA for certificate failures) with the HLS test server's code, serves
HTTPS on 127.0.0.1 with a certificate from that CA, prints the port on one
line and serves until killed.
Every request path is appended to DIR/requests.log.

Paths:
  /<name>                 DIR/feeds/<name>, or 404
  /redirect/<name>        302 to /<name> on this server
  /redirect-http/<name>   302 to http://127.0.0.1:<port>/<name>
  /hold/<name>            waits until DIR/release exists, then serves <name>
  /slow                   headers and a first line, then nothing
  /huge                   a well-formed start, then 2 MiB more without a length
"""

import ctypes
import http.server
import os
import signal
import ssl
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hls"))
from hls_server import make_ca, make_leaf  # noqa: E402

ROOT = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def log_request_path(self):
        with open(os.path.join(ROOT, "requests.log"), "a") as log:
            log.write(self.path + "\n")

    def send_body(self, body, content_type="application/rss+xml"):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def serve_file(self, name):
        path = os.path.join(ROOT, "feeds", name)
        if "/" in name or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            self.send_body(f.read())

    def redirect(self, location):
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        self.log_request_path()
        path = self.path
        port = self.server.server_address[1]
        if path.startswith("/redirect/"):
            self.redirect("/" + path[len("/redirect/"):])
        elif path.startswith("/redirect-http/"):
            self.redirect("http://127.0.0.1:%d/%s" % (port, path[len("/redirect-http/"):]))
        elif path.startswith("/hold/"):
            release = os.path.join(ROOT, "release")
            deadline = time.monotonic() + 60
            while not os.path.exists(release) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.serve_file(path[len("/hold/"):])
        elif path == "/slow":
            self.send_response(200)
            self.send_header("Content-Type", "application/rss+xml")
            self.end_headers()
            self.wfile.write(b'<?xml version="1.0"?>\n')
            self.wfile.flush()
            time.sleep(120)
        elif path == "/huge":
            self.send_response(200)
            self.send_header("Content-Type", "application/rss+xml")
            self.end_headers()
            self.wfile.write(b'<?xml version="1.0"?>\n<rss version="2.0"><channel>\n')
            chunk = b"<!-- " + b"x" * 4090 + b" -->\n"
            try:
                for _ in range(512):
                    self.wfile.write(chunk)
            except OSError:
                pass  # the client stopped reading, as it should
        else:
            self.serve_file(path.lstrip("/"))


def die_with_parent():
    # A test that crashes cannot stop us; end with it instead of lingering.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() == 1:
        sys.exit(0)


def main():
    die_with_parent()
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
