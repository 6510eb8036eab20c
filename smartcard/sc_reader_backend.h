// The reader back-end table: what SCReader needs of each back-end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smartcard/sc_errors.h"

class SCReader;

struct SCReaderBackend {
    const char* name;
    // Names of the back-end's readers.
    SCRESULT (*listReaders)(std::vector<std::string>* names, uint32_t mode);
    // The reader object for a name the back-end listed.
    SCRESULT (*createReader)(const char* name, SCReader** reader);
    // Clean-up of the back-end (unloads its library).
    void (*cleanup)();
    // Builds the back-end's process-wide state (SCReader::PrepareBackends).
    void (*prepare)();
};

const SCReaderBackend& scPcscBackend();
const SCReaderBackend& scDravokBackend();
