#!/usr/bin/python3
"""PyKCS11 finds a simulated card's objects by class, identifier and label,
beside session objects of its own, and reads their attributes.

    pykcs11_objects.py MODULE BUILD
"""
import os
import sys

try:
    import PyKCS11
except ImportError:
    print("PyKCS11 is not installed (python3-pykcs11)")
    sys.exit(77)
from PyKCS11 import (CKA_CLASS, CKA_ID, CKA_LABEL, CKA_TOKEN, CKA_VALUE, CKA_KEY_TYPE, CKA_MODULUS_BITS,
                     CKO_CERTIFICATE, CKO_DATA, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKK_RSA, CKU_USER)

from pykcs11_sim import Checks, simulated_home

check = Checks()


def main(module, build):
    with simulated_home(build, "pkcs15-model3.card"):
        run(module)


def run(module):
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    slots = lib.getSlotList(tokenPresent=True)
    check(slots == [0], "one token, in slot 0")
    s = lib.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    other = lib.openSession(0)

    def classes(objs):
        return sorted(s.getAttributeValue(o, [CKA_CLASS])[0] for o in objs)

    public = s.findObjects([])
    check(classes(public) == sorted([CKO_PUBLIC_KEY, CKO_CERTIFICATE, CKO_DATA]),
          "before login: public key, certificate and data object")
    certs = s.findObjects([(CKA_CLASS, CKO_CERTIFICATE)])
    check(len(certs) == 1, "one certificate by class")
    cert_id = bytes(s.getAttributeValue(certs[0], [CKA_ID])[0])
    check(len(cert_id) == 20, "the certificate's identifier has 20 bytes")
    by_id = s.findObjects([(CKA_ID, cert_id)])
    check(classes(by_id) == sorted([CKO_PUBLIC_KEY, CKO_CERTIFICATE]), "public key and certificate by identifier")
    check(len(s.findObjects([(CKA_ID, b"\x01\x02")])) == 0, "nothing by another identifier")
    by_label = s.findObjects([(CKA_LABEL, "Data object")])
    check(len(by_label) == 1 and s.getAttributeValue(by_label[0], [CKA_CLASS])[0] == CKO_DATA,
          "the data object by its label")
    value = bytes(s.getAttributeValue(by_label[0], [CKA_VALUE])[0])
    check(value == b"CardSim data object of CardSim Token", "the data object's value")
    keys = s.findObjects([(CKA_CLASS, CKO_PUBLIC_KEY), (CKA_KEY_TYPE, CKK_RSA)])
    check(len(keys) == 1 and s.getAttributeValue(keys[0], [CKA_MODULUS_BITS])[0] == 2048,
          "the RSA public key by class and type, 2048 bits")

    # Session objects of both sessions beside the card's, in one handle space.
    mine = s.createObject([(CKA_CLASS, CKO_DATA), (CKA_TOKEN, False), (CKA_LABEL, "Data object"),
                           (CKA_VALUE, b"held by the session")])
    theirs = other.createObject([(CKA_CLASS, CKO_DATA), (CKA_TOKEN, False), (CKA_LABEL, "other")])
    handles = [o.value() for o in public] + [mine.value(), theirs.value()]
    check(len(set(handles)) == len(handles), "card and session objects have distinct handles")
    check(len(s.findObjects([(CKA_LABEL, "Data object")])) == 2, "the label finds the card's and the session's object")
    check(len(s.findObjects([(CKA_LABEL, "Data object"), (CKA_TOKEN, True)])) == 1, "only the card's with CKA_TOKEN")
    check(len(other.findObjects([(CKA_CLASS, CKO_DATA), (CKA_TOKEN, False)])) == 2,
          "the other session sees both session objects")
    other.closeSession()
    check(len(s.findObjects([(CKA_CLASS, CKO_DATA), (CKA_TOKEN, False)])) == 1,
          "a closed session's objects are gone")

    s.login("1234", CKU_USER)
    private = s.findObjects([(CKA_CLASS, CKO_PRIVATE_KEY)])
    check(len(private) == 1, "after login: the private key by class")
    check(bytes(s.getAttributeValue(private[0], [CKA_ID])[0]) == cert_id, "the private key has the certificate's identifier")
    check(len(s.findObjects([(CKA_ID, cert_id)])) == 3, "three objects by identifier after login")
    s.logout()
    check(len(s.findObjects([(CKA_CLASS, CKO_PRIVATE_KEY)])) == 0, "after logout: no private key")
    s.closeSession()


if __name__ == "__main__":
    main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    sys.exit(check.exit_status())
