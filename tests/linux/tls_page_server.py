#!/usr/bin/env python3
"""A loopback HTTPS server for the download's certificate tests.

usage: tls_page_server.py CERTIFICATE KEY PORT_FILE

Listens on 127.0.0.1 at a free port, which it writes to PORT_FILE once it is listening, and
serves over TLS with the given certificate:
  /cgi-bin/timer.pl   a time page
  /up                 a redirect to this server's own /cgi-bin/timer.pl (https)
  /down?to=ADDRESS    a redirect to ADDRESS (an http one), with a time page as its body
It runs until it is stopped.
"""
import http.server
import os
import ssl
import sys
import urllib.parse

PAGE = b"<html><body>Dec. 07, 12:00:00 Universal Time</body></html>\n"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        address = urllib.parse.urlsplit(self.path)
        if address.path == "/cgi-bin/timer.pl":
            self.answer(200, {}, PAGE)
        elif address.path == "/up":
            port = self.server.server_address[1]
            self.answer(302, {"Location": f"https://127.0.0.1:{port}/cgi-bin/timer.pl"}, b"")
        elif address.path == "/down":
            target = urllib.parse.parse_qs(address.query)["to"][0]
            self.answer(302, {"Location": target}, PAGE)
        else:
            self.answer(404, {}, b"not here\n")

    def answer(self, status, headers, body):
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *arguments):
        pass


def main():
    certificate, key, port_file = sys.argv[1:4]
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(port_file + ".tmp", "w") as port:
        port.write(str(server.server_address[1]))
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
