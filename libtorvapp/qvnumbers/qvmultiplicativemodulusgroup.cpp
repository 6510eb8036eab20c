// The multiplicative group of residues modulo n.
#include "libtorvapp/qvnumbers/qvmultiplicativemodulusgroup.h"

#include <vector>

namespace {

const QvZn *cz(const QvGroupElem *e) { return static_cast<const QvZn *>(e); }
QvZn *z(QvGroupElem *e) { return static_cast<QvZn *>(e); }

void checkElement(const QvGroupElem *g, const char *text) {
    if (g == nullptr) qvThrow<QvNotInitException>(text);
}

}  // namespace

QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup() : QvModulus() {}
QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup(const QvN &nv, unsigned int options)
    : QvModulus(nv, options) {}
QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup(const QvWordMem &words, unsigned int options)
    : QvModulus(words, options) {}
QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup(const QvWord *words, unsigned int count,
                                                           unsigned int options)
    : QvModulus(words, count, options) {}
QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup(const char *text, unsigned int options)
    : QvModulus(text, options) {}
QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup(const QvConv &der, unsigned int options)
    : QvModulus(der, options) {}
QvMultiplicativeModulusGroup::QvMultiplicativeModulusGroup(const QvMultiplicativeModulusGroup &other)
    : QvModulus(other), QvAbelianGroup(other) {}
QvMultiplicativeModulusGroup::~QvMultiplicativeModulusGroup() {}

void QvMultiplicativeModulusGroup::assignElement(QvGroupElem *r, const QvGroupElem *a) const {
    if (a == nullptr) *z(r) = QvZn(1, this);
    else if (r != a) *z(r) = *cz(a);
}

void QvMultiplicativeModulusGroup::assignOctets(QvGroupElem *r, const QvOctet *octets, unsigned int length) const {
    *z(r) = QvZn(QvN(QvWordMem(octets, length, true)), this);
}

QvGroupElem *QvMultiplicativeModulusGroup::newElement(const QvGroupElem *a) const {
    if (a == nullptr) return new QvZn(1, this);
    return new QvZn(*cz(a));
}

QvGroupElem *QvMultiplicativeModulusGroup::createNew(const QvOctet *octets, unsigned int length) const {
    return new QvZn(QvN(QvWordMem(octets, length, true)), this);
}

void QvMultiplicativeModulusGroup::doubleInPlace(QvGroupElem *r) const { *z(r) *= *z(r); }

void QvMultiplicativeModulusGroup::addInPlace(QvGroupElem *r, const QvGroupElem *b) const { *z(r) *= *cz(b); }

void QvMultiplicativeModulusGroup::negateInPlace(QvGroupElem *r) const { *z(r) = 1u / *z(r); }

void QvMultiplicativeModulusGroup::subtractInPlace(QvGroupElem *r, const QvGroupElem *b) const {
    *z(r) /= *cz(b);
}

bool QvMultiplicativeModulusGroup::equals(const QvGroupElem *a, const QvGroupElem *b) const {
    if (a == b) return true;
    if (a == nullptr || b == nullptr) return false;
    return *cz(a) == *cz(b);
}

unsigned int QvMultiplicativeModulusGroup::getOctetStringEncodingLen(const QvGroupElem *g) const {
    checkElement(g,
                 "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const "
                 "QvGroupElem *g).\nFUNCTION: unsigned int QvMultiplicativeModulusGroup::getOctetStringEncodingLen("
                 "const QvGroupElem *g) const\nFILE: qvnumbers/qvmultiplicativemodulusgroup\nLINE: 107\n");
    return cz(g)->asQvN().getOctetLength();
}

unsigned int QvMultiplicativeModulusGroup::asOctetString(const QvGroupElem *g, QvOctet *oct,
                                                         unsigned int len) const {
    checkElement(g,
                 "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const "
                 "QvGroupElem *g).\nFUNCTION: unsigned int QvMultiplicativeModulusGroup::asOctetString(const "
                 "QvGroupElem *g, QvOctet *oct, unsigned int len) const\nFILE: "
                 "qvnumbers/qvmultiplicativemodulusgroup\nLINE: 120\n");
    return cz(g)->asQvN().asOctetString(oct, len, false);
}

QvConvOS QvMultiplicativeModulusGroup::asDhSecret(const QvGroupElem *g) const {
    const unsigned int len = getOctetLength();
    std::vector<QvOctet> buf(len == 0 ? 1 : len);
    const unsigned int got = cz(g)->asQvN().asOctetString(buf.data(), (unsigned int)buf.size(), true);
    QvConvOS out(buf.data(), got == 0 ? 0 : len);
    qvWipe(buf.data(), buf.size());
    return out;
}

QvN QvMultiplicativeModulusGroup::asQvN(const QvGroupElem *g) const { return cz(g)->asQvN(); }

void QvMultiplicativeModulusGroup::multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *a) const {
    QvZn x(a == nullptr ? QvZn(1, this) : *cz(a));
    x ^= k;
    *z(r) = x;
}
