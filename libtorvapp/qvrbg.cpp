#include "libtorvapp/qvrbg.h"

#include "libtorvapp/qvrbgdss.h"
#include "libtorvapp/qvrbghashiso18031.h"
#include "libtorvapp/qvrbgofb.h"
#include "libtorvapp/qvsym.h"

QvRbg::~QvRbg() = default;

QvOctet QvRbg::getOctet()
{
    QvOctet o = 0;
    fillOctets(&o, 1);
    return o;
}

void QvRbg::fillWords(QvWord* dst, unsigned int n)
{
    for (unsigned int i = 0; i < n; ++i) {
        QvWord w = 0;
        for (int j = 0; j < 4; ++j) {
            QvOctet o = 0;
            fillOctets(&o, 1);
            w = (w << 8) | o;
        }
        dst[i] = w;
    }
}

QvWord QvRbg::getWord()
{
    QvWord w = 0;
    fillWords(&w, 1);
    return w;
}

QvRbg* qvRbgCreateObject(unsigned int id)
{
    switch (id) {
    case QV_RBG_OFB:
        return new QvRbgOfb();
    case QV_RBG_DSS31:
        return new QvRbgDss31();
    case QV_RBG_DSS32:
        return new QvRbgDss32();
    case QV_RBG_HASH_ISO18031:
        return new QvRbgHashIso18031();
    default:
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Nieznany identyfikator RBG",
                                                      "qvRbgCreateObject", "qvrbg", "86"));
    }
}
