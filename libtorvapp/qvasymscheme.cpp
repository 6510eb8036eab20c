#include "libtorvapp/qvasymscheme.h"

QvAsymScheme::~QvAsymScheme() = default;
