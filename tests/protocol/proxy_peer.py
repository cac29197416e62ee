#!/usr/bin/env python3
"""A loopback HTTP proxy that asks for Basic credentials, for the proxy tests of the transfer and the
transport. transfer_peer.py starts one as its server "proxy"; it can also run on its own:

    proxy_peer.py --journal FILE [--user NAME --password TEXT]

Every request without the expected "Proxy-Authorization: Basic ..." header is answered 407 with
"Proxy-Authenticate: Basic realm=..." (the connection stays open for the next try). With them:
  CONNECT HOST:PORT     a tunnel to 127.0.0.1:PORT (every host is this machine: nothing leaves it)
  METHOD http://HOST:PORT/PATH
                        the request is passed to 127.0.0.1:PORT in origin form without the proxy's
                        headers, and the answer is passed back; the connection then closes
Without --user every request is let through. Each request adds one line to the journal:
"METHOD TARGET auth=none|bad|USER".
"""

import argparse
import base64
import socket
import socketserver
import threading
import urllib.parse

REALM = "kesi proxy"
CHUNK = 65536


def read_head(stream):
    """The request line and headers (a list of (name, value)), or None at the end of the stream."""
    line = stream.readline(65537)
    while line in (b"\r\n", b"\n"):
        line = stream.readline(65537)
    if not line:
        return None
    headers = []
    while True:
        header = stream.readline(65537)
        if header in (b"\r\n", b"\n", b""):
            break
        name, _, value = header.decode("latin-1").partition(":")
        headers.append((name.strip(), value.strip()))
    return line.decode("latin-1").rstrip("\r\n"), headers


def header(headers, name):
    for key, value in headers:
        if key.lower() == name.lower():
            return value
    return None


def relay(source, target):
    try:
        while True:
            data = source.recv(CHUNK)
            if not data:
                break
            target.sendall(data)
    except OSError:
        pass
    finally:
        try:
            target.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class ProxyHandler(socketserver.StreamRequestHandler):
    def journal(self, text):
        with self.server.journal_lock, open(self.server.journal_path, "a") as f:
            f.write(text + "\n")

    def credentials(self, headers):
        """"none", "bad", or the user name of credentials that match."""
        value = header(headers, "Proxy-Authorization")
        if not value:
            return "none"
        scheme, _, token = value.partition(" ")
        if scheme.lower() != "basic":
            return "bad"
        try:
            user, _, password = base64.b64decode(token.strip()).decode("utf-8").partition(":")
        except ValueError:
            return "bad"
        if self.server.user is None or (user, password) == (self.server.user, self.server.password):
            return user
        return "bad"

    def handle(self):
        while True:
            head = read_head(self.rfile)
            if head is None:
                return
            line, headers = head
            method, _, rest = line.partition(" ")
            target = rest.rpartition(" ")[0] or rest
            length = int(header(headers, "Content-Length") or 0)
            body = self.rfile.read(length) if length else b""
            auth = self.credentials(headers) if self.server.user is not None else "none"
            self.journal("%s %s auth=%s" % (method, target, auth))
            if self.server.user is not None and auth in ("none", "bad"):
                self.wfile.write(("HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"%s\"\r\n"
                                  "Content-Type: text/plain\r\nContent-Length: 14\r\n\r\n"
                                  "who are you?\r\n" % REALM).encode())
                self.wfile.flush()
                continue
            if method == "CONNECT":
                self.tunnel(target)
            else:
                self.forward(method, target, headers, body)
            return

    def tunnel(self, target):
        port = int(target.rpartition(":")[2])
        try:
            upstream = socket.create_connection(("127.0.0.1", port), timeout=30)
        except OSError:
            self.wfile.write(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        self.wfile.flush()
        upstream.settimeout(None)
        back = threading.Thread(target=relay, args=(upstream, self.connection), daemon=True)
        back.start()
        relay(self.connection, upstream)
        back.join(60)
        upstream.close()

    def forward(self, method, target, headers, body):
        parts = urllib.parse.urlsplit(target)
        path = parts.path or "/"
        if parts.query:
            path += "?" + parts.query
        try:
            upstream = socket.create_connection(("127.0.0.1", parts.port or 80), timeout=30)
        except OSError:
            self.wfile.write(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        request = ["%s %s HTTP/1.1" % (method, path)]
        for name, value in headers:
            if name.lower() not in ("proxy-authorization", "proxy-connection", "connection"):
                request.append("%s: %s" % (name, value))
        request.append("Connection: close")
        upstream.sendall(("\r\n".join(request) + "\r\n\r\n").encode("latin-1") + body)
        upstream.shutdown(socket.SHUT_WR)
        relay(upstream, self.connection)
        upstream.close()


class ProxyServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, journal_path, user=None, password=None):
        super().__init__(("127.0.0.1", 0), ProxyHandler)
        self.journal_path = journal_path
        self.journal_lock = threading.Lock()
        self.user = user
        self.password = password or ""

    def handle_error(self, request, client_address):
        pass  # clients that hang up are part of the tests


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--journal", required=True)
    parser.add_argument("--user")
    parser.add_argument("--password")
    args = parser.parse_args()
    server = ProxyServer(args.journal, args.user, args.password)
    print("proxy=%d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
