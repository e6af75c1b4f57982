#!/usr/bin/env python3
"""Serves a folder on 127.0.0.1 for the updater's tests, over HTTP or HTTPS.

Prints the port it listens on, then serves until killed. Besides plain files it answers:
  ETag / If-None-Match and Last-Modified / If-Modified-Since (304 when unchanged),
  /status/CODE            that HTTP status with a short body,
  /truncated/NAME         the file with its full Content-Length but only half the body,
  /slow/NAME              nothing for 30 seconds.
Every request line is appended to requests.log in the folder's parent.
"""
import email.utils
import hashlib
import http.server
import os
import ssl
import sys
import time

ROOT = sys.argv[1]
CERT = sys.argv[2] if len(sys.argv) > 3 else None
KEY = sys.argv[3] if len(sys.argv) > 3 else None
LOG = os.path.join(os.path.dirname(os.path.abspath(ROOT)), "requests.log")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, code, body, headers=()):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(LOG, "a") as log:
            log.write(self.path + " " + self.headers.get("If-None-Match", "-") + "\n")
        parts = self.path.strip("/").split("/", 1)
        if parts[0] == "status":
            self.send_body(int(parts[1]), b"status\n")
            return
        if parts[0] == "slow":
            time.sleep(30)
            return
        truncated = parts[0] == "truncated"
        name = parts[1] if truncated else self.path.strip("/")
        path = os.path.join(ROOT, name)
        if not os.path.isfile(path):
            self.send_body(404, b"not found\n")
            return
        with open(path, "rb") as f:
            body = f.read()
        etag = '"' + hashlib.sha256(body).hexdigest()[:16] + '"'
        modified = email.utils.formatdate(int(os.path.getmtime(path)), usegmt=True)
        if self.headers.get("If-None-Match") == etag:
            self.send_response(304)
            self.send_header("ETag", etag)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        headers = [("ETag", etag), ("Last-Modified", modified)]
        if truncated:
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.send_body(200, body, headers)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
if CERT:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(CERT, KEY)
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
