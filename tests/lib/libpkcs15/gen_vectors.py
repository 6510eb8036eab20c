#!/usr/bin/python3
"""Writes PKCS#15 structures encoded by pyasn1 (an encoder independent of the
product) to data/pyasn1_vectors.txt: one line "name hex" per structure.

The types follow the ASN.1 module of PKCS#15 v1.1 (RSA Laboratories, 2000).
Run: /usr/bin/python3 gen_vectors.py > data/pyasn1_vectors.txt
"""
from pyasn1.type import univ, char, namedtype, tag, useful, namedval, constraint
from pyasn1.codec.der import encoder


def ctx(n, constructed=False):
    fmt = tag.tagFormatConstructed if constructed else tag.tagFormatSimple
    return tag.Tag(tag.tagClassContext, fmt, n)


def app(n, constructed=False):
    fmt = tag.tagFormatConstructed if constructed else tag.tagFormatSimple
    return tag.Tag(tag.tagClassApplication, fmt, n)


class Path(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('path', univ.OctetString()),
        namedtype.OptionalNamedType('index', univ.Integer()),
        namedtype.OptionalNamedType('length', univ.Integer().subtype(implicitTag=ctx(0))))


class CommonObjectFlags(univ.BitString):
    namedValues = namedval.NamedValues(('private', 0), ('modifiable', 1))


class CommonObjectAttributes(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.OptionalNamedType('label', char.UTF8String()),
        namedtype.OptionalNamedType('flags', CommonObjectFlags()),
        namedtype.OptionalNamedType('authId', univ.OctetString()),
        namedtype.OptionalNamedType('userConsent', univ.Integer()))


class CommonAuthenticationObjectAttributes(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.OptionalNamedType('authId', univ.OctetString()))


class PinFlags(univ.BitString):
    namedValues = namedval.NamedValues(
        ('case-sensitive', 0), ('local', 1), ('change-disabled', 2), ('unblock-disabled', 3),
        ('initialized', 4), ('needs-padding', 5), ('unblockingPin', 6), ('soPin', 7),
        ('disable-allowed', 8), ('integrity-protected', 9), ('confidentiality-protected', 10),
        ('exchangeRefData', 11))


class PinAttributes(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('pinFlags', PinFlags()),
        namedtype.NamedType('pinType', univ.Enumerated()),
        namedtype.NamedType('minLength', univ.Integer()),
        namedtype.NamedType('storedLength', univ.Integer()),
        namedtype.OptionalNamedType('maxLength', univ.Integer()),
        namedtype.DefaultedNamedType('pinReference', univ.Integer(0).subtype(implicitTag=ctx(0))),
        namedtype.OptionalNamedType('padChar', univ.OctetString()),
        namedtype.OptionalNamedType('lastPinChange', useful.GeneralizedTime()),
        namedtype.OptionalNamedType('path', Path()))


class KeyUsageFlags(univ.BitString):
    namedValues = namedval.NamedValues(
        ('encrypt', 0), ('decrypt', 1), ('sign', 2), ('signRecover', 3), ('wrap', 4), ('unwrap', 5),
        ('verify', 6), ('verifyRecover', 7), ('derive', 8), ('nonRepudiation', 9))


class KeyAccessFlags(univ.BitString):
    namedValues = namedval.NamedValues(
        ('sensitive', 0), ('extractable', 1), ('alwaysSensitive', 2), ('neverExtractable', 3), ('local', 4))


class CommonKeyAttributes(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('iD', univ.OctetString()),
        namedtype.NamedType('usage', KeyUsageFlags()),
        namedtype.DefaultedNamedType('native', univ.Boolean(True)),
        namedtype.OptionalNamedType('accessFlags', KeyAccessFlags()),
        namedtype.OptionalNamedType('keyReference', univ.Integer()),
        namedtype.OptionalNamedType('startDate', useful.GeneralizedTime()),
        namedtype.OptionalNamedType('endDate', useful.GeneralizedTime().subtype(implicitTag=ctx(0))))


class PrivateRSAKeyAttributes(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('value', Path()),
        namedtype.NamedType('modulusLength', univ.Integer()))


class PKCS15ObjectPin(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('commonObjectAttributes', CommonObjectAttributes()),
        namedtype.NamedType('classAttributes', CommonAuthenticationObjectAttributes()),
        namedtype.NamedType('typeAttributes', PinAttributes().subtype(explicitTag=ctx(1, True))))


class PKCS15ObjectRsa(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('commonObjectAttributes', CommonObjectAttributes()),
        namedtype.NamedType('classAttributes', CommonKeyAttributes()),
        namedtype.NamedType('typeAttributes', PrivateRSAKeyAttributes().subtype(explicitTag=ctx(1, True))))


class DDO(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('oid', univ.ObjectIdentifier()),
        namedtype.OptionalNamedType('odfPath', Path()),
        namedtype.OptionalNamedType('tokenInfoPath', Path().subtype(implicitTag=ctx(0, True))),
        namedtype.OptionalNamedType('unusedPath', Path().subtype(implicitTag=ctx(1, True))))


class DIRRecord(univ.Sequence):
    tagSet = univ.Sequence.tagSet.tagImplicitly(app(1, True))
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('aid', univ.OctetString().subtype(implicitTag=app(15))),
        namedtype.OptionalNamedType('label', char.UTF8String().subtype(implicitTag=app(16))),
        namedtype.NamedType('path', univ.OctetString().subtype(implicitTag=app(17))),
        namedtype.OptionalNamedType('ddo', DDO().subtype(implicitTag=app(19, True))))


class TokenFlags(univ.BitString):
    namedValues = namedval.NamedValues(('readonly', 0), ('loginRequired', 1), ('prnGeneration', 2),
                                       ('eidCompliant', 3))


class SecurityEnvironmentInfo(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('se', univ.Integer()),
        namedtype.NamedType('owner', univ.ObjectIdentifier()))


class AlgorithmInfo(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('reference', univ.Integer()),
        namedtype.NamedType('algorithm', univ.Integer()),
        namedtype.NamedType('parameters', univ.Null()),
        namedtype.NamedType('supportedOperations', univ.BitString()),
        namedtype.OptionalNamedType('algId', univ.ObjectIdentifier()),
        namedtype.OptionalNamedType('algRef', univ.Integer()))


class TokenInfo(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('version', univ.Integer()),
        namedtype.NamedType('serialNumber', univ.OctetString()),
        namedtype.OptionalNamedType('manufacturerID', char.UTF8String()),
        namedtype.OptionalNamedType('label', char.UTF8String().subtype(implicitTag=ctx(0))),
        namedtype.NamedType('tokenflags', TokenFlags()),
        namedtype.OptionalNamedType('seInfo', univ.SequenceOf(componentType=SecurityEnvironmentInfo())),
        namedtype.OptionalNamedType('supportedAlgorithms', univ.SequenceOf(componentType=AlgorithmInfo()).subtype(
            implicitTag=ctx(2, True))),
        namedtype.OptionalNamedType('issuerId', char.UTF8String().subtype(implicitTag=ctx(3))),
        namedtype.OptionalNamedType('holderId', char.UTF8String().subtype(implicitTag=ctx(4))),
        namedtype.OptionalNamedType('lastUpdate', useful.GeneralizedTime().subtype(explicitTag=ctx(5, True))),
        namedtype.OptionalNamedType('preferredLanguage', char.PrintableString()))


def path(hexpath, index=None, length=None):
    p = Path()
    p['path'] = bytes.fromhex(hexpath)
    if index is not None:
        p['index'] = index
        p['length'] = length
    return p


def out(name, value):
    print(name, encoder.encode(value).hex().upper())


def main():
    out('path_plain', path('3F005015'))
    out('path_window', path('3F0050154401', 16, 300))

    coa = CommonObjectAttributes()
    coa['label'] = 'Podpis kwalifikowany'
    coa['flags'] = CommonObjectFlags("'11'B")
    coa['authId'] = b'\x01'
    coa['userConsent'] = 3
    out('coa_full', coa)

    pin = PKCS15ObjectPin()
    pin['commonObjectAttributes']['label'] = 'User PIN'
    pin['commonObjectAttributes']['flags'] = CommonObjectFlags("'11'B")
    pin['classAttributes']['authId'] = b'\x01'
    ta = pin['typeAttributes']
    ta['pinFlags'] = PinFlags("'0100111'B")  # local, initialized, needs-padding, unblockingPin
    ta['pinType'] = 1
    ta['minLength'] = 4
    ta['storedLength'] = 8
    ta['maxLength'] = 8
    ta['pinReference'] = 0x81
    ta['padChar'] = b'\xff'
    ta['lastPinChange'] = useful.GeneralizedTime('20240101120000Z')
    ta['path'] = path('3F005015')
    out('aodf_pin', pin)

    rsa = PKCS15ObjectRsa()
    rsa['commonObjectAttributes']['label'] = 'Private key'
    rsa['commonObjectAttributes']['flags'] = CommonObjectFlags("'1'B")
    rsa['commonObjectAttributes']['authId'] = b'\x01'
    cka = rsa['classAttributes']
    cka['iD'] = bytes(range(20))
    cka['usage'] = KeyUsageFlags("'0111011'B")
    cka['native'] = False
    cka['accessFlags'] = KeyAccessFlags("'10111'B")
    cka['keyReference'] = 1
    cka['startDate'] = useful.GeneralizedTime('20240101000000Z')
    cka['endDate'] = useful.GeneralizedTime('20340101000000Z').subtype(implicitTag=ctx(0))
    rsa['typeAttributes']['value'] = path('3F0050154B01')
    rsa['typeAttributes']['modulusLength'] = 2048
    out('prkdf_rsa', rsa)

    d = DIRRecord()
    d['aid'] = bytes.fromhex('A000000063504B43532D3135')
    d['label'] = 'CardSim app'
    d['path'] = bytes.fromhex('3F005015')
    ddo = d['ddo']
    ddo['oid'] = univ.ObjectIdentifier('1.2.840.113549.1.15.2.1')
    ddo['odfPath'] = path('3F0050155031')
    ddo['tokenInfoPath']['path'] = bytes.fromhex('3F0050155032')
    out('efdir_pkcs15', d)

    ti = TokenInfo()
    ti['version'] = 0
    ti['serialNumber'] = b'\x12\x34\x56\x78'
    ti['manufacturerID'] = 'CardSim'
    ti['label'] = 'Token label'
    ti['tokenflags'] = TokenFlags("'0101'B")
    se = SecurityEnvironmentInfo()
    se['se'] = 1
    se['owner'] = univ.ObjectIdentifier('1.2.3.4')
    ti['seInfo'].append(se)
    alg = AlgorithmInfo()
    alg['reference'] = 1
    alg['algorithm'] = 3
    alg['parameters'] = univ.Null('')
    alg['supportedOperations'] = univ.BitString("'01'B")
    alg['algId'] = univ.ObjectIdentifier('1.2.840.113549.1.1.1')
    alg['algRef'] = 2
    ti['supportedAlgorithms'].append(alg)
    ti['issuerId'] = 'Issuer'
    ti['holderId'] = 'Holder'
    ti['lastUpdate'] = useful.GeneralizedTime('20250615083000Z').subtype(explicitTag=ctx(5, True))
    ti['preferredLanguage'] = 'pl'
    out('tokeninfo_full', ti)


def card_simulator_records():
    """The directory records the card-image generator of the card simulator writes
    (its own hand-made TLV helpers), with a fixed key identifier."""
    import os
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', '..', 'tools',
                                    'cardsim'))
    import cardgen as g
    key_id = bytes(range(20))
    dfhex = '3F005015'
    out_raw = lambda name, b: print(name, b.hex().upper())
    out_raw('cardgen_pin', g.pin_object('User PIN', b'\x01', (1, 4, 5), 0x81, dfhex, unblocked_by=b'\x02'))
    out_raw('cardgen_prkdf', g.seq(g.seq(g.utf8('Private key'), g.bits(0), g.octets(b'\x01')),
                                   g.seq(g.octets(key_id), g.bits(1, 2, 3, 5), g.bits(0, 2, 3), g.integer(1)),
                                   g.tlv(0xA1, g.seq(g.path(dfhex + '4B01'), g.integer(2048)))))
    out_raw('cardgen_pukdf', g.seq(g.seq(g.utf8('Public key')), g.seq(g.octets(key_id), g.bits(0, 4, 6, 7)),
                                   g.tlv(0xA1, g.seq(g.path(dfhex + '5501'), g.integer(2048)))))
    out_raw('cardgen_cdf', g.seq(g.seq(g.utf8('Certificate')), g.seq(g.octets(key_id)),
                                 g.tlv(0xA1, g.seq(g.path(dfhex + '4301')))))
    out_raw('cardgen_dodf', g.seq(g.seq(g.utf8('Data object')), g.seq(g.utf8('CardSim')),
                                  g.tlv(0xA1, g.path(dfhex + '5701'))))
    out_raw('cardgen_tokeninfo', g.seq(g.integer(0), g.octets(b'0102030405060708'), g.utf8('CardSim'),
                                       g.utf8('Token', tag=0x80), g.bits(1)))
    out_raw('cardgen_efdir', g.tlv(0x61, g.octets(bytes.fromhex('A000000063504B43532D3135'), 0x4F)
                                   + g.utf8('Token', 0x50) + g.octets(bytes.fromhex(dfhex), 0x51)
                                   + g.tlv(0x73, g.oid(g.APP_TYPE_OID[3]))))
    out_raw('cardgen_efdir_iso', g.tlv(0x61, g.octets(g.SECOND_AID, 0x4F) + g.utf8('Second', 0x50)
                                       + g.octets(bytes.fromhex('3F005016'), 0x51)))


if __name__ == '__main__':
    main()
    card_simulator_records()
