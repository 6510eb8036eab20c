// Base64 codec routines (RFC 4648 alphabet, "=" padding) and a stream view that
// presents the decoded bytes of Base64 text held in another stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/genericfile.h"

// n = 3, 2 or 1 input bytes; always writes 4 characters and returns 4.
int Base64EncodeGroup(const uint8_t* in, int n, char out[4]);
// len < 0: strlen. No line breaks, no NUL; returns the characters written.
int Base64EncodeText(const char* data, int len, char* out);
// 0-63, or 127 for a character outside the alphabet.
int Base64CharValue(int c);
// 3, 2 or 1 bytes; 0 for an invalid quad.
int Base64DecodeQuad(const char in[4], uint8_t* out);
// len < 0: strlen. The text is whole quads without white space; padding only at the
// end. Returns the bytes decoded (out NULL: counted only), 0 on any error.
int Base64DecodeText(const char* text, int len, uint8_t* out);
// len ~0: strlen. CR LF after each full line (lineLength 0: no breaks; rounded up to a
// multiple of 4). Returns the characters produced (breaks not counted), -2 write failure.
long Base64EncodeToFile(const void* data, size_t len, GenericFile* dst, int lineLength);
// Encodes n bytes of src (0: all of it). -1 read failure or short read, -2 write failure.
long Base64EncodeStream(GenericFile* src, GenericFile* dst, size_t n, int lineLength);
// Skips " ", CR, LF. Returns the bytes decoded; 0 for invalid or incomplete input,
// -2 write failure. maxOut 0: no limit.
long Base64DecodeToFile(const char* text, size_t len, GenericFile* dst, size_t maxOut);
// nIn 0: all of src. *consumed (when given) grows by the characters taken.
long Base64DecodeStream(GenericFile* src, GenericFile* dst, size_t nIn, size_t maxOut, size_t* consumed);

class Base64File : public GenericFile {
public:
    // binFile holds the Base64 text (not owned); the view starts at its current
    // position. lineLength applies when writing (0: no line breaks); limit caps the
    // characters taken when reading (0: none).
    Base64File(GenericFile* binFile, int lineLength = 64, size_t limit = 0);
    ~Base64File() override;

    int16_t Read(size_t n, void* buf, size_t* got) override;
    int16_t Write(size_t n, const void* data) override;
    int16_t Seek(long pos) override;
    int64_t Tell() override { return m_position; }
    int64_t Size() override;

    int16_t Restart(long offset, size_t limit);
    // Writes the pending bytes as the final padded group (also done by the destructor).
    int16_t Finish();

private:
    Base64File(const Base64File&) = default;
    Base64File& operator=(const Base64File&) = delete;
    void ClearState();

    GenericFile* m_pBin;
    uint8_t m_pending[3] = {0, 0, 0};
    int m_nPending = 0;
    char m_carry[4] = {0, 0, 0, 0};
    int m_nCarry = 0;
    int m_nLineLength;
    int m_nColumn = 0;
    int64_t m_nStartOffset = 0;
    int64_t m_position = 0;
    int64_t m_nSizeCache = -1;
    size_t m_nLimit;
    size_t m_nConsumed = 0;
    bool m_bWriting = false;
    bool m_bEnded = false;  // a padded quad was read: only white space may follow
};
