// Decodes arbitrary input as each codec type (the first octet picks the type and
// the decoding flags), and checks decode(encode(x)) == x for what decodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asngent.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnu8str.h"
#include "support/memfile.h"

namespace {

class Alternatives : public ASNchoice {
public:
    explicit Alternatives(uint32_t t) : ASNchoice(t), tagged(0x80) { tagged.setExplicitTag(); }
    ASNoctstr str;
    ASNinteger num;
    ASNobjectId oid;
    ASNinteger tagged;
    ASNobject** getObjectList() override {
        l_[0] = &str;
        l_[1] = &num;
        l_[2] = &oid;
        l_[3] = &tagged;
        l_[4] = nullptr;
        return l_;
    }

private:
    ASNobject* l_[5];
};

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    long n = o.encodeToVector(v);
    if (n != o.lenOfObject()) abort();
    return v;
}

template <typename T, typename Make>
void Check(const uint8_t* data, size_t size, uint8_t flags, Make make) {
    T obj = make();
    MemFile in(data, size, false);
    long r = obj.read(&in, static_cast<long>(size), flags);
    if (r <= 0) return;
    if (r > static_cast<long>(size) || in.Tell() != r) abort();
    std::vector<uint8_t> e1 = Enc(obj);
    T again = make();
    if (again.readVector(e1) != static_cast<long>(e1.size())) abort();
    if (Enc(again) != e1) abort();
    uint8_t digest[20];
    obj.digest(1, digest, sizeof digest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t sel = data[0];
    data++;
    size--;
    uint8_t flags = (sel & 0x80) ? ASN_FLAG_CONST : 0;
    switch (sel & 0x0F) {
        case 0: Check<ASNoctstr>(data, size, flags, [] { return ASNoctstr(); }); break;
        case 1: Check<ASNinteger>(data, size, flags, [] { return ASNinteger(); }); break;
        case 2: Check<ASNobjectId>(data, size, flags, [] { return ASNobjectId(); }); break;
        case 3: Check<ASNbitstr>(data, size, flags, [] { return ASNbitstr(); }); break;
        case 4: Check<ASNgenTime>(data, size, 0, [] { return ASNgenTime(); }); break;
        case 5: Check<ASNUtf8String>(data, size, flags, [] { return ASNUtf8String(); }); break;
        case 6: Check<ASNbool>(data, size, 0, [] { return ASNbool(); }); break;
        case 7: Check<ASNnull>(data, size, 0, [] { return ASNnull(); }); break;
        case 8: {
            Alternatives c(0);
            MemFile in(data, size, false);
            if (c.read(&in, static_cast<long>(size)) > 0) {
                std::vector<uint8_t> e = Enc(c);
                Alternatives d(0);
                if (d.readVector(e) != static_cast<long>(e.size()) || Enc(d) != e) abort();
            }
            break;
        }
        case 9: {
            Alternatives c(0xA3);
            MemFile in(data, size, false);
            if (c.read(&in, static_cast<long>(size)) > 0) {
                std::vector<uint8_t> e = Enc(c);
                Alternatives d(0xA3);
                if (d.readVector(e) != static_cast<long>(e.size()) || Enc(d) != e) abort();
            }
            break;
        }
        case 10: {
            Check<ASNoctstr>(data, size, 0, [] {
                ASNoctstr t(0x81);
                t.setExplicitTag();
                return t;
            });
            break;
        }
        case 11: {
            // Resumable decoding in pieces agrees with the one-shot decoding.
            size_t piece = 1 + (sel >> 4);
            ASNoctstr whole;
            MemFile in(data, size, false);
            long r = whole.read(&in, static_cast<long>(size));
            ASNoctstr part;
            long sr = EASN_MORE;
            size_t at = 0;
            while (sr == EASN_MORE && at < size) {
                size_t n = size - at < piece ? size - at : piece;
                MemFile mf(data + at, n, false);
                sr = part.readStreamed(&mf);
                if (sr == EASN_MORE && static_cast<size_t>(mf.Tell()) != n) abort();
                at += static_cast<size_t>(mf.Tell());
            }
            if (r > 0) {
                if (sr != r) abort();
                if (!(whole.getLength() == part.getLength())) abort();
                if (whole.getLength() > 0 &&
                    memcmp(whole.getData(), part.getData(), static_cast<size_t>(whole.getLength())) != 0)
                    abort();
            }
            break;
        }
        default: {
            // Text conversions of object identifiers.
            std::string text(reinterpret_cast<const char*>(data), size);
            ASNobjectId o;
            if (o.setText(text.c_str()) == 1) {
                std::string back;
                if (o.getText(back) != 1) abort();
                ASNobjectId p;
                if (p.setText(back.c_str()) != 1 || !(p == o)) abort();
            }
            uint8_t buf[64];
            ASNobjectId::textToBer(text.c_str(), buf, sizeof buf);
            char tb[128];
            ASNobjectId::berToText(data, static_cast<long>(size), tb, sizeof tb);
            break;
        }
    }
    return 0;
}
