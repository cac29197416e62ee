"""The openssl command line: the simulator's one cryptographic tool (certificates, line deciphering)."""

import subprocess


def run(args, data=None):
    result = subprocess.run(args, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args[:3]), result.stderr.decode(errors="replace")))
    return result.stdout
