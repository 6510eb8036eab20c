// The group (Z/nZ)* on QvZn residues, written additively: add is the residue
// product, negate the inverse, multiply by k the k-th power, and the neutral
// element the residue 1.  The group is its own modulus: its elements point to
// it, so it must outlive them.
#ifndef LIBTORVAPP_QVNUMBERS_QVMULTIPLICATIVEMODULUSGROUP_H
#define LIBTORVAPP_QVNUMBERS_QVMULTIPLICATIVEMODULUSGROUP_H

#include "libtorvapp/qvabstractalgebra/qvgroup.h"
#include "libtorvapp/qvnumbers/qvzn.h"

class QvMultiplicativeModulusGroup : public QvModulus, public QvAbelianGroup {
public:
    QvMultiplicativeModulusGroup();
    QvMultiplicativeModulusGroup(const QvN &n, unsigned int options);
    QvMultiplicativeModulusGroup(const QvWordMem &words, unsigned int options);
    QvMultiplicativeModulusGroup(const QvWord *words, unsigned int count, unsigned int options);
    QvMultiplicativeModulusGroup(const char *text, unsigned int options);
    QvMultiplicativeModulusGroup(const QvConv &der, unsigned int options);
    QvMultiplicativeModulusGroup(const QvMultiplicativeModulusGroup &other);
    ~QvMultiplicativeModulusGroup() override;

    void assignElement(QvGroupElem *r, const QvGroupElem *a) const override;
    // Big-endian octets, reduced modulo n.
    void assignOctets(QvGroupElem *r, const QvOctet *octets, unsigned int length) const override;
    QvGroupElem *newElement(const QvGroupElem *a) const override;
    QvGroupElem *createNew(const QvOctet *octets, unsigned int length) const override;
    void doubleInPlace(QvGroupElem *r) const override;
    void addInPlace(QvGroupElem *r, const QvGroupElem *b) const override;
    void negateInPlace(QvGroupElem *r) const override;
    void subtractInPlace(QvGroupElem *r, const QvGroupElem *b) const override;
    bool equals(const QvGroupElem *a, const QvGroupElem *b) const override;
    // Minimal octet length of the element as a number (0 for zero).
    unsigned int getOctetStringEncodingLen(const QvGroupElem *g) const override;
    // Minimal big-endian octets (zero is one octet 00); 0 when len is too small.
    unsigned int asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) const override;
    // The element big-endian, left-padded to the octet length of n.
    QvConvOS asDhSecret(const QvGroupElem *g) const override;
    QvN asQvN(const QvGroupElem *g) const override;
    // Exponentiation through the residue code (faster than the generic window).
    void multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *a) const override;
};

#endif
