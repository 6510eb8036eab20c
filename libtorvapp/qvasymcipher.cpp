#include "libtorvapp/qvasymcipher.h"

QvAsymCipher::~QvAsymCipher() = default;
