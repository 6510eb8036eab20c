// Rewriting a file of records in place, one card command at a time, in an
// order that keeps the file readable should the card be pulled between two
// commands: after every step the file holds whole records only, each one as
// before or as after the rewrite, none that both hold lost, none twice.
//
// A file of records is DER elements one after the other; octets 00 and FF
// between and after them are filler, and a file whose first octet is filler
// holds no records (the directory files, the ODF, EF.DIR; TokenInfo is a file of
// one record).
#pragma once

#include <cstdint>
#include <vector>

// One UPDATE BINARY: the octets to write at an offset.
struct SCPkcs15WriteStep {
    uint32_t offset = 0;
    std::vector<uint8_t> data;
};

// Steps that turn the file `from` into `to` (both `len` octets), none longer than
// `part` octets. True when every step leaves the file as described above; false
// when no such order was found (a record longer than a command, octets that are
// no records, more than 96 records or 16384 octets): the steps then write the
// changed octets front to back.
bool ScPkcs15PlanRewrite(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps);
