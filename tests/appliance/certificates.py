"""Server certificates: self-signed ones of each kind a scenario can ask for, made when first needed."""

import atexit
import hashlib
import os
import shutil
import ssl
import tempfile
import threading

import openssl

# "other" is a second self-signed certificate for 127.0.0.1: the same names as "self-signed", another key.
CERTIFICATE_KINDS = ("self-signed", "expired", "wrong-name", "other")


class Certificates:
    """Self-signed server certificates made with the openssl command line, once per process and kind."""

    def __init__(self):
        self._lock = threading.Lock()
        self._dir = None
        self._made = {}

    def get(self, kind):
        with self._lock:
            if kind not in self._made:
                if self._dir is None:
                    self._dir = tempfile.mkdtemp(prefix="kesi-sim-cert-")
                self._made[kind] = self._make(kind)
            return self._made[kind]

    def cleanup(self):
        if self._dir:
            shutil.rmtree(self._dir, ignore_errors=True)

    def _make(self, kind):
        folder = os.path.join(self._dir, kind)
        os.makedirs(folder)
        key = os.path.join(folder, "key.pem")
        cert = os.path.join(folder, "cert.pem")
        if kind == "expired":
            self._make_expired(folder, key, cert)
        else:
            subject = "/CN=wrong.invalid/O=KESI appliance simulator" if kind == "wrong-name" \
                else "/CN=127.0.0.1/O=KESI appliance simulator"
            args = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "30", "-subj", subject]
            if kind in ("self-signed", "other"):
                args += ["-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost,IP:::1"]
            openssl.run(args)
        with open(cert, encoding="ascii") as handle:
            pem = handle.read()
        der = ssl.PEM_cert_to_DER_cert(pem)
        return {"cert": cert, "key": key, "pem": pem, "sha1": hashlib.sha1(der).hexdigest().upper(),
                "sha256": hashlib.sha256(der).hexdigest().upper()}

    @staticmethod
    def _make_expired(folder, key, cert):
        config = os.path.join(folder, "ca.cnf")
        with open(os.path.join(folder, "index.txt"), "w"):
            pass
        with open(config, "w", encoding="ascii") as handle:
            handle.write("[ca]\ndefault_ca=sim\n[sim]\ndir=%s\ndatabase=$dir/index.txt\n"
                         "new_certs_dir=$dir\nserial=$dir/serial\ndefault_md=sha256\n"
                         "policy=any\nunique_subject=no\n[any]\ncommonName=supplied\n"
                         "[ext]\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n" % folder)
        with open(os.path.join(folder, "serial"), "w") as handle:
            handle.write("01\n")
        csr = os.path.join(folder, "req.pem")
        openssl.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                     "-subj", "/CN=127.0.0.1"])
        openssl.run(["openssl", "ca", "-batch", "-config", config, "-selfsign", "-keyfile", key,
                     "-in", csr, "-out", cert, "-startdate", "20000101000000Z", "-enddate", "20010101000000Z",
                     "-extensions", "ext", "-notext"])


CERTIFICATES = Certificates()
atexit.register(CERTIFICATES.cleanup)
