// Builds CK_ATTRIBUTE arrays for the object-model tests; the values live as long
// as the builder.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki.h"

class TestTemplate {
public:
  TestTemplate() = default;
  // Copies own their values: the entries are re-pointed at the new copies.
  TestTemplate(const TestTemplate& o) : m_attrs(o.m_attrs), m_index(o.m_index), m_store(o.m_store) { Repoint(); }
  TestTemplate& operator=(const TestTemplate& o) {
    m_attrs = o.m_attrs;
    m_index = o.m_index;
    m_store = o.m_store;
    Repoint();
    return *this;
  }
  TestTemplate& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG v) {
    return Raw(type, &v, sizeof v);
  }
  TestTemplate& Bool(CK_ATTRIBUTE_TYPE type, bool v) {
    CK_BBOOL b = v ? CK_TRUE : CK_FALSE;
    return Raw(type, &b, 1);
  }
  TestTemplate& Bytes(CK_ATTRIBUTE_TYPE type, const std::string& s) { return Raw(type, s.data(), s.size()); }
  TestTemplate& Raw(CK_ATTRIBUTE_TYPE type, const void* p, CK_ULONG len) {
    m_store.emplace_back(static_cast<const unsigned char*>(p), static_cast<const unsigned char*>(p) + len);
    m_attrs.push_back({type, len ? m_store.back().data() : nullptr, len});
    m_index.push_back(len ? static_cast<long>(m_store.size() - 1) : -1);
    return *this;
  }
  // An entry whose pointer and length are taken as given (hostile input).
  TestTemplate& Entry(CK_ATTRIBUTE_TYPE type, void* p, CK_ULONG len) {
    m_attrs.push_back({type, p, len});
    m_index.push_back(-1);
    return *this;
  }
  TestTemplate& Without(CK_ATTRIBUTE_TYPE type) {
    for (size_t i = 0; i < m_attrs.size(); ++i)
      if (m_attrs[i].type == type) {
        m_attrs.erase(m_attrs.begin() + static_cast<long>(i));
        m_index.erase(m_index.begin() + static_cast<long>(i));
        break;
      }
    return *this;
  }
  CK_ATTRIBUTE* data() { return m_attrs.empty() ? nullptr : m_attrs.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(m_attrs.size()); }

private:
  void Repoint() {
    for (size_t i = 0; i < m_attrs.size(); ++i)
      if (m_index[i] >= 0) m_attrs[i].pValue = m_store[static_cast<size_t>(m_index[i])].data();
  }
  std::vector<CK_ATTRIBUTE> m_attrs;
  std::vector<long> m_index;  // value in m_store, or -1 when given by pointer
  std::deque<std::vector<unsigned char>> m_store;
};

#define TT_ARGS(t) (t).data(), (t).size()
