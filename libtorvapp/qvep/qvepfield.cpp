// Decoding refusals shared by both curve classes.
#include "libtorvapp/qvep/qvepfield.h"

#include "libtorvapp/qvcommon/qvexception.h"

namespace qvepfield {

void coordinateNotReduced(bool cryptoEp) {
    if (cryptoEp)
        qvThrow<QvWrongSyntaxException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Elliptic Curve point coordinate is "
            "not below the field prime.\nFUNCTION: QvGroupElem* QvCryptoEp::createNew(const QvOctet *oct, unsigned "
            "int len) const\nFILE: qvcryptoep/cryptoep_group\nLINE: 0\n");
    qvThrow<QvWrongSyntaxException>(
        "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Elliptic Curve point coordinate is not "
        "below the field prime.\nFUNCTION: QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) "
        "const\nFILE: qvep/ep_group\nLINE: 0\n");
}

void pointNotOnCurve(bool cryptoEp) {
    if (cryptoEp)
        qvThrow<QvWrongSyntaxException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Elliptic Curve point is not on the "
            "curve.\nFUNCTION: QvGroupElem* QvCryptoEp::createNew(const QvOctet *oct, unsigned int len) const\n"
            "FILE: qvcryptoep/cryptoep_group\nLINE: 0\n");
    qvThrow<QvWrongSyntaxException>(
        "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Elliptic Curve point is not on the "
        "curve.\nFUNCTION: QvGroupElem* QvEp::createNew(const QvOctet *oct, unsigned int len) const\nFILE: "
        "qvep/ep_group\nLINE: 0\n");
}

}  // namespace qvepfield
