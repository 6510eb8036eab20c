// Opening files whose kind matters: files that receive secrets (never through a
// symbolic link, never readable by others) and files read whole, such as
// configuration (regular files of bounded size only, never blocking on a FIFO).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// How a file that is to hold secrets is opened.
enum SecretFilePolicy {
    // An existing file of ours that others may read is refused.
    SECRET_FILE_REFUSE_SHARED = 0,
    // An existing file of ours that others may read is made owner-only first.
    SECRET_FILE_TIGHTEN_SHARED = 1,
};

// Opens path for appending secrets. The last component is never followed as a
// symbolic link; the file must be a regular file owned by the effective user and
// readable by its owner only (a new file is made 0600). Returns the descriptor,
// or -1 with *why (when given) saying in English what is wrong with the file.
int OpenSecretFileForAppend(const char* path, SecretFilePolicy policy, std::string* why);

// Largest configuration file read.
const uint64_t CONFIG_FILE_MAX_SIZE = 4 * 1024 * 1024;

// Opens path for reading when it is a regular file of at most maxSize bytes
// (symbolic links are followed). A FIFO or device is refused without blocking.
// Returns the stream, or null with *why (when given) saying why.
FILE* OpenBoundedRegularFile(const char* path, uint64_t maxSize, std::string* why);
