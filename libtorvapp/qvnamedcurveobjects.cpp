#include "libtorvapp/qvnamedcurveobjects.h"

#include <cstring>
#include <utility>

namespace {

template <class Domain>
Domain *build(unsigned int index) {
    const QvNamedCurveParams *c = qvNamedCurveParams(index);
    return new Domain(c->a, c->b, c->field, c->generator, c->order, c->cofactor);
}

// One static per position: built on first use, destroyed at exit.
template <unsigned int I>
const QvGeneralDsaKeyDomain *object() {
    struct Holder {
        QvEpDsaKeyDomain *ep = nullptr;
        QvE2nDsaKeyDomain *e2n = nullptr;
        Holder() {
            if (qvNamedCurveParams(I)->binaryField) e2n = build<QvE2nDsaKeyDomain>(I);
            else ep = build<QvEpDsaKeyDomain>(I);
        }
        ~Holder() {
            delete ep;
            delete e2n;
        }
        Holder(const Holder &) = delete;
        Holder &operator=(const Holder &) = delete;
    };
    static const Holder holder;
    if (holder.ep != nullptr) return holder.ep;
    return holder.e2n;
}

typedef const QvGeneralDsaKeyDomain *(*Accessor)();

template <class Seq>
struct Table;

template <unsigned int... I>
struct Table<std::integer_sequence<unsigned int, I...>> {
    static constexpr Accessor entries[] = {&object<I>...};
};

template <unsigned int... I>
constexpr Accessor Table<std::integer_sequence<unsigned int, I...>>::entries[];

const Accessor *accessors() {
    return Table<std::make_integer_sequence<unsigned int, QV_NAMED_CURVE_COUNT>>::entries;
}

}  // namespace

const QvGeneralDsaKeyDomain *qvNamedCurveDomain(unsigned int index) {
    if (index >= QV_NAMED_CURVE_COUNT) return nullptr;
    return accessors()[index]();
}

const QvGeneralDsaKeyDomain *qvFindNamedCurveDomain(const char *name) {
    if (name == nullptr) return nullptr;
    for (unsigned int i = 0; i < QV_NAMED_CURVE_COUNT; ++i) {
        const QvNamedCurveParams *c = qvNamedCurveParams(i);
        if (c != nullptr && std::strcmp(c->name, name) == 0) return qvNamedCurveDomain(i);
    }
    return nullptr;
}
