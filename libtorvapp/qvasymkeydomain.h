// Key domains: the public parameters a family of keys shares (a group, a
// generator, its order, the group order and the cofactor).  The general DSA
// domain works over any group, so DSA, ECDSA and Diffie-Hellman over every kind
// of group share one key and scheme code.  Subclasses own a concrete group.
#ifndef LIBTORVAPP_QVASYMKEYDOMAIN_H
#define LIBTORVAPP_QVASYMKEYDOMAIN_H

#include "libtorvapp/qvabstractalgebra/qvgroup.h"
#include "libtorvapp/qvasym.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"

class QvAsymKeyDomain : public QvAsym {
public:
    enum : int {
        TYPE_BASE = 0,
        TYPE_GENERAL = 1,
        TYPE_E2N = 2,
        TYPE_EP = 3,
        TYPE_GFP = 4,
        TYPE_DH_GFP = 5,
        TYPE_DSA = 6
    };
    ~QvAsymKeyDomain() override;
    virtual bool isValid() const = 0;
    virtual bool isComplete() const = 0;
    virtual int getType() const { return TYPE_BASE; }
};

class QvGeneralDsaKeyDomain : public QvAsymKeyDomain {
public:
    QvGeneralDsaKeyDomain();
    // Copies take the group pointer, their own generator made by the group, the
    // group order and the order; the cofactor is not copied.
    QvGeneralDsaKeyDomain(const QvGeneralDsaKeyDomain &other);
    QvGeneralDsaKeyDomain &operator=(const QvGeneralDsaKeyDomain &other);
    ~QvGeneralDsaKeyDomain() override;

    bool isValid() const override;
    bool isComplete() const override;
    int getType() const override { return TYPE_GENERAL; }

    virtual void setGroup(const QvGroup *g);
    // A copy of g made by the group (the neutral element for null), precomputed.
    virtual void setGen(const QvGroupElem *g);
    virtual void setGen(const QvOctet *oct, unsigned int len);
    virtual void setGroupOrder(const QvModulus &m);
    virtual void setGroupOrder(const QvOctet *oct, unsigned int len);
    virtual void setOrder(const QvModulus &m);
    virtual void setOrder(const QvOctet *oct, unsigned int len);
    virtual void setCofactor(const QvN &h);
    virtual void setCofactor(const QvOctet *oct, unsigned int len);
    virtual const QvGroup *getGroup() const { return group; }
    virtual const QvGroupElem *getGen() const { return generator; }
    virtual unsigned int getGen(QvOctet *oct, unsigned int len) const;
    virtual const QvModulus &getGroupOrder() const { return groupOrder; }
    virtual unsigned int getGroupOrder(QvOctet *oct, unsigned int len) const;
    virtual const QvModulus &getOrder() const { return order; }
    virtual unsigned int getOrder(QvOctet *oct, unsigned int len) const;
    virtual const QvN &getCofactor() const { return cofactor; }
    virtual unsigned int getCofactor(QvOctet *oct, unsigned int len) const;

protected:
    // Drops the generator (used when the group it belongs to is replaced).
    void releaseGen();

    const QvGroup *group;
    QvGroupElem *generator;
    QvModulus groupOrder;
    QvModulus order;
    QvN cofactor;
};

#endif
