// Kept for existing includes: the EC structures live in ecdomain.h, ecpubkey.h and ecprvkey.h.
#pragma once

#include "keys/ecdomain.h"
#include "keys/ecprvkey.h"
#include "keys/ecpubkey.h"
