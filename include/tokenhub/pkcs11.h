// PKCS#11 types for tokenhub and its test modules: the p11-kit copy of the
// standard header, with the standard (not the GNU) names. On Windows the
// header packs the structures to 1 byte and CK_ULONG is 32 bits wide, which
// is the layout the backend modules use.
#pragma once
#ifndef CRYPTOKI_EXPORTS
#define CRYPTOKI_EXPORTS 1
#endif
#include <p11-kit/pkcs11.h>
