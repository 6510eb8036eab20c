#!/usr/bin/python3
"""PyKCS11 logs in and out on the two tokens of one simulated card.

    pykcs11_two_tokens.py MODULE BUILD

Runs against the card-simulator back-end in a temporary HOME; exits 0 when
every check holds (77 when PyKCS11 is missing)."""

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


def error_of(call):
    try:
        call()
    except PyKCS11.PyKCS11Error as e:
        return e.value
    return LowLevel.CKR_OK


with simulated_home(build, "pkcs15-model3-two-apps.card"):
    lib = PyKCS11.PyKCS11Lib()
    lib.load(module)
    slots = lib.getSlotList(tokenPresent=True)
    check(slots == [0, 1], "two tokens on the card's reader: %s" % slots)
    labels = [lib.getTokenInfo(s).label.strip() for s in slots]
    check(labels == ["CardSim Token", "CardSim Token 2"], "their labels: %s" % labels)

    rw = PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION
    first = lib.openSession(0, rw)
    second = lib.openSession(1, rw)
    other = lib.openSession(1, PyKCS11.CKF_SERIAL_SESSION)

    def state(s):
        st = s.getSessionInfo().state
        return PyKCS11.CKS[st] if isinstance(st, int) else st

    first.login("1234")
    check(state(first) == "CKS_RW_USER_FUNCTIONS", "the first token's session after login: %s" % state(first))
    check(state(second) == "CKS_RW_PUBLIC_SESSION", "the second token is not logged in: %s" % state(second))
    check(error_of(lambda: first.login("1234")) == LowLevel.CKR_USER_ALREADY_LOGGED_IN, "a second login is refused")

    second.login("1234")
    check(state(second) == "CKS_RW_USER_FUNCTIONS", "the second token logged in: %s" % state(second))
    check(state(other) == "CKS_RO_USER_FUNCTIONS", "its read-only session follows: %s" % state(other))

    first.logout()
    check(state(first) == "CKS_RW_PUBLIC_SESSION", "the first token logged out: %s" % state(first))
    check(state(second) == "CKS_RW_USER_FUNCTIONS", "the second token stays logged in: %s" % state(second))
    check(error_of(lambda: first.logout()) == LowLevel.CKR_USER_NOT_LOGGED_IN, "a second logout is refused")
    check(error_of(lambda: first.login("0000")) == LowLevel.CKR_PIN_INCORRECT, "a wrong PIN is refused")
    check(lib.getTokenInfo(0).flags & PyKCS11.CKF_USER_PIN_COUNT_LOW, "the wrong PIN shows in the first token's flags")
    check(not lib.getTokenInfo(1).flags & PyKCS11.CKF_USER_PIN_COUNT_LOW, "and not in the second token's")

    second.logout()
    check(state(other) == "CKS_RO_PUBLIC_SESSION", "the second token logged out: %s" % state(other))

    # The officer on the second token: only once its read-only session is gone.
    check(error_of(lambda: second.login("87654321", PyKCS11.CKU_SO)) == LowLevel.CKR_SESSION_READ_ONLY_EXISTS,
          "the officer waits for the read-only session to close")
    other.closeSession()
    second.login("87654321", PyKCS11.CKU_SO)
    check(state(second) == "CKS_RW_SO_FUNCTIONS", "the officer on the second token: %s" % state(second))
    first.login("1234")
    check(state(first) == "CKS_RW_USER_FUNCTIONS", "the user on the first token beside it: %s" % state(first))
    second.logout()
    first.logout()

    check(not lib.getTokenInfo(0).flags & PyKCS11.CKF_USER_PIN_COUNT_LOW, "the right PIN clears the count")
    lib.closeAllSessions(0)
    lib.closeAllSessions(1)

sys.exit(check.exit_status())
