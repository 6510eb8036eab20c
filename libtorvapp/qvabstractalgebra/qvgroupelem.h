// The abstract group element: residues and curve points derive from it, and a
// group hands elements around as pointers to it.
#ifndef LIBTORVAPP_QVABSTRACTALGEBRA_QVGROUPELEM_H
#define LIBTORVAPP_QVABSTRACTALGEBRA_QVGROUPELEM_H

class QvGroupElem {
public:
    QvGroupElem() = default;
    QvGroupElem(const QvGroupElem &) = default;
    QvGroupElem &operator=(const QvGroupElem &) = default;
    virtual ~QvGroupElem();
    // Lets an element prepare tables before repeated use.
    virtual void precompute() = 0;
};

#endif
