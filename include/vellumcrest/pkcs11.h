// PKCS#11 definitions used throughout the module, plus our vendor constants.
#pragma once

#include <p11-kit/pkcs11.h>

#include "vellumcrest/vendor.h"

#define VC_EXPORT __attribute__((visibility("default")))
