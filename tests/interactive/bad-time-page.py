#!/usr/bin/env python3
"""A time page whose Universal time is no time at all, for the run-time error of larkspan.

usage: bad-time-page.py ADDRESS PORT
Prints "listening on ADDRESS:PORT" once it listens, then "served PATH" for each page.
SIGTERM ends it.
"""
import http.server
import sys

BODY = b"<html><body><pre>\n<BR>Dec. 07, half past noon Universal Time\n</pre></body></html>\n"


class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(BODY)))
        self.end_headers()
        self.wfile.write(BODY)
        print("served", self.path, flush=True)

    def log_message(self, *args):
        pass  # the "served" lines are the log


server = http.server.HTTPServer((sys.argv[1], int(sys.argv[2])), Page)
print("listening on %s:%d" % server.server_address, flush=True)
server.serve_forever()
