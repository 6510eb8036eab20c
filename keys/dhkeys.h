// Kept for existing includes: the DHParameter structure lives in keys/pkcs3dh.h.
#pragma once

#include "keys/pkcs3dh.h"
