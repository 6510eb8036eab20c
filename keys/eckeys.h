// Kept for existing includes: the EC structures live in ecpubkey.h and ecprvkey.h.
#pragma once

#include "keys/ecprvkey.h"
#include "keys/ecpubkey.h"
