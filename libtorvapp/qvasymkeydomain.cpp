#include "libtorvapp/qvasymkeydomain.h"

#include <memory>

QvAsym::~QvAsym() = default;

QvAsymKeyDomain::~QvAsymKeyDomain() = default;

namespace {

[[noreturn]] void throwNoGroup(const char *text) { qvThrow<QvNotInitException>(text); }

// A null pointer stands for the empty string (the number 0).
QvN numberOf(const QvOctet *oct, unsigned int len) {
    if (oct == nullptr || len == 0) return QvN();
    return QvN(oct, len, 0);
}

}  // namespace

QvGeneralDsaKeyDomain::QvGeneralDsaKeyDomain() : group(nullptr), generator(nullptr) {}

QvGeneralDsaKeyDomain::QvGeneralDsaKeyDomain(const QvGeneralDsaKeyDomain &other)
    : QvAsymKeyDomain(other),
      group(other.group),
      generator(nullptr),
      groupOrder(other.groupOrder),
      order(other.order) {
    if (group != nullptr && other.generator != nullptr) generator = group->newElement(other.generator);
}

QvGeneralDsaKeyDomain &QvGeneralDsaKeyDomain::operator=(const QvGeneralDsaKeyDomain &other) {
    if (this == &other) return *this;
    QvGroupElem *g = nullptr;
    if (other.group != nullptr && other.generator != nullptr) g = other.group->newElement(other.generator);
    std::unique_ptr<QvGroupElem> guard(g);
    groupOrder = other.groupOrder;
    order = other.order;
    releaseGen();
    group = other.group;
    generator = guard.release();
    return *this;
}

QvGeneralDsaKeyDomain::~QvGeneralDsaKeyDomain() { releaseGen(); }

void QvGeneralDsaKeyDomain::releaseGen() {
    delete generator;
    generator = nullptr;
}

bool QvGeneralDsaKeyDomain::isComplete() const { return group != nullptr && generator != nullptr && !order.isZero(); }

bool QvGeneralDsaKeyDomain::isValid() const {
    if (!isComplete()) return false;
    if (!(groupOrder % order).isZero()) return false;
    std::unique_ptr<QvGroupElem> e(group->newElement(nullptr));
    std::unique_ptr<QvGroupElem> t(group->product(order, generator));
    return group->equals(e.get(), t.get());
}

void QvGeneralDsaKeyDomain::setGroup(const QvGroup *g) { group = g; }

void QvGeneralDsaKeyDomain::setGen(const QvGroupElem *g) {
    if (group == nullptr)
        throwNoGroup(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
            "FUNCTION: void QvGeneralDsaKeyDomain::setGen(const QvGroupElem *g)\nFILE: qvgeneraldsakeydomain\n"
            "LINE: 0\n");
    std::unique_ptr<QvGroupElem> n(group->newElement(g));
    n->precompute();
    releaseGen();
    generator = n.release();
}

void QvGeneralDsaKeyDomain::setGen(const QvOctet *oct, unsigned int len) {
    if (group == nullptr)
        throwNoGroup(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
            "FUNCTION: void QvGeneralDsaKeyDomain::setGen(const QvOctet *oct, unsigned int len)\n"
            "FILE: qvgeneraldsakeydomain\nLINE: 0\n");
    if (oct == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Null octet string.\n"
            "FUNCTION: void QvGeneralDsaKeyDomain::setGen(const QvOctet *oct, unsigned int len)\n"
            "FILE: qvgeneraldsakeydomain\nLINE: 0\n");
    std::unique_ptr<QvGroupElem> n(group->createNew(oct, len));
    n->precompute();
    releaseGen();
    generator = n.release();
}

unsigned int QvGeneralDsaKeyDomain::getGen(QvOctet *oct, unsigned int len) const {
    if (group == nullptr)
        throwNoGroup(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
            "FUNCTION: unsigned int QvGeneralDsaKeyDomain::getGen(QvOctet *oct, unsigned int len) const\n"
            "FILE: qvgeneraldsakeydomain\nLINE: 0\n");
    if (generator == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised generator.\n"
            "FUNCTION: unsigned int QvGeneralDsaKeyDomain::getGen(QvOctet *oct, unsigned int len) const\n"
            "FILE: qvgeneraldsakeydomain\nLINE: 0\n");
    return group->asOctetString(generator, oct, len);
}

void QvGeneralDsaKeyDomain::setGroupOrder(const QvModulus &m) { groupOrder = m; }

void QvGeneralDsaKeyDomain::setGroupOrder(const QvOctet *oct, unsigned int len) {
    groupOrder = QvModulus(numberOf(oct, len), QvModulus::OPT_MONTGOMERY);
}

void QvGeneralDsaKeyDomain::setOrder(const QvModulus &m) { order = m; }

void QvGeneralDsaKeyDomain::setOrder(const QvOctet *oct, unsigned int len) {
    order = QvModulus(numberOf(oct, len), QvModulus::OPT_MONTGOMERY);
}

void QvGeneralDsaKeyDomain::setCofactor(const QvN &h) { cofactor = h; }

void QvGeneralDsaKeyDomain::setCofactor(const QvOctet *oct, unsigned int len) { cofactor = numberOf(oct, len); }

unsigned int QvGeneralDsaKeyDomain::getGroupOrder(QvOctet *oct, unsigned int len) const {
    return groupOrder.asOctetString(oct, len, false);
}

unsigned int QvGeneralDsaKeyDomain::getOrder(QvOctet *oct, unsigned int len) const {
    return order.asOctetString(oct, len, false);
}

unsigned int QvGeneralDsaKeyDomain::getCofactor(QvOctet *oct, unsigned int len) const {
    return cofactor.asOctetString(oct, len, false);
}
