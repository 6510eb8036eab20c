// Helpers shared by the key and key-domain tests: conversions between the
// library's numbers and OpenSSL's, used only as an independent reference.
#ifndef TESTS_LIBTORVAPP_KEYS_KEYS_SUPPORT_H
#define TESTS_LIBTORVAPP_KEYS_KEYS_SUPPORT_H

#include <openssl/bn.h>

#include <string>
#include <vector>

#include "libtorvapp/qvnumbers/qvn.h"
#include "tests/common/testsupport.h"

using testsupport::FromHexNumber;

std::vector<unsigned char> bnOctets(const BIGNUM *b);
QvN bnToQvN(const BIGNUM *b);
BIGNUM *qvnToBn(const QvN &n);
std::string firstLines(const char *text, unsigned int lines);
// The REASON line of a six-line exception text, without "REASON: ".
std::string reasonOf(const char *text);

#endif
