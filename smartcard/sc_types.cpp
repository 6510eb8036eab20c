#include "smartcard/sc_types.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
void WipeVector(std::vector<uint8_t>& v) {
    volatile uint8_t* p = v.data();
    for (size_t i = 0; i < v.size(); ++i) p[i] = 0;
}
}  // namespace

SCByteBuffer& SCByteBuffer::operator=(const SCByteBuffer& o) {
    if (this != &o) Set(o.Data(), o.Size());
    return *this;
}

bool SCByteBuffer::Set(const uint8_t* data, size_t len) {
    if (data == nullptr && len != 0) return false;
    std::vector<uint8_t> next(data, data + len);
    Clear();
    m_data.swap(next);
    return true;
}

void SCByteBuffer::Clear() {
    WipeVector(m_data);
    m_data.clear();
}

bool SCByteBuffer::IsZero() const {
    for (uint8_t b : m_data)
        if (b != 0) return false;
    return true;
}

void SCByteBuffer::Resize(size_t len) {
    if (len <= m_data.capacity()) {
        if (len < m_data.size()) {
            volatile uint8_t* p = m_data.data();
            for (size_t i = len; i < m_data.size(); ++i) p[i] = 0;
        }
        m_data.resize(len, 0);
        return;
    }
    std::vector<uint8_t> next(len, 0);
    if (!m_data.empty()) std::memcpy(next.data(), m_data.data(), m_data.size());
    Clear();
    m_data.swap(next);
}

SCValueSet::SCValueSet(const SCValueSet& o) { *this = o; }

SCValueSet& SCValueSet::operator=(const SCValueSet& o) {
    if (this == &o) return *this;
    count = 0;
    for (int32_t i = 0; i < o.count; ++i)
        if (!Add(o.items[i])) throw std::bad_alloc();
    return *this;
}

SCValueSet::~SCValueSet() { std::free(items); }

bool SCValueSet::Add(uint16_t value) {
    if (Contains(value)) return true;
    if (count == capacity) {
        const int32_t grown = capacity + 8;
        void* p = std::realloc(items, sizeof(uint16_t) * static_cast<size_t>(grown));
        if (p == nullptr) return false;
        items = static_cast<uint16_t*>(p);
        capacity = grown;
    }
    items[count++] = value;
    return true;
}

bool SCValueSet::Contains(uint16_t value) const {
    for (int32_t i = 0; i < count; ++i)
        if (items[i] == value) return true;
    return false;
}
