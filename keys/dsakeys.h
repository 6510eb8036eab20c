// Kept for existing includes: the DSA structures live in dsaparms.h, dsapukey.h and dsaprkey.h.
#pragma once

#include "keys/dsaparms.h"
#include "keys/dsaprkey.h"
#include "keys/dsapukey.h"
