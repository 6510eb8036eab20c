#!/usr/bin/python3
"""PyKCS11 signs and decrypts with the key of a simulated card.

    pykcs11_crypto.py MODULE BUILD

Runs against the card-simulator back-end in a temporary HOME; OpenSSL (the
`openssl` command) checks the signatures with the card certificate's key and
makes the ciphertexts. Exits 0 when every check holds (77 when PyKCS11 is
missing)."""

import hashlib
import os
import subprocess
import sys

try:
    import PyKCS11
    from PyKCS11 import LowLevel
except ImportError:
    print("PyKCS11 is not installed (Debian package python3-pykcs11)")
    sys.exit(77)

from pykcs11_sim import Checks, simulated_home

module, build = sys.argv[1], sys.argv[2]
check = Checks()
# DigestInfo prefix of SHA-256 (PKCS #1).
SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")


def error_of(call):
    try:
        call()
    except PyKCS11.PyKCS11Error as e:
        return e.value
    return LowLevel.CKR_OK


def openssl(*args, data=None):
    return subprocess.run(["openssl"] + list(args), input=data, capture_output=True)


with simulated_home(build, "pkcs15-model3.card") as home:
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    session = lib.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    session.login("1234")
    key = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)])[0]
    cert = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE)])[0]
    der = bytes(session.getAttributeValue(cert, [PyKCS11.CKA_VALUE])[0])
    pem = os.path.join(home, "card.pem")
    got = openssl("x509", "-inform", "der", "-pubkey", "-noout", "-out", pem, data=der)
    check(got.returncode == 0, "certificate's key taken by OpenSSL")

    # PKCS #1 v1.5 over a SHA-256 DigestInfo, verified as a standard signature.
    message = b"signed through PyKCS11\n"
    digest_info = SHA256_PREFIX + hashlib.sha256(message).digest()
    sig = bytes(session.sign(key, digest_info, PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS)))
    check(len(sig) == 256, "RSA-PKCS signature of 256 octets")
    sig_path = os.path.join(home, "sig")
    with open(sig_path, "wb") as f:
        f.write(sig)
    got = openssl("dgst", "-sha256", "-verify", pem, "-signature", sig_path, data=message)
    check(got.returncode == 0, "OpenSSL verifies the signature")

    # Raw RSA: the representative comes back whole.
    block = b"\x00" + os.urandom(255)
    raw = bytes(session.sign(key, block, PyKCS11.Mechanism(PyKCS11.CKM_RSA_X_509)))
    with open(sig_path, "wb") as f:
        f.write(raw)
    got = openssl("pkeyutl", "-verifyrecover", "-pubin", "-inkey", pem, "-pkeyopt", "rsa_padding_mode:none",
                  "-in", sig_path)
    check(got.returncode == 0 and got.stdout == block, "RSA-X-509 signature recovers the block")

    # Decryption of what OpenSSL encrypted for the card.
    secret = b"a key for a file"
    enc = openssl("pkeyutl", "-encrypt", "-pubin", "-inkey", pem, data=secret).stdout
    check(len(enc) == 256, "OpenSSL encrypted for the card")
    plain = bytes(session.decrypt(key, enc, PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS)))
    check(plain == secret, "RSA-PKCS decryption gives the plaintext")
    padded = bytes(session.decrypt(key, enc, PyKCS11.Mechanism(PyKCS11.CKM_RSA_X_509)))
    check(len(padded) == 256 and padded.endswith(b"\x00" + secret) and padded[:2] == b"\x00\x02",
          "RSA-X-509 decryption gives the padded block")

    # Refusals come back as PKCS#11 errors, and the session goes on.
    check(error_of(lambda: session.sign(key, b"\x01" * 246, PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS)))
          == LowLevel.CKR_DATA_LEN_RANGE, "input longer than PKCS #1 allows: CKR_DATA_LEN_RANGE")
    check(error_of(lambda: session.sign(key, digest_info, PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS)))
          == LowLevel.CKR_MECHANISM_INVALID, "hashing mechanism: CKR_MECHANISM_INVALID")
    check(len(bytes(session.generateRandom(64))) == 64, "64 random octets")
    session.logout()
    check(error_of(lambda: session.sign(key, digest_info, PyKCS11.Mechanism(PyKCS11.CKM_RSA_PKCS)))
          != LowLevel.CKR_OK, "no signature after logout")
    session.closeSession()

sys.exit(check.exit_status())
