#include "libtorvapp/qvnamedcurveobjects.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace {

template <class Domain>
Domain *build(unsigned int index) {
    const QvNamedCurveParams *c = qvNamedCurveParams(index);
    return new Domain(c->a, c->b, c->field, c->generator, c->order, c->cofactor);
}

// One curve's domain once built. The C++ runtime never destroys it (a
// function-local static without a destructor): a host's thread may still use
// it while the host exits; qvReleaseNamedCurveDomains deletes them.
struct Built {
    QvEpDsaKeyDomain *ep = nullptr;
    QvE2nDsaKeyDomain *e2n = nullptr;
    Built *next = nullptr;
};

std::atomic<Built *> g_built{nullptr};

// One static per position: built on first use.
template <unsigned int I>
const QvGeneralDsaKeyDomain *object() {
    struct Holder : Built {
        Holder() {
            if (qvNamedCurveParams(I)->binaryField) e2n = build<QvE2nDsaKeyDomain>(I);
            else ep = build<QvEpDsaKeyDomain>(I);
            next = g_built.load();
            while (!g_built.compare_exchange_weak(next, this)) {
            }
        }
    };
    static Holder holder;
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

void qvReleaseNamedCurveDomains() {
    for (Built *b = g_built.exchange(nullptr); b != nullptr; b = b->next) {
        delete b->ep;
        delete b->e2n;
        b->ep = nullptr;
        b->e2n = nullptr;
    }
}
