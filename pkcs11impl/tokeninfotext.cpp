// TokenInfo text for the trace log.
#include "pkcs11impl/tokeninfotext.h"

#include <cinttypes>
#include <cstdio>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnint.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs11impl/p11names.h"
#include "pkcs11impl/scpkcs15lib.h"

namespace {

void AppendHex(std::string* out, const uint8_t* octets, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < len; ++i) {
    *out += kDigits[octets[i] >> 4];
    *out += kDigits[octets[i] & 0xF];
  }
}

// The value of at most 4 octets as a number.
unsigned long SmallValue(const uint8_t* octets, size_t len) {
  unsigned long v = 0;
  for (size_t i = 0; i < len; ++i) v = (v << 8) | octets[i];
  return v;
}

void AppendText(std::string* out, const uint8_t* data, long len, const char* none) {
  if (data == nullptr || len <= 0)
    *out += none;
  else
    out->append(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
}

void AppendOid(std::string* out, const ASNobjectId& oid) {
  std::string text;
  if (SCPkcs15Lib::OidText(&text, oid))
    *out += text;
  else
    *out += "<invalid>";
}

}  // namespace

void FormatOctetsAsInteger(std::string* out, const uint8_t* octets, size_t len, int mode) {
  if (out == nullptr) return;
  char buf[64];
  if (octets == nullptr) len = 0;
  if (mode == kNumberHex || len > 4) {
    *out += "0x";
    if (len == 0) *out += "00";
    AppendHex(out, octets, len);
    return;
  }
  const unsigned long v = SmallValue(octets, len);
  if (mode == kNumberDecimal)
    std::snprintf(buf, sizeof buf, "%lu", v);
  else if (mode == kNumberShortHex)
    std::snprintf(buf, sizeof buf, "0x%02lx", v);
  else
    std::snprintf(buf, sizeof buf, "%lu (0x%02lx)", v, v);
  *out += buf;
}

void FormatAsnInteger(std::string* out, const ASNinteger& value, int mode) {
  const uint8_t* data = value.getData();
  size_t len = value.getValueLength() > 0 ? static_cast<size_t>(value.getValueLength()) : 0;
  // A leading zero octet only keeps a positive value positive: it is not part of the number.
  while (len > 1 && data != nullptr && data[0] == 0) {
    ++data;
    --len;
  }
  FormatOctetsAsInteger(out, data, len, mode);
}

void FormatBitString(std::string* out, const ASNbitstr& bits, bool asFlags) {
  if (out == nullptr) return;
  const long n = bits.getByteLength();
  const uint8_t* data = bits.getBits();
  if (n <= 0 || data == nullptr) {
    *out += "<empty>";
    return;
  }
  const uint8_t unused = bits.getUnusedBits();
  if (asFlags && n <= 4 && unused <= 7) {
    *out += "Flags: ";
    const long used = n * 8 - unused;
    for (long i = 0; i < used; ++i) *out += (data[i / 8] & (0x80 >> (i % 8))) ? '1' : '0';
    return;
  }
  if (unused != 0) {
    *out += std::to_string(unused);
    *out += " unused bits: ";
  }
  AppendHex(out, data, static_cast<size_t>(n));
}

void FormatTokenInfo(std::string* out, const ASNPkcs15TokenInfo& ti) {
  if (out == nullptr) return;
  std::string& s = *out;
  s += "Token info version: ";
  FormatAsnInteger(&s, ti.version, kNumberShortHex);
  s += "\nSerial number:   ";
  if (ti.wasSerialNumber && ti.serialNumber.getLength() > 0)
    AppendHex(&s, ti.serialNumber.getData(), static_cast<size_t>(ti.serialNumber.getLength()));
  else
    s += "<none>";
  s += "\nManufacturer ID: ";
  AppendText(&s, ti.wasManufacturerID ? ti.manufacturerID.getData() : nullptr, ti.manufacturerID.getLength(),
             "<empty>");
  s += "\nToken label:     ";
  AppendText(&s, ti.wasLabel ? ti.label.getData() : nullptr, ti.label.getLength(), "<empty>");
  s += "\nToken flags:     ";
  FormatBitString(&s, ti.tokenflags, true);
  if (ti.wasSeInfo) {
    s += "\nSecurity Environment Info List:";
    if (ti.seInfo.GetCount() == 0) s += " <empty list>";
    for (POSITION p = ti.seInfo.GetHeadPosition(); p;) {
      const ASNPkcs15SecEnvInfo* e = ti.seInfo.GetNext(p);
      s += "\n  se: ";
      FormatAsnInteger(&s, e->se, kNumberBoth);
      if (e->wasOwner) {
        s += ", owner: ";
        AppendOid(&s, e->owner);
      }
      if (e->wasAid) {
        s += ", aid: ";
        if (e->aid.getLength() > 0)
          AppendHex(&s, e->aid.getData(), static_cast<size_t>(e->aid.getLength()));
        else
          s += "<empty>";
      }
    }
  }
  if (ti.wasRecordInfo) {
    s += "\nRecord info:";
    static const char* const kNames[7] = {"\noDFRRecordLength: ",  "\nprKDFRecordLength: ", "\npuKDFRecordLength: ",
                                          "\nsKDFRecordLength: ",  "\ncDFRecordLength: ",   "\ndODFRecordLength: ",
                                          "\naODFRecordLength: "};
    const ASNinteger* members[7] = {&ti.recordInfo.oDFRecordLength,  &ti.recordInfo.prKDFRecordLength,
                                    &ti.recordInfo.puKDFRecordLength, &ti.recordInfo.sKDFRecordLength,
                                    &ti.recordInfo.cDFRecordLength,  &ti.recordInfo.dODFRecordLength,
                                    &ti.recordInfo.aODFRecordLength};
    for (int i = 0; i < 7; ++i) {
      if (!ti.recordInfo.present[i]) continue;
      s += kNames[i];
      FormatAsnInteger(&s, *members[i], kNumberDecimal);
    }
  }
  if (ti.wasSupportedAlgorithms) {
    s += "\nSupported Algorithm List:";
    if (ti.supportedAlgorithms.GetCount() == 0) s += " <empty list>";
    for (POSITION p = ti.supportedAlgorithms.GetHeadPosition(); p;) {
      const ASNPkcs15AlgorithmInfo* a = ti.supportedAlgorithms.GetNext(p);
      s += "\n  Algo ";
      FormatAsnInteger(&s, a->reference, kNumberDecimal);
      s += ":\n    mechanism: ";
      const uint8_t* m = a->algorithm.getData();
      size_t mlen = a->algorithm.getValueLength() > 0 ? static_cast<size_t>(a->algorithm.getValueLength()) : 0;
      while (mlen > 1 && m != nullptr && m[0] == 0) {
        ++m;
        --mlen;
      }
      if (m != nullptr && mlen > 0 && mlen <= 4) {
        char name[96];
        const char* text = GetMechanismName(static_cast<CK_MECHANISM_TYPE>(SmallValue(m, mlen)), name, sizeof name);
        s += text != nullptr ? text : "?";
      }
      else
        FormatOctetsAsInteger(&s, m, mlen, kNumberBoth);
      s += "\n    parameters: ";
      if (a->parameters.getLength() > 0) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "[%02x] ", a->parameters.getTag());
        s += tag;
        AppendHex(&s, a->parameters.getData(), static_cast<size_t>(a->parameters.getLength()));
      } else {
        s += "<empty>";
      }
      s += "\n    operations: ";
      FormatBitString(&s, a->supportedOperations, true);
      if (a->wasAlgId) {
        s += "\n    algo id: ";
        AppendOid(&s, a->algId);
      }
      if (a->wasAlgRef) {
        s += "\n    card reference: ";
        FormatAsnInteger(&s, a->algRef, kNumberBoth);
      }
    }
  }
}
