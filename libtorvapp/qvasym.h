// Common root of the asymmetric families: key domains, keys and schemes.
#ifndef LIBTORVAPP_QVASYM_H
#define LIBTORVAPP_QVASYM_H

class QvAsym {
public:
    QvAsym() = default;
    QvAsym(const QvAsym &) = default;
    QvAsym &operator=(const QvAsym &) = default;
    virtual ~QvAsym();
};

#endif
