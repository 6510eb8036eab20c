#!/usr/bin/python3
"""Card-image generator of the card simulator.

Writes card images (the simulator's text format, see README.md) for blank
cards and PKCS#15 cards. It shares nothing with the module: the PKCS#15
structures are encoded here with a small DER writer, keys and certificates
come from the openssl command and are taken apart with asn1crypto.

    cardgen.py all --out DIR            every card below plus cardsim.conf
    cardgen.py blank --model N [--so-pin P] OUT    a blank card of model N (1, 3, 4, 7)
    cardgen.py pkcs15 OUT [--model N] [--apps 1|2] [--lifecycle HEX]
                          [--user-pin P] [--puk P] [--so-pin P] [--with-puk]
                          [--data-objects N] [--no-cert-label]
    cardgen.py unknown OUT              a card with an ATR no driver knows
    cardgen.py qualified OUT [--visible] [--model 1|3]
                                        model 1 with the fixed qualified part
                                        (--visible: named by the application);
                                        model 3 with a qualified PIN, key and
                                        certificate in its application
    cardgen.py ias-not-activated OUT    model 7, PKCS#15, not activated, the
                                        personalisation agent's channel required
    cardgen.py gp-channel OUT           model 4, PKCS#15, every command over the
                                        GlobalPlatform channel
    cardgen.py dh-channel OUT           model 7, PKCS#15, PIN, key and signature
                                        commands over secure messaging after a
                                        Diffie-Hellman key agreement

Secure channels (README.md): the GlobalPlatform key set of the cards is
GP_ENC, GP_MAC, GP_DEK below (key version 01); the Diffie-Hellman group is the
2048-bit group with a 224-bit subgroup of RFC 5114 (section 2.3), reference 01,
with a private value drawn here.
"""

import argparse
import base64
import hashlib
import os
import secrets
import subprocess
import sys
import tempfile

from asn1crypto import keys, pem, x509

PKCS15_AID = bytes.fromhex("A000000063504B43532D3135")
SECOND_AID = bytes.fromhex("E828BD080F") + b"MIRTAL"
APP_TYPE_OID = {1: "1.3.6.1.4.1.32473.2.7.1", 3: "1.3.6.1.4.1.32473.2.7.2",
                4: "1.3.6.1.4.1.32473.2.7.3.1", 7: "1.3.6.1.4.1.32473.2.7.4"}
GP_MODELS = (4, 6, 7)

# The GlobalPlatform key set of the generated cards (ENC, MAC, DEK; key version
# 01): distinct keys, so that keys given in another order do not open the channel.
GP_ENC = bytes.fromhex("404142434445464748494A4B4C4D4E4F")
GP_MAC = bytes.fromhex("505152535455565758595A5B5C5D5E5F")
GP_DEK = bytes.fromhex("606162636465666768696A6B6C6D6E6F")
GP_KEY_VERSION = 0x01
DH_GROUP = 0x01
X942_OID = "1.2.840.10046.2.1"
X942_SE_OWNER = "1.3.6.1.4.1.32473.2.9.5.1.1"
# Owner of the TokenInfo security environment that a card's keys are used in.
SE_NUMBER_OWNER = "1.3.6.1.4.1.32473.2.9.1.1"

USER_PIN = b"1234"
PUK = b"12345678"
SO_PIN = b"87654321"
QUAL_PIN = b"123456"


# ------------------------------------------------------------------ DER writer

def der_len(n):
    if n < 0x80:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(b)]) + b


def tlv(tag, value):
    t = tag.to_bytes((tag.bit_length() + 7) // 8 or 1, "big")
    return t + der_len(len(value)) + value


def seq(*items):
    return tlv(0x30, b"".join(items))


def integer(v, tag=0x02):
    n = max(1, (v.bit_length() + 8) // 8)
    return tlv(tag, v.to_bytes(n, "big", signed=True))


def octets(b, tag=0x04):
    return tlv(tag, b)


def utf8(s, tag=0x0C):
    return tlv(tag, s.encode("utf-8"))


def boolean(v):
    return tlv(0x01, b"\xff" if v else b"\x00")


def bits(*named):
    """BIT STRING of named bits, DER (trailing zero bits dropped)."""
    if not named:
        return tlv(0x03, b"\x00")
    top = max(named)
    nbytes = top // 8 + 1
    val = bytearray(nbytes)
    for b in named:
        val[b // 8] |= 0x80 >> (b % 8)
    unused = 7 - (top % 8)
    return tlv(0x03, bytes([unused]) + bytes(val))


def oid(text):
    parts = [int(x) for x in text.split(".")]
    out = bytearray([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        enc = [p & 0x7F]
        p >>= 7
        while p:
            enc.append(0x80 | (p & 0x7F))
            p >>= 7
        out += bytes(reversed(enc))
    return tlv(0x06, bytes(out))


def path(hexpath):
    return seq(octets(bytes.fromhex(hexpath)))


# ------------------------------------------------------------------ ATR

def make_atr(model, lifecycle=0x0F, unknown=False):
    """3B 8F 80 01: T=0 and T=1 offered; 15 historical bytes: category 80,
    compact TLV 5-9 (nine bytes of card issuer's data naming the model) and the
    status indicator 83 (life cycle, 90 00); then the check byte."""
    name = b"OTHERCARD" if unknown else ("CARDSIM-%d" % model).encode()
    hist = bytes([0x80, 0x59]) + name + bytes([0x83, lifecycle, 0x90, 0x00])
    assert len(hist) == 15
    body = bytes([0x8F, 0x80, 0x01]) + hist
    tck = 0
    for b in body:
        tck ^= b
    return bytes([0x3B]) + body + bytes([tck])


def applet_aid(model):
    return bytes.fromhex("F04341524453494D") + bytes([model])  # F0 "CARDSIM" model


# ------------------------------------------------------------------ image writer

class Image:
    def __init__(self, model, lifecycle=0x0F, serial=None, unknown=False, memory=65536):
        self.model = model
        self.lifecycle = lifecycle
        self.atr = make_atr(model, lifecycle, unknown)
        self.serial = serial or os.urandom(8)
        self.memory = memory
        self.lines = []
        self.channel = []

    def df(self, p, name=None, ac=None, lcs=0x05, code=None):
        s = "df %s lcs=%02X" % (p, lcs)
        if name:
            s += " name=" + name.hex().upper()
        if code is not None:
            s += " code=%02X" % code
        if ac:
            s += " ac=" + ac
        self.lines.append(s)

    def ef(self, p, data=b"", size=None, ac=None, lcs=0x05, fill=b"\x00"):
        size = len(data) if size is None else max(size, len(data))
        data = data + fill * (size - len(data))
        s = "ef %s lcs=%02X size=%d" % (p, lcs, size)
        if ac:
            s += " ac=" + ac
        s += " data=" + data.hex().upper()
        self.lines.append(s)

    def key(self, p, ref, nbits, comps=None, ac=None, lcs=0x05):
        s = "key %s lcs=%02X ref=%02X bits=%d" % (p, lcs, ref, nbits)
        if ac:
            s += " ac=" + ac
        for name, v in (comps or {}).items():
            s += " %s=%s" % (name, v.hex().upper())
        self.lines.append(s)

    def pin(self, dfpath, ref, value, minlen=4, maxlen=8, pad=0xFF, tries=3, unblock=None, guard=None):
        """guard: the condition that sets the PIN without its value and deletes it,
        as an issuer gives every PIN (a rule left out would be "always")."""
        s = "pin %s ref=%02X min=%d max=%d pad=%s tries=%d left=%d" % (
            dfpath, ref, minlen, maxlen, "none" if pad is None else "%02X" % pad, tries, tries)
        if unblock is not None:
            s += " unblock=%02X" % unblock
        if guard:
            s += " ac=update:%s,delete:%s" % (guard, guard)
        if value is not None:
            s += " value=" + value.hex().upper()
        self.lines.append(s)

    def gp_keys(self, version=GP_KEY_VERSION, level=0x13, counter=0):
        """A GlobalPlatform key set; level: the security level the card asks for."""
        self.channel.append("gp-keys version=%02X level=%02X counter=%04X enc=%s mac=%s dek=%s" % (
            version, level, counter, GP_ENC.hex().upper(), GP_MAC.hex().upper(),
            GP_DEK.hex().upper()))

    def dh_key(self, group):
        """The card's Diffie-Hellman key in a group (p, q, g) with reference DH_GROUP."""
        p, q, g = group
        x = 2 + secrets.randbelow(q - 3)
        h = lambda v: v.to_bytes((v.bit_length() + 7) // 8, "big").hex().upper()
        self.channel.append("dh-key ref=%02X p=%s q=%s g=%s x=%s" % (DH_GROUP, h(p), h(q), h(g), h(x)))

    def protect(self, what):
        """all, until-secured, or ins=XX,YY: plain commands the card refuses."""
        self.channel.append("protect " + what)

    def text(self):
        head = ["cardsim-image 1",
                "model %d" % self.model,
                "atr " + self.atr.hex().upper(),
                "serial " + self.serial.hex().upper(),
                "lifecycle %02X" % self.lifecycle,
                "memory %d" % self.memory]
        return "\n".join(head + self.channel + self.lines) + "\n"

    def write(self, out):
        os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
        tmp = out + ".tmp"
        with open(tmp, "w") as f:
            f.write(self.text())
        os.replace(tmp, out)


def erased(model):
    return b"\x00" if model in (3, 4) else b"\xff"


# ------------------------------------------------------------------ keys

def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def dh_group(tmp):
    """(p, q, g) of the RFC 5114 2048-bit group with 224-bit subgroup, as openssl
    gives it (X9.42 domain parameters)."""
    path = os.path.join(tmp, "dh.pem")
    openssl("genpkey", "-genparam", "-algorithm", "DHX", "-pkeyopt", "dh_rfc5114:2", "-out", path)
    with open(path) as f:
        der = base64.b64decode("".join(l for l in f.read().splitlines() if not l.startswith("-----")))
    params = keys.DomainParameters.load(der)
    return params["p"].native, params["q"].native, params["g"].native


def new_key_and_cert(tmp, tag, cn):
    kp = os.path.join(tmp, tag + ".key")
    cp = os.path.join(tmp, tag + ".der")
    openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", kp)
    openssl("req", "-new", "-x509", "-key", kp, "-subj", "/CN=%s/O=CardSim" % cn,
            "-days", "3650", "-sha256", "-outform", "DER", "-out", cp)
    with open(kp, "rb") as f:
        _, _, der = pem.unarmor(f.read())
    info = keys.PrivateKeyInfo.load(der)
    rsa = info["private_key"].parsed
    with open(cp, "rb") as f:
        cert = f.read()
    x509.Certificate.load(cert).native  # must parse
    ib = lambda name: rsa[name].native.to_bytes((rsa[name].native.bit_length() + 7) // 8, "big")
    comps = {"n": ib("modulus"), "e": ib("public_exponent"), "d": ib("private_exponent"),
             "p": ib("prime1"), "q": ib("prime2"), "dp": ib("exponent1"),
             "dq": ib("exponent2"), "qi": ib("coefficient")}
    pub = seq(integer(rsa["modulus"].native), integer(rsa["public_exponent"].native))
    return comps, pub, cert


# ------------------------------------------------------------------ PKCS#15

def pin_object(label, auth_id, flags, ref, pin_path, unblocked_by=None, stored=8, minlen=4,
               maxlen=8):
    common = utf8(label)
    if unblocked_by is not None:
        common += octets(unblocked_by)
    pin_attrs = seq(bits(*flags), tlv(0x0A, b"\x01"), integer(minlen), integer(stored),
                    integer(maxlen), integer(ref, tag=0x80), octets(b"\xff"),
                    path(pin_path))
    return seq(seq(common), seq(octets(auth_id)), tlv(0xA1, pin_attrs))


def build_app(img, model, df, aid, label, tmp, tag, pin_base=0x81, with_so=True, officer_unblocks=False,
              dh=None, extra_data=0, cert_label=True, extra=None, user_consent=0, se_number=None,
              user_owns_app=False):
    """One PKCS#15 application in DF `df` (path text "3F00/xxxx"). The user PIN is
    unblocked by a PUK; with `officer_unblocks` (the shape the module gives model-3
    tokens it initialises) the SO PIN guards and unblocks it and there is no PUK.
    With a Diffie-Hellman group (p, q, g) its TokenInfo names it for secure
    messaging. extra_data more public data objects (files 5702...); the
    certificate without a label when cert_label is false. `extra` maps "aodf",
    "prkdf", "pukdf" and "cdf" to entries that follow the application's own in
    those directory files. With user_consent the private key asks for its PIN
    again after that many uses. With user_owns_app only the user PIN deletes the
    application DF, so the SO cannot erase what the user made."""
    extra = extra or {}
    dfhex = df.replace("/", "")
    user_ref, puk_ref = pin_base, pin_base + 1
    so = "pin:04"
    user = "pin:%02X" % user_ref
    img.df(df, name=aid, ac="delete-child:%s,create-ef:%s,create-df:%s,deactivate:%s,terminate:%s,delete:%s"
           % (user, user, so, so, so, user if user_owns_app else so))
    if officer_unblocks:
        img.pin(df, user_ref, USER_PIN, unblock=0x04, guard=so)
    else:
        img.pin(df, user_ref, USER_PIN, unblock=puk_ref, guard=so)
        img.pin(df, puk_ref, PUK, tries=5, guard=so)

    comps, pub, cert = new_key_and_cert(tmp, tag, label)
    key_id = hashlib.sha1(comps["n"]).digest()
    fill = erased(model)
    rd = "read:always,update:%s,delete:%s" % (user, user)

    img.key(df + "/4B01", 0x01, 2048, comps,
            ac="read:always,update:%s,use:%s,generate:%s,delete:%s" % (user, user, user, user))
    img.ef(df + "/5501", pub, ac=rd)
    img.ef(df + "/4301", cert, ac=rd)
    data_obj = b"CardSim data object of " + label.encode()
    img.ef(df + "/5701", data_obj, ac=rd)

    if officer_unblocks:
        aodf = (pin_object("User PIN", b"\x01", (1, 4, 5), user_ref, dfhex, unblocked_by=b"\x03")
                + pin_object("SO PIN", b"\x03", (4, 5, 7), 0x04, "3F00", stored=16, maxlen=16))
    else:
        aodf = (pin_object("User PIN", b"\x01", (1, 4, 5), user_ref, dfhex, unblocked_by=b"\x02")
                + pin_object("PUK", b"\x02", (1, 4, 5, 6), puk_ref, dfhex)
                + (pin_object("SO PIN", b"\x03", (4, 5, 7), 0x04, "3F00") if with_so else b""))
    consent = integer(user_consent) if user_consent else b""
    prkdf = seq(seq(utf8("Private key"), bits(0), octets(b"\x01"), consent),
                seq(octets(key_id), bits(1, 2, 3, 5), bits(0, 2, 3), integer(1)),
                tlv(0xA1, seq(path(dfhex + "4B01"), integer(2048))))
    pukdf = seq(seq(utf8("Public key")),
                seq(octets(key_id), bits(0, 4, 6, 7)),
                tlv(0xA1, seq(path(dfhex + "5501"), integer(2048))))
    cdf = seq(seq(utf8("Certificate")) if cert_label else seq(),
              seq(octets(key_id)),
              tlv(0xA1, seq(path(dfhex + "4301"))))
    dodf = seq(seq(utf8("Data object")),
               seq(utf8("CardSim")),
               tlv(0xA1, path(dfhex + "5701")))
    for i in range(extra_data):
        fid = "%04X" % (0x5702 + i)
        img.ef(df + "/" + fid, b"CardSim data object %d" % (i + 2), ac=rd)
        dodf += seq(seq(utf8("Data object %d" % (i + 2))), seq(utf8("CardSim")),
                    tlv(0xA1, path(dfhex + fid)))
    aodf += extra.get("aodf", b"")
    prkdf += extra.get("prkdf", b"")
    pukdf += extra.get("pukdf", b"")
    cdf += extra.get("cdf", b"")
    odf = (tlv(0xA0, path(dfhex + "4402")) + tlv(0xA1, path(dfhex + "4403"))
           + tlv(0xA4, path(dfhex + "4404")) + tlv(0xA7, path(dfhex + "4405"))
           + tlv(0xA8, path(dfhex + "4401")))
    serial = img.serial.hex().upper().encode()
    tokeninfo_fields = [integer(0), octets(serial), utf8("CardSim"), utf8(label, tag=0x80), bits(1)]
    se_infos = b""
    if se_number is not None:
        # seInfo: the security environment the card's keys are used in.
        se_infos += seq(integer(se_number), oid(SE_NUMBER_OWNER))
    if dh is not None:
        # seInfo: the security environment of the X9.42 key agreement.
        se_infos += seq(integer(DH_GROUP), oid(X942_SE_OWNER))
    if se_infos:
        tokeninfo_fields.append(seq(se_infos))
    if dh is not None:
        # supportedAlgorithms [2]: the group, algRef = the card's key reference.
        p, q, g = dh
        alg = seq(integer(1), integer(49), seq(integer(p), integer(g), integer(q)), bits(5),
                  oid(X942_OID), integer(DH_GROUP))
        tokeninfo_fields.append(tlv(0xA2, alg))
    tokeninfo = seq(*tokeninfo_fields)
    dirw = "read:always,update:%s,delete:%s" % (user, so)
    img.ef(df + "/5031", odf, size=256, ac=dirw, fill=b"\x00")
    img.ef(df + "/5032", tokeninfo, size=256, ac=dirw, fill=b"\x00")
    img.ef(df + "/4401", aodf, size=512, ac="read:always,update:%s,delete:%s" % (so, so),
           fill=b"\x00")
    for fid, content in (("4402", prkdf), ("4403", pukdf), ("4404", cdf), ("4405", dodf)):
        img.ef(df + "/" + fid, content, size=max(1024, len(content) + 256), ac=dirw, fill=b"\x00")
    del fill
    return tlv(0x61, octets(aid, 0x4F) + utf8(label, 0x50) + octets(bytes.fromhex(dfhex), 0x51)
               + tlv(0x73, oid(APP_TYPE_OID.get(model, APP_TYPE_OID[3]))))


def mf_lines(img, model, name=None, code=None, blank=False):
    if model in GP_MODELS and name is None:
        name = applet_aid(model)
    so = "always" if blank else "pin:04"
    img.df("3F00", name=name, code=code,
           ac="delete-child:%s,create-ef:%s,create-df:%s,terminate:%s,delete:never" % (
               so, so, so, so))


# EF.DIR as an issuer leaves it: only the SO changes, hides or removes it.
DIR_RULES = "read:always,update:%(so)s,write:%(so)s,deactivate:%(so)s,terminate:%(so)s,delete:%(so)s"


def card_pkcs15(model=3, apps=1, lifecycle=0x0F, gp=False, dh=False, protect=None, extra_data=0, cert_label=True,
                user_consent=0, se_number=None, puk=None, user_owns_app=False, nested=False):
    """gp: the card holds the GlobalPlatform key set; dh: a Diffie-Hellman key and
    the group in TokenInfo; protect: what the card refuses in the clear. puk: the
    first application's user PIN is unblocked by a PUK and its SO PIN has stored
    length 8; without it (the default on model 3) the application is shaped as the
    module initialises model-3 tokens: the SO PIN (stored length 16) guards and
    unblocks the user PIN, so the SO can set it, and there is no PUK. nested: the
    second application's DF lies inside the first's (as another issuer may lay
    a card out), so both DFs hold a PIN 81; EF.DIR names the inner one first."""
    if puk is None:
        puk = model != 3
    img = Image(model, lifecycle)
    mf_lines(img, model)
    img.pin("3F00", 0x04, SO_PIN, tries=3, guard="pin:04")
    with tempfile.TemporaryDirectory() as tmp:
        group = dh_group(tmp) if dh else None
        if gp:
            img.gp_keys()
        if group:
            img.dh_key(group)
        if protect:
            img.protect(protect)
        records = build_app(img, model, "3F00/5015", PKCS15_AID, "CardSim Token", tmp, "a1",
                            officer_unblocks=not puk, dh=group, extra_data=extra_data, cert_label=cert_label,
                            user_consent=user_consent, se_number=se_number, user_owns_app=user_owns_app)
        if apps >= 2:
            # the module names a second application so only on model 7
            aid2 = SECOND_AID if model == 7 else PKCS15_AID
            second = build_app(img, model, "3F00/5015/5016" if nested else "3F00/5016", aid2, "CardSim Token 2",
                               tmp, "a2", officer_unblocks=True)
            # EF.DIR names the inner application first: its token is the first slot's.
            records = second + records if nested else records + second
    img.ef("3F00/2F00", records, size=256, ac=DIR_RULES % {"so": "pin:04"})
    return img


def card_blank(model, so_maxlen=8):
    """so_maxlen: the length model 3 holds its SO PIN at (8 as issued; 16 the length
    the module's PIN directories give the SO PIN of a token it makes there)."""
    img = Image(model)
    if model == 1:
        mf_lines(img, model, name=b"MIRTAL", code=0x01, blank=True)
        img.pin("3F00", 0x01, SO_PIN, guard="pin:01")
    elif model == 4:
        # issued without any PIN: its card profile's SO PIN (reference 01) and the
        # tokens' PINs are made by the card initialisation
        mf_lines(img, model, blank=True)
    else:
        mf_lines(img, model, blank=True)
        img.pin("3F00", 0x04, SO_PIN, maxlen=so_maxlen, guard="pin:04")
    return img


def card_unknown():
    img = Image(0, unknown=True)
    img.df("3F00")
    img.ef("3F00/2F00", b"", size=64)
    return img


QUALIFIED_PIN_LABEL = "PIN kwalifikowany"


def qualified_entries(pin_path, pin_ref, key_path, key_ref, cert_path, key_id, puk=None):
    """Directory entries naming a qualified part: its PIN (authId 04), the key it
    guards and that key's certificate; `puk` = (reference, path) adds the PIN's
    unblocking PIN (authId 05)."""
    aodf = pin_object(QUALIFIED_PIN_LABEL, b"\x04", (1, 4, 5), pin_ref, pin_path,
                      unblocked_by=b"\x05" if puk else None, minlen=6)
    if puk:
        aodf += pin_object("PUK kwalifikowany", b"\x05", (1, 4, 5, 6), puk[0], puk[1], minlen=8)
    prkdf = seq(seq(utf8("Qualified key"), bits(0), octets(b"\x04")),
                seq(octets(key_id), bits(2, 9), bits(0, 2, 3), integer(key_ref)),
                tlv(0xA1, seq(path(key_path), integer(2048))))
    cdf = seq(seq(utf8("Qualified certificate")),
              seq(octets(key_id)),
              tlv(0xA1, seq(path(cert_path))))
    return {"aodf": aodf, "prkdf": prkdf, "cdf": cdf}


def card_qualified(visible=False):
    """Model 1 with a PKCS#15 application and the fixed qualified part
    3F00/DF01 (private key EFD5, certificate file C000, root public key B000)
    protected by a local qualified PIN. With `visible` the application names the
    qualified PIN, its PUK, the key and the certificate, which C000 then holds."""
    img = Image(1)
    mf_lines(img, 1, code=0x01)
    img.pin("3F00", 0x01, SO_PIN, guard="pin:01")
    with tempfile.TemporaryDirectory() as tmp:
        qcomps, qpub, qcert = new_key_and_cert(tmp, "q", "CardSim Qualified")
        _, rootpub, _ = new_key_and_cert(tmp, "r", "CardSim Root")
        extra = None
        if visible:
            extra = qualified_entries("3F00DF01", 0x81, "3F00DF01EFD5", 0x05, "3F00DF01C000",
                                      hashlib.sha1(qcomps["n"]).digest(), puk=(0x82, "3F00DF01"))
        records = build_app(img, 1, "3F00/5015", PKCS15_AID, "CardSim Token", tmp, "a1",
                            with_so=False, extra=extra)
    q = "pin:81"
    img.df("3F00/DF01", ac="delete-child:never,create-ef:pin:01,create-df:never,delete:never")
    img.pin("3F00/DF01", 0x81, QUAL_PIN, minlen=6, maxlen=8, unblock=0x82, guard="pin:01")
    img.pin("3F00/DF01", 0x82, PUK, minlen=8, maxlen=8, tries=5, guard="pin:01")
    img.key("3F00/DF01/EFD5", 0x05, 2048, qcomps,
            ac="read:always,update:never,use:%s,generate:never,delete:never" % q)
    img.ef("3F00/DF01/C000", qcert if visible else b"", size=2048,
           ac="read:always,update:%s,delete:never" % q, fill=b"\xff")
    img.ef("3F00/DF01/B000", rootpub, ac="read:always,update:never,delete:never")
    img.ef("3F00/2F00", records, size=256, ac=DIR_RULES % {"so": "pin:01"})
    return img


def card_qualified_model3():
    """Model 3 with one PKCS#15 application that holds, beside its ordinary
    objects, a qualified PIN named by its label (reference 83), the key it guards
    (4B02, key reference 02) and that key's certificate (4302)."""
    img = Image(3)
    mf_lines(img, 3)
    img.pin("3F00", 0x04, SO_PIN, tries=3, guard="pin:04")
    df, dfhex = "3F00/5015", "3F005015"
    with tempfile.TemporaryDirectory() as tmp:
        qcomps, qpub, qcert = new_key_and_cert(tmp, "q", "CardSim Qualified")
        extra = qualified_entries(dfhex, 0x83, dfhex + "4B02", 0x02, dfhex + "4302",
                                  hashlib.sha1(qcomps["n"]).digest())
        records = build_app(img, 3, df, PKCS15_AID, "CardSim Token", tmp, "a1", extra=extra)
    img.pin(df, 0x83, QUAL_PIN, minlen=6, maxlen=8, guard="pin:04")
    img.key(df + "/4B02", 0x02, 2048, qcomps,
            ac="read:always,update:never,use:pin:83,generate:never,delete:pin:81")
    img.ef(df + "/5502", qpub, ac="read:always,update:pin:81,delete:pin:81")
    img.ef(df + "/4302", qcert, ac="read:always,update:pin:81,delete:pin:81")
    img.ef("3F00/2F00", records, size=256, ac=DIR_RULES % {"so": "pin:04"})
    return img


def card_ias_not_activated():
    """Before activation the card talks to the personalisation agent only, over
    its GlobalPlatform channel."""
    return card_pkcs15(7, 1, lifecycle=0x07, gp=True, protect="until-secured")


def card_gp_channel():
    """A GlobalPlatform card (ClassIC) that answers nothing but the selection of
    its applications and its identity outside the channel."""
    return card_pkcs15(4, 1, gp=True, protect="all")


# PIN, key and signature commands: VERIFY, CHANGE REFERENCE DATA, RESET RETRY
# COUNTER, PSO, GENERATE ASYMMETRIC KEY PAIR, PUT DATA.
DH_PROTECTED = "ins=20,24,2C,2A,46,47,DB"


def card_dh_channel():
    """An activated IAS-ECC card whose PIN, key and signature commands need secure
    messaging after the Diffie-Hellman key agreement that its TokenInfo names."""
    return card_pkcs15(7, 1, dh=True, protect=DH_PROTECTED)


CARDS = {
    "blank-model1.card": lambda: card_blank(1),
    "blank-model3.card": lambda: card_blank(3),
    "blank-model3-so-pin-16.card": lambda: card_blank(3, so_maxlen=16),
    "blank-model4.card": lambda: card_blank(4),
    "blank-model7.card": lambda: card_blank(7),
    "unknown-atr.card": card_unknown,
    "pkcs15-model3.card": lambda: card_pkcs15(3, 1),
    "pkcs15-model3-puk.card": lambda: card_pkcs15(3, 1, puk=True),
    "pkcs15-model3-two-apps.card": lambda: card_pkcs15(3, 2),
    "pkcs15-model3-two-apps-puk.card": lambda: card_pkcs15(3, 2, puk=True),
    "pkcs15-model3-nested-apps-puk.card": lambda: card_pkcs15(3, 2, puk=True, nested=True),
    "pkcs15-model3-user-owned.card": lambda: card_pkcs15(3, 1, user_owns_app=True),
    "pkcs15-many-objects.card": lambda: card_pkcs15(3, 1, extra_data=49, cert_label=False),
    "qualified-model1.card": card_qualified,
    "qualified-model1-visible.card": lambda: card_qualified(visible=True),
    "qualified-model3.card": card_qualified_model3,
    "ias-not-activated.card": lambda: card_ias_not_activated(),
    "pkcs15-gp-channel.card": lambda: card_gp_channel(),
    "ias-dh-channel.card": lambda: card_dh_channel(),
}

CONFIG = """# Readers of the card simulator and the cards in them (paths relative to this file).
# Copy the folder before use: the simulator writes every change back to the images.
reader CardSim Reader 0
card pkcs15-model3.card
reader CardSim Reader 1
card blank-model3.card
reader CardSim Reader 2
"""


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    a = sub.add_parser("all")
    a.add_argument("--out", required=True)
    b = sub.add_parser("blank")
    b.add_argument("--model", type=int, required=True, choices=range(0, 8))
    b.add_argument("--so-pin", help="SO PIN (default 87654321)")
    b.add_argument("out")
    p = sub.add_parser("pkcs15")
    p.add_argument("--model", type=int, default=3, choices=(1, 3, 4, 7))
    p.add_argument("--apps", type=int, default=1, choices=(1, 2))
    p.add_argument("--lifecycle", default="0F")
    p.add_argument("--user-pin", help="user PIN (default 1234)")
    p.add_argument("--puk", help="PUK (default 12345678)")
    p.add_argument("--so-pin", help="SO PIN (default 87654321)")
    p.add_argument("--with-puk", action="store_true",
                   help="model 3: the user PIN has a PUK and the SO PIN stored length 8 (not the module's shape)")
    p.add_argument("--data-objects", type=int, default=1, help="public data objects (default 1)")
    p.add_argument("--no-cert-label", action="store_true", help="the certificate has no label")
    p.add_argument("--user-consent", type=int, default=0,
                   help="uses of the private key per PIN entry (default 0: no such limit)")
    p.add_argument("--se-number", type=int, choices=range(0, 255),
                   help="TokenInfo names this security environment for the card's keys")
    p.add_argument("--user-owns-app", action="store_true",
                   help="only the user PIN deletes the application DF")
    p.add_argument("out")
    for name in ("unknown", "ias-not-activated", "gp-channel", "dh-channel"):
        sub.add_parser(name).add_argument("out")
    q = sub.add_parser("qualified")
    q.add_argument("--model", type=int, default=1, choices=(1, 3))
    q.add_argument("--visible", action="store_true")
    q.add_argument("out")
    args = ap.parse_args(argv)
    for name, attr in (("user_pin", "USER_PIN"), ("puk", "PUK"), ("so_pin", "SO_PIN")):
        value = getattr(args, name, None)
        if value is not None:
            if not 4 <= len(value) <= 8:
                ap.error("PINs have 4 to 8 characters")
            globals()[attr] = value.encode()

    if args.cmd == "all":
        os.makedirs(args.out, exist_ok=True)
        for name, make in CARDS.items():
            make().write(os.path.join(args.out, name))
        with open(os.path.join(args.out, "cardsim.conf"), "w") as f:
            f.write(CONFIG)
    elif args.cmd == "blank":
        card_blank(args.model).write(args.out)
    elif args.cmd == "pkcs15":
        if not 1 <= args.data_objects <= 200:
            ap.error("1 to 200 data objects")
        card_pkcs15(args.model, args.apps, int(args.lifecycle, 16), extra_data=args.data_objects - 1,
                    cert_label=not args.no_cert_label, user_consent=args.user_consent,
                    se_number=args.se_number, puk=True if args.with_puk else None,
                    user_owns_app=args.user_owns_app).write(args.out)
    elif args.cmd == "unknown":
        card_unknown().write(args.out)
    elif args.cmd == "qualified":
        if args.model == 3:
            card_qualified_model3().write(args.out)
        else:
            card_qualified(args.visible).write(args.out)
    elif args.cmd == "ias-not-activated":
        card_ias_not_activated().write(args.out)
    elif args.cmd == "gp-channel":
        card_gp_channel().write(args.out)
    elif args.cmd == "dh-channel":
        card_dh_channel().write(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
