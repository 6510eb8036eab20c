// The abstract group, written additively, against which DSA, ECDSA and both
// Diffie-Hellman forms are written once.  Concrete groups provide the
// primitive operations; QvGroup builds scalar multiplication and the forms
// that return a new element from them.  A returned element belongs to the
// caller, who deletes it through its virtual destructor; a null source
// element stands for the neutral element where noted.
#ifndef LIBTORVAPP_QVABSTRACTALGEBRA_QVGROUP_H
#define LIBTORVAPP_QVABSTRACTALGEBRA_QVGROUP_H

#include "libtorvapp/qvabstractalgebra/qvgroupelem.h"
#include "libtorvapp/qvconv/qvconv.h"
#include "libtorvapp/qvnumbers/qvn.h"

class QvGroup {
public:
    virtual ~QvGroup();

    // r = a (a null gives the neutral element).
    virtual void assignElement(QvGroupElem *r, const QvGroupElem *a) const = 0;
    virtual void assignOctets(QvGroupElem *r, const QvOctet *octets, unsigned int length) const = 0;
    virtual void add(QvGroupElem *r, const QvGroupElem *a, const QvGroupElem *b) const;
    virtual void negate(QvGroupElem *r, const QvGroupElem *a) const;
    virtual void subtract(QvGroupElem *r, const QvGroupElem *a, const QvGroupElem *b) const;
    virtual void multiplyWord(QvGroupElem *r, QvWord w, const QvGroupElem *a) const;
    virtual void multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *a) const;
    virtual void multiplyTwo(QvGroupElem *r, const QvN &k1, const QvGroupElem *a1, const QvN &k2,
                             const QvGroupElem *a2) const;
    // New element equal to a (the neutral element when a is null).
    virtual QvGroupElem *newElement(const QvGroupElem *a) const = 0;
    virtual QvGroupElem *createNew(const QvOctet *octets, unsigned int length) const = 0;
    virtual QvGroupElem *sum(const QvGroupElem *a, const QvGroupElem *b) const;
    virtual QvGroupElem *negative(const QvGroupElem *a) const;
    virtual QvGroupElem *difference(const QvGroupElem *a, const QvGroupElem *b) const;
    virtual QvGroupElem *productWord(QvWord w, const QvGroupElem *a) const;
    virtual QvGroupElem *product(const QvN &k, const QvGroupElem *a) const;
    virtual QvGroupElem *productTwo(const QvN &k1, const QvGroupElem *a1, const QvN &k2,
                                    const QvGroupElem *a2) const;
    virtual void doubleInPlace(QvGroupElem *r) const = 0;
    virtual void addInPlace(QvGroupElem *r, const QvGroupElem *b) const = 0;
    virtual void negateInPlace(QvGroupElem *r) const = 0;
    virtual void subtractInPlace(QvGroupElem *r, const QvGroupElem *b) const = 0;
    virtual bool equals(const QvGroupElem *a, const QvGroupElem *b) const = 0;
    virtual unsigned int getOctetStringEncodingLen(const QvGroupElem *a) const = 0;
    virtual unsigned int asOctetString(const QvGroupElem *a, QvOctet *octets, unsigned int length) const = 0;
    virtual QvConvOS asDhSecret(const QvGroupElem *a) const = 0;
    virtual QvN asQvN(const QvGroupElem *a) const = 0;
};

// Window width of the generic scalar multiplication for a scalar of L bits.
unsigned int qvGroupWindowWidth(unsigned int L);
// Window width of the joint two-scalar multiplication.
unsigned int qvAbelianGroupWindowWidth(unsigned int L);

class QvAbelianGroup : public QvGroup {
public:
    ~QvAbelianGroup() override;
    // Shamir's joint fixed window over a table of i*A + j*B.
    void multiplyTwo(QvGroupElem *r, const QvN &k1, const QvGroupElem *a1, const QvN &k2,
                     const QvGroupElem *a2) const override;
};

#endif
