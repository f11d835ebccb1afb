#include "state/state.h"

namespace tokenhub {

RouterState router;
Lock libraryLock;
Lock tableLock;

const BackendRole backendRoles[kRoleCount] = {
    {"aetpkss1", 1, Common},
    {"LumeraSecurePKCS11", 1, Secure},
    {"Lumera3PKCS", 2, Common},
    {"LumeraSecure3PKCS", 2, Secure},
};

unsigned roleIndex(CardFamily family, uint32_t profile) {
  return (family == 1 ? 0u : 2u) + (profile == Common ? 0u : 1u);
}

}  // namespace tokenhub
