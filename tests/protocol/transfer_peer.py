#!/usr/bin/env python3
"""Loopback peer for the file-transfer tests: HTTP, HTTPS (valid self-signed and expired certificates), a
port that accepts and never answers, and optionally an anonymous FTP server (Debian's vsftpd).

    transfer_peer.py --dir DIR [--certs DIR] [--ftp]

Servers (names in ready.txt): http; https, https-b, https-c (self-signed for 127.0.0.1); expired,
expired-b (self-signed, expired); silent (accepts, never answers); proxy (proxy_peer.py: an HTTP proxy to
this machine that wants Basic proxyuser:proxy secret, journal DIR/proxy.txt); ftp (with --ftp; DIR/ftp is
its root, holding get.bin, 100000 pattern bytes). The certificates are made once per --certs folder.

Writes DIR/ready.txt ("name=port" lines) once every server listens, and runs until DIR/stop appears
(then writes DIR/stopped) or for at most ten minutes. The test process that starts it under Wine gets no
handle to it, hence the files.

HTTP routes (all servers):
  GET  /data/N          N bytes of the pattern i % 251
  GET  /status/CODE     that status with a short body
  GET  /short/N         announces N pattern bytes, sends the first half and closes the connection
  GET  /cookies         the request's Cookie header as the body
  GET  /auth/N          N pattern bytes for Basic alice:secret, else 401
  PUT  /upload/NAME     stores the body as DIR/uploads/NAME, answers 201
  POST /post[?location=TEXT][&size=N]
                        stores the body and the headers as DIR/uploads/post.bin and post-headers.txt,
                        answers 200 with "Location: TEXT" when given and N (3000) pattern bytes
"""

import argparse
import base64
import http.server
import os
import shutil
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from proxy_peer import ProxyServer

LIFETIME = 600
PROXY_USER = "proxyuser"
PROXY_PASSWORD = "proxy secret"


def pattern(n):
    return bytes(i % 251 for i in range(n))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def do_GET(self):
        parts = urllib.parse.urlsplit(self.path)
        path = parts.path
        if path.startswith("/data/"):
            self.reply(200, pattern(int(path[6:])), [("Content-Type", "application/octet-stream")])
        elif path.startswith("/short/"):
            n = int(path[7:])
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.wfile.write(pattern(n)[: n // 2])
            self.wfile.flush()
            self.close_connection = True
        elif path.startswith("/status/"):
            code = int(path[8:])
            headers = [("WWW-Authenticate", 'Basic realm="kesi"')] if code == 401 else []
            self.reply(code, b"status %d" % code, headers)
        elif path == "/cookies":
            self.reply(200, (self.headers.get("Cookie") or "").encode())
        elif path.startswith("/auth/"):
            expected = "Basic " + base64.b64encode(b"alice:secret").decode()
            if self.headers.get("Authorization") == expected:
                self.reply(200, pattern(int(path[6:])))
            else:
                self.reply(401, b"who are you", [("WWW-Authenticate", 'Basic realm="kesi"')])
        else:
            self.reply(404, b"no such thing")

    def do_PUT(self):
        data = self.body()
        path = urllib.parse.urlsplit(self.path).path
        if not path.startswith("/upload/"):
            self.reply(404)
            return
        name = os.path.basename(path[8:])
        with open(os.path.join(self.server.uploads, name), "wb") as f:
            f.write(data)
        self.reply(201, b"stored")

    def do_POST(self):
        data = self.body()
        parts = urllib.parse.urlsplit(self.path)
        if parts.path != "/post":
            self.reply(404, b"no such thing")
            return
        with open(os.path.join(self.server.uploads, "post.bin"), "wb") as f:
            f.write(data)
        with open(os.path.join(self.server.uploads, "post-headers.txt"), "w") as f:
            for name, value in self.headers.items():
                f.write("%s: %s\n" % (name, value))
        query = urllib.parse.parse_qs(parts.query)
        headers = [("Location", query["location"][0])] if "location" in query else []
        size = int(query.get("size", ["3000"])[0])
        self.reply(200, (pattern(251) * (size // 251 + 1))[:size], headers)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # clients that hang up (refused certificates, cancels) are part of the tests


def serve(uploads, context=None):
    server = Server(("127.0.0.1", 0), Handler)
    server.uploads = uploads
    if context:
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    return server


def silent_server():
    """Accepts connections, reads what comes and never answers."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    held = []

    def run():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            held.append(conn)
    threading.Thread(target=run, daemon=True).start()
    return listener


def run(args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(folder):
    """A valid self-signed certificate for 127.0.0.1 and an expired one, made once per cache folder."""
    if os.path.exists(os.path.join(folder, "done")):
        return
    os.makedirs(os.path.dirname(os.path.abspath(folder)), exist_ok=True)
    work = tempfile.mkdtemp(prefix=".certs-", dir=os.path.dirname(os.path.abspath(folder)))
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", os.path.join(work, "valid.key"),
         "-out", os.path.join(work, "valid.pem"), "-days", "30", "-subj", "/CN=127.0.0.1"])
    # An expired certificate needs explicit dates, which only "openssl ca" takes.
    with open(os.path.join(work, "index.txt"), "w"):
        pass
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("01\n")
    with open(os.path.join(work, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca=c\n[c]\ndir=%s\ndatabase=$dir/index.txt\nnew_certs_dir=$dir\n"
                "serial=$dir/serial\ndefault_md=sha256\npolicy=p\nunique_subject=no\n"
                "[p]\ncommonName=supplied\n[ext]\nbasicConstraints=CA:FALSE\n" % work)
    run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", os.path.join(work, "expired.key"),
         "-out", os.path.join(work, "expired.csr"), "-subj", "/CN=127.0.0.1"])
    run(["openssl", "ca", "-batch", "-config", os.path.join(work, "ca.cnf"), "-selfsign",
         "-keyfile", os.path.join(work, "expired.key"), "-in", os.path.join(work, "expired.csr"),
         "-out", os.path.join(work, "expired.pem"), "-startdate", "20100101000000Z",
         "-enddate", "20110101000000Z", "-extensions", "ext", "-notext"])
    open(os.path.join(work, "done"), "w").close()
    try:
        os.rename(work, folder)
    except OSError:  # another peer made them first
        shutil.rmtree(work, ignore_errors=True)


def tls_context(folder, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key"))
    return context


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_ftp(folder):
    """vsftpd on loopback, anonymous, uploads allowed, running as the launching user (no root needed)."""
    root = os.path.join(folder, "ftp")
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "get.bin"), "wb") as f:
        f.write(pattern(100000))
    for attempt in range(5):
        port = free_port()
        config = os.path.join(folder, "vsftpd.conf")
        with open(config, "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_address=127.0.0.1", "listen_port=%d" % port, "background=NO",
                "run_as_launching_user=YES", "anonymous_enable=YES", "no_anon_password=YES",
                "local_enable=NO", "anon_root=" + root, "write_enable=YES", "anon_upload_enable=YES",
                "anon_other_write_enable=YES", "anon_umask=022", "pasv_enable=YES",
                "pasv_address=127.0.0.1", "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
                "xferlog_enable=NO", "vsftpd_log_file=" + os.path.join(folder, "vsftpd.log"), ""]))
        process = subprocess.Popen(["/usr/sbin/vsftpd", config], stdout=subprocess.DEVNULL,
                                   stderr=open(os.path.join(folder, "vsftpd.err"), "w"))
        deadline = time.time() + 5
        while time.time() < deadline and process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return process, port
            except OSError:
                time.sleep(0.05)
        process.kill()
        process.wait()
    raise RuntimeError("vsftpd did not start")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--certs", default=None)
    parser.add_argument("--ftp", action="store_true")
    args = parser.parse_args()

    folder = args.dir
    uploads = os.path.join(folder, "uploads")
    os.makedirs(uploads, exist_ok=True)
    certs = args.certs or os.path.join(folder, "certs")
    make_certificates(certs)

    ports = {}
    servers = []
    ftp = None
    try:
        # WinINet remembers per server which certificate problems a process accepted, so tests that
        # need a server nobody has accepted yet get their own: https-b, https-c, expired-b.
        for name, cert in (("http", None), ("https", "valid"), ("https-b", "valid"), ("https-c", "valid"),
                           ("expired", "expired"), ("expired-b", "expired")):
            server = serve(uploads, tls_context(certs, cert) if cert else None)
            servers.append(server)
            ports[name] = server.server_address[1]
        silent = silent_server()
        ports["silent"] = silent.getsockname()[1]
        proxy = ProxyServer(os.path.join(folder, "proxy.txt"), PROXY_USER, PROXY_PASSWORD)
        threading.Thread(target=proxy.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        ports["proxy"] = proxy.server_address[1]
        if args.ftp:
            ftp, ports["ftp"] = start_ftp(folder)

        ready = os.path.join(folder, "ready.txt")
        with open(ready + ".tmp", "w") as f:
            f.writelines("%s=%d\n" % item for item in ports.items())
        os.rename(ready + ".tmp", ready)

        stop = os.path.join(folder, "stop")
        deadline = time.time() + LIFETIME
        while not os.path.exists(stop) and os.path.isdir(folder) and time.time() < deadline:
            time.sleep(0.05)
    finally:
        if ftp:
            ftp.kill()
            ftp.wait()
        if os.path.isdir(folder):
            open(os.path.join(folder, "stopped"), "w").close()


if __name__ == "__main__":
    sys.exit(main())
