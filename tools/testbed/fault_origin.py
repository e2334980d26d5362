#!/usr/bin/env python3
"""Fault origin of the node sandbox: a small HTTP server on 127.0.0.1 behind
the origin nginx's /fault/ location, which serves the origin's files badly.

    fault_origin.py PORT FILES

GET /fault/KIND/N/PATH answers with FILES/PATH's Content-Length and then:
  stall  sends its first N bytes, then nothing until the client leaves;
  cut    sends its first N bytes, then closes the connection;
  late   waits N ms before its answer, then sends the whole file;
  500    answers 500 at once (N is ignored);
  404    waits N ms, then answers 404 (PATH need not exist): an origin slow
         to say that it has no such file.
"""
import http.server
import os
import socketserver
import select
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        parts = self.path.split("/", 4)
        if len(parts) < 5 or parts[1] != "fault" or not parts[3].isdigit():
            self.send_error(404)
            return
        kind, count, name = parts[2], int(parts[3]), parts[4].split("?")[0]
        if kind == "500":
            self.send_error(500)
            return
        if kind == "404":
            time.sleep(count / 1000)
            self.send_error(404)
            return
        path = os.path.join(FILES, name)
        if kind not in ("stall", "cut", "late") or ".." in name.split("/") or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            body = f.read()
        if kind == "late":
            time.sleep(count / 1000)
            count = len(body)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body[:count])
            self.wfile.flush()
            # A stall lasts until the peer closes: then the socket reads as EOF.
            while kind == "stall":
                ready, _, _ = select.select([self.connection], [], [], 0.5)
                if ready and self.connection.recv(1) == b"":
                    break
        except OSError:
            pass  # the peer went away: nothing more to send
        self.close_connection = True


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


if __name__ == "__main__":
    FILES = sys.argv[2]
    Server(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
