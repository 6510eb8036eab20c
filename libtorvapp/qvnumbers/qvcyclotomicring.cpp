// Cyclotomic rings over Z/NZ: the extension (N, m, Phi_m) and its elements.
#include "libtorvapp/qvnumbers/qvcyclotomic.h"

#include <new>

namespace {

template <class F>
void guardAlloc(F f, std::uint64_t bytes, const char *file, const char *line)
{
    try {
        f();
    } catch (const std::bad_alloc &) {
        throw QvMemException(bytes, file, line);
    }
}

} // namespace

int moebius(QvWord n)
{
    if (n == 0) return 0;
    int r = 1;
    for (QvWord p = 2; static_cast<std::uint64_t>(p) * p <= n; ++p) {
        if (n % p) continue;
        n /= p;
        if (n % p == 0) return 0;
        r = -r;
    }
    if (n > 1) r = -r;
    return r;
}

unsigned int cyclotomicPolynomial(std::int32_t *poly, QvWord m)
{
    // Numerator and denominator as products of (x^e - 1); coefficients wrap
    // in 32 bits like the stored result.
    std::vector<std::uint32_t> num, den;
    guardAlloc([&] {
        num.assign(20u * m + 1, 0);
        den.assign(20u * m + 1, 0);
    }, 2ull * 20u * m * sizeof(QvWord), "qvnumbers/cyclotomicpolynomial", "41");
    num[0] = 1;
    den[0] = 1;
    unsigned int numDeg = 0, denDeg = 0;
    auto mulBy = [](std::vector<std::uint32_t> &p, unsigned int &deg, QvWord e) {
        // p := p * (x^e - 1) = -p + x^e p
        for (unsigned int i = deg + e + 1; i-- > 0;) {
            std::uint32_t v = 0u - p[i];
            if (i >= e) v += p[i - e];
            p[i] = v;
        }
        deg += e;
    };
    auto take = [&](QvWord e) {
        const int mu = moebius(m / e);
        if (mu == 1) mulBy(num, numDeg, e);
        else if (mu == -1) mulBy(den, denDeg, e);
    };
    for (QvWord e = 1; static_cast<std::uint64_t>(e) * e <= m; ++e) {
        if (m % e) continue;
        take(e);
        if (e != m / e) take(m / e);
    }
    // Exact division by the monic denominator.
    const unsigned int deg = numDeg - denDeg;
    std::vector<std::uint32_t> quot(deg + 1, 0);
    for (unsigned int i = numDeg + 1; i-- > denDeg;) {
        const std::uint32_t c = num[i];
        quot[i - denDeg] = c;
        if (c)
            for (unsigned int j = 0; j <= denDeg; ++j) num[i - denDeg + j] -= c * den[j];
    }
    for (unsigned int i = 0; i <= deg; ++i) poly[i] = static_cast<std::int32_t>(quot[i]);
    return deg;
}

// ---------------------------------------------------------------- extension

QvCyclotomicExtension::QvCyclotomicExtension() : QvModulus(), polynomial(), degree(0), order(0), work(), tmp() {}

QvCyclotomicExtension::QvCyclotomicExtension(QvWord m, QvWord p, const QvN &n)
    : QvModulus(n, 8), polynomial(), degree(0), order(m), work(), tmp()
{
    degree = (p - 1) * (m / p);
    guardAlloc([&] { polynomial.assign(m + 1, 0); }, (m + 1) * 4ull, "qvnumbers/qvcyclotomicextension", "52");
    for (QvWord i = 0; i < p; ++i) polynomial[i * (m / p)] = 1;
    allocate();
}

QvCyclotomicExtension::QvCyclotomicExtension(QvWord m, const QvN &n)
    : QvModulus(n, 8), polynomial(), degree(0), order(m), work(), tmp()
{
    guardAlloc([&] { polynomial.assign(m + 1, 0); }, (m + 1) * 4ull, "qvnumbers/qvcyclotomicextension", "62");
    degree = cyclotomicPolynomial(polynomial.data(), m);
    allocate();
}

QvCyclotomicExtension::QvCyclotomicExtension(const QvCyclotomicExtension &other)
    : QvModulus(other), polynomial(other.polynomial), degree(other.degree), order(other.order), work(), tmp()
{
    if (!polynomial.empty()) allocate();
}

QvCyclotomicExtension &QvCyclotomicExtension::operator=(const QvCyclotomicExtension &other)
{
    if (this != &other) {
        QvModulus::operator=(other);
        polynomial = other.polynomial;
        degree = other.degree;
        order = other.order;
        work.clear();
        tmp = QvZn();
        if (!polynomial.empty()) allocate();
    }
    return *this;
}

QvCyclotomicExtension::~QvCyclotomicExtension() {}

void QvCyclotomicExtension::allocate()
{
    guardAlloc([&] {
        work.clear();
        work.reserve(order + degree);
        for (unsigned int i = 0; i < order + degree; ++i) work.emplace_back(0, this);
        tmp = QvZn(0, this);
    }, (order + degree) * 8ull * getWordCount(), "qvnumbers/qvcyclotomicextension", "95");
}

void QvCyclotomicExtension::reduce(QvZn *c, unsigned int top) const
{
    const unsigned int d = degree;
    for (unsigned int i = top + 1; i-- > d;) {
        QvZn &ci = c[i];
        if (ci == 0u) continue;
        for (unsigned int j = 0; j < d; ++j) {
            const std::int32_t f = polynomial[j];
            if (f == 0) continue;
            QvZn &target = c[i - d + j];
            if (f == 1) {
                target -= ci;
            } else if (f == -1) {
                target += ci;
            } else {
                // Other coefficients by their signed value (Phi_m of a
                // composite m can hold -2 and the like).
                const std::int64_t fv = f;
                tmp = QvZn(static_cast<int>(fv < 0 ? -fv : fv), this);
                tmp *= ci;
                if (fv > 0) target -= tmp;
                else target += tmp;
            }
        }
        ci = 0;
    }
}

// ---------------------------------------------------------------- elements

QvCyclotomicRing::QvCyclotomicRing(const QvCyclotomicExtension *e) : coef(), ext(e)
{
    guardAlloc([&] {
        coef.reserve(e->order);
        for (unsigned int i = 0; i < e->order; ++i) coef.emplace_back(0, e);
    }, e->order * 8ull * e->getWordCount(), "qvnumbers/qvcyclotomicring", "30");
}

QvCyclotomicRing::QvCyclotomicRing(int a, const QvCyclotomicExtension *e) : QvCyclotomicRing(e)
{
    setInt(a);
}

QvCyclotomicRing::QvCyclotomicRing(const QvWord *v, unsigned int L, const QvCyclotomicExtension *e)
    : QvCyclotomicRing(e)
{
    assign(v, L);
}

QvCyclotomicRing::QvCyclotomicRing(const QvCyclotomicRing &other) : coef(other.coef), ext(other.ext) {}

QvCyclotomicRing &QvCyclotomicRing::operator=(const QvCyclotomicRing &other)
{
    if (this == &other) return *this;
    if (ext != other.ext || coef.size() != other.coef.size()) {
        guardAlloc([&] { coef = other.coef; }, other.coef.size() * 8ull * other.ext->getWordCount(),
                   "qvnumbers/cr_assign", "22");
        ext = other.ext;
        return *this;
    }
    for (size_t i = 0; i < coef.size(); ++i) coef[i] = other.coef[i];
    return *this;
}

QvCyclotomicRing::~QvCyclotomicRing() {}

void QvCyclotomicRing::assign(const QvWord *v, unsigned int L)
{
    for (auto &c : coef) c = 0;
    QvZn &t = ext->tmp;
    for (unsigned int i = 0; i < L; ++i) {
        if (v[i] == 0) continue;
        t = QvZn(QvN(v[i], 1), ext);
        coef[i % ext->order] += t;
    }
    reduce();
}

void QvCyclotomicRing::setInt(int a)
{
    coef[0] = QvZn(a, ext);
    for (size_t i = 1; i < coef.size(); ++i) coef[i] = 0;
}

void QvCyclotomicRing::reduce()
{
    if (ext->order == 0) return;
    ext->reduce(coef.data(), ext->order - 1);
}

QvCyclotomicRing &QvCyclotomicRing::operator*=(const QvCyclotomicRing &b)
{
    if (&b == this) {
        square();
        return *this;
    }
    const unsigned int d = ext->degree;
    std::vector<QvZn> &w = ext->work;
    QvZn &t = ext->tmp;
    for (unsigned int k = 0; k < 2 * d; ++k) w[k] = 0;
    for (unsigned int i = 0; i < d; ++i) {
        if (coef[i] == 0u) continue;
        for (unsigned int j = 0; j < d; ++j) {
            t = coef[i];
            t *= b.coef[j];
            w[i + j] += t;
        }
    }
    if (d) ext->reduce(w.data(), 2 * d - 1);
    for (unsigned int i = 0; i < d; ++i) coef[i] = w[i];
    return *this;
}

void QvCyclotomicRing::square()
{
    const unsigned int d = ext->degree;
    std::vector<QvZn> &w = ext->work;
    QvZn &t = ext->tmp;
    if (ext->order == 3 || ext->order == 4) {
        // Closed forms with two products: m = 3 (zeta^2 = -1 - zeta):
        // c0 = (a0 + a1)(a0 - a1), c1 = (2 a0 - a1) a1; m = 4 (zeta^2 = -1):
        // c0 = (a0 + a1)(a0 - a1), c1 = 2 a0 a1.
        QvZn &s = w[0], &u = w[1];
        s = coef[0];
        s += coef[1];
        u = coef[0];
        u -= coef[1];
        s *= u; // c0
        t = coef[0];
        t += coef[0];
        if (ext->order == 3) t -= coef[1];
        t *= coef[1]; // c1
        coef[0] = s;
        coef[1] = t;
        return;
    }
    for (unsigned int k = 0; k < 2 * d; ++k) w[k] = 0;
    for (unsigned int i = 0; i < d; ++i) {
        if (coef[i] == 0u) continue;
        t = coef[i];
        t *= coef[i];
        w[2 * i] += t;
        for (unsigned int j = i + 1; j < d; ++j) {
            t = coef[i];
            t *= coef[j];
            w[i + j] += t;
            w[i + j] += t;
        }
    }
    if (d) ext->reduce(w.data(), 2 * d - 1);
    for (unsigned int i = 0; i < d; ++i) coef[i] = w[i];
}

QvCyclotomicRing &QvCyclotomicRing::operator*=(QvWord wv)
{
    QvZn f(QvN(wv, 1), ext);
    for (unsigned int i = 0; i < ext->degree; ++i) coef[i] *= f;
    return *this;
}

QvCyclotomicRing &QvCyclotomicRing::power(QvWord e)
{
    QvCyclotomicRing result(1, ext), base(*this);
    while (e) {
        if (e & 1) result *= base;
        e >>= 1;
        if (e) base.square();
    }
    return *this = result;
}

QvCyclotomicRing &QvCyclotomicRing::power(const QvN &e)
{
    std::vector<QvCyclotomicRing> table;
    table.reserve(16);
    table.emplace_back(1, ext);
    table.push_back(*this);
    for (unsigned int i = 2; i < 16; ++i) {
        table.push_back(table[i - 1]);
        table[i] *= *this;
    }
    QvCyclotomicRing result(1, ext);
    bool started = false;
    const QvWord *words = e.getWords();
    for (unsigned int k = e.getWordCount(); k-- > 0;) {
        for (int sh = 28; sh >= 0; sh -= 4) {
            if (started)
                for (int s = 0; s < 4; ++s) result.square();
            const unsigned int digit = (words[k] >> sh) & 0xF;
            if (digit) {
                if (started) {
                    result *= table[digit];
                } else {
                    result = table[digit];
                    started = true;
                }
            }
        }
    }
    return *this = result;
}

QvCyclotomicRing &QvCyclotomicRing::galoisProduct(const QvWord *e)
{
    const QvWord m = ext->order;
    QvCyclotomicRing result(1, ext), sigma(ext);
    for (QvWord x = 1; x < m; ++x) {
        if (e[x] == 0 || gcdWord(x, m) != 1) continue;
        for (QvWord i = 0; i < m; ++i)
            sigma.coef[static_cast<std::uint64_t>(i) * x % m] = coef[i];
        sigma.reduce();
        sigma.power(e[x]);
        result *= sigma;
    }
    return *this = result;
}

bool QvCyclotomicRing::operator==(const QvCyclotomicRing &b) const
{
    for (unsigned int i = 0; i < ext->degree; ++i)
        if (coef[i] != b.coef[i]) return false;
    return true;
}

bool QvCyclotomicRing::operator==(int a) const
{
    if (ext->degree == 0) return false;
    if (coef[0] != QvZn(a, ext)) return false;
    for (unsigned int i = 1; i < ext->degree; ++i)
        if (coef[i] != 0u) return false;
    return true;
}

QvWord QvCyclotomicRing::findExponent() const
{
    const QvWord m = ext->order;
    QvCyclotomicRing z(ext);
    for (QvWord h = m; h >= 1; --h) {
        for (auto &c : z.coef) c = 0;
        z.coef[h % m] = 1;
        z.reduce();
        if (z == *this) return h;
    }
    return 0;
}

QvCyclotomicRing operator*(const QvCyclotomicRing &a, const QvCyclotomicRing &b)
{
    QvCyclotomicRing r(a);
    r *= b;
    return r;
}

QvCyclotomicRing operator*(const QvCyclotomicRing &a, QvWord w)
{
    QvCyclotomicRing r(a);
    r *= w;
    return r;
}

QvCyclotomicRing power(const QvCyclotomicRing &a, QvWord e)
{
    QvCyclotomicRing r(a);
    r.power(e);
    return r;
}

QvCyclotomicRing power(const QvCyclotomicRing &a, const QvN &e)
{
    QvCyclotomicRing r(a);
    r.power(e);
    return r;
}

QvCyclotomicRing galoisProduct(const QvCyclotomicRing &a, const QvWord *e)
{
    QvCyclotomicRing r(a);
    r.galoisProduct(e);
    return r;
}

int rootOfUnityCheck(const QvCyclotomicRing &a, QvWord p, QvWord m)
{
    (void)m;
    const QvWord h = a.findExponent();
    if (h == 0) return 0;
    return h % p == 0 ? 1 : 2;
}
