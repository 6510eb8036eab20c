"""What the PyKCS11 scripts share: a temporary HOME whose configuration enables
the card-simulator back-end over copies of the build's card images, and the
checks that count failures."""

import contextlib
import os
import shutil
import tempfile


@contextlib.contextmanager
def simulated_home(build, card):
    """HOME and CARDSIM_CONFIG set for one reader holding `card` (an image name
    of BUILD/cards); everything is removed afterwards. When MIRTAL_READERS_READY
    is set, the caller has already made HOME with the card in its first reader
    (run_pykcs11.sh, over either back-end) and it is used as it is."""
    if os.environ.get("MIRTAL_READERS_READY"):
        yield os.environ["HOME"]
        return
    home = tempfile.mkdtemp(prefix="mirtal-pykcs11-")
    try:
        cards = os.path.join(home, "cards")
        os.makedirs(os.path.join(home, ".MIRTAL"))
        shutil.copytree(os.path.join(build, "cards"), cards)
        with open(os.path.join(cards, "sim.conf"), "w") as f:
            f.write("reader CardSim Reader 0\ncard %s\n" % card)
        with open(os.path.join(home, ".MIRTAL", "pkcs11.conf"), "w") as f:
            f.write('EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\n' % build)
        os.environ["HOME"] = home
        os.environ["CARDSIM_CONFIG"] = os.path.join(cards, "sim.conf")
        yield home
    finally:
        shutil.rmtree(home, ignore_errors=True)


class Checks:
    """check(condition, what) prints each check; exit_status() tells whether all held."""

    def __init__(self):
        self.failed = []

    def __call__(self, cond, what):
        print(("ok      " if cond else "FAILED  ") + what)
        if not cond:
            self.failed.append(what)

    def exit_status(self):
        print("%d check(s) failed" % len(self.failed))
        return 1 if self.failed else 0
