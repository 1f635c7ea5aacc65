"""Package signatures as the factory makes them, with the openssl command.

A signature file lies beside its package (name + ".sig") and holds one line without a line
break: the Base64 of the Ed25519 signature over the package's 32-byte SHA-256 digest, the same
bytes scripts/sign-package.sh writes. Used by the stand-in server (signatures made on request)
and by the package generator (--sign).

Python 3 standard library only, plus the openssl command.
"""

import base64
import os
import subprocess
import tempfile
import threading

# OpenSSL wraps an Ed25519 public key in a DER structure that ends with the 32 raw key bytes.
PUBLIC_KEY_BYTES = 32


class SigningError(Exception):
    pass


def _openssl(args):
    try:
        done = subprocess.run(["openssl"] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as e:
        raise SigningError("cannot run openssl: %s" % e)
    if done.returncode != 0:
        raise SigningError("openssl %s failed: %s" % (args[0], done.stderr.decode("utf-8", "replace").strip()))
    return done.stdout


def public_key_line(key_pem):
    """The line a station lists in its PackageKeys for this private key: Base64 of the 32 raw
    public-key bytes. Raises SigningError when the file is no Ed25519 key."""
    if not os.path.isfile(key_pem):
        raise SigningError("no key file: %s" % key_pem)
    der = _openssl(["pkey", "-in", key_pem, "-pubout", "-outform", "DER"])
    if len(der) <= PUBLIC_KEY_BYTES:
        raise SigningError("%s holds no Ed25519 key" % key_pem)
    return base64.b64encode(der[-PUBLIC_KEY_BYTES:]).decode("ascii")


def signature_line(key_pem, package):
    """The content of package's signature file, made with key_pem."""
    with tempfile.TemporaryDirectory(prefix="packagesign-") as work:
        digest = os.path.join(work, "digest")
        # OpenSSL 3.0 signs a raw input only from a file, not from a pipe.
        _openssl(["dgst", "-sha256", "-binary", "-out", digest, package])
        signature = _openssl(["pkeyutl", "-sign", "-rawin", "-inkey", key_pem, "-in", digest])
    if len(signature) != 64:
        raise SigningError("openssl gave a signature of %d bytes, not an Ed25519 one" % len(signature))
    return base64.b64encode(signature).decode("ascii")


def write_signature(key_pem, package, sig_path=None):
    """Writes the signature file of package (default package + ".sig") whole or not at all;
    returns its path."""
    sig_path = sig_path or package + ".sig"
    line = signature_line(key_pem, package)
    tmp = sig_path + ".part"
    with open(tmp, "w", encoding="ascii", newline="") as f:
        f.write(line)
    os.replace(tmp, sig_path)
    return sig_path


class SignatureCache:
    """Signature files of packages, made once per version of each package and kept in a folder.

    A package counts as changed when its size, modification time or file (inode) changed, so
    a package of hundreds of MiB is hashed once however often its signature is asked for. The
    same package is signed by one request at a time; the others wait for that result."""

    def __init__(self, key_pem, folder):
        self.key_pem = key_pem
        self.folder = folder
        self.lock = threading.Lock()
        self.made = {}      # package path -> (stamp, signature file)
        self.busy = {}      # package path -> lock held while it is signed
        self.signings = 0   # signature files made, which names them
        os.makedirs(folder, exist_ok=True)

    @staticmethod
    def stamp(path):
        st = os.stat(path)
        return st.st_size, st.st_mtime_ns, st.st_ino

    def signature_file(self, package):
        """(path of a file holding the signature of package as it is now, whether this call made
        it). Files of older versions stay until the folder goes: a request may still be sending one."""
        with self.lock:
            guard = self.busy.setdefault(package, threading.Lock())
        with guard:
            for _ in range(3):
                before = self.stamp(package)
                with self.lock:
                    known = self.made.get(package)
                if known and known[0] == before:
                    return known[1], False
                with self.lock:
                    self.signings += 1
                    target = os.path.join(self.folder, "%d.sig" % self.signings)
                write_signature(self.key_pem, package, target)
                # A package rewritten while it was hashed gets signed again.
                if self.stamp(package) == before:
                    with self.lock:
                        self.made[package] = (before, target)
                    return target, True
            raise SigningError("%s keeps changing while it is signed" % package)
