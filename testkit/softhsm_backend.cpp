// A backend module whose token is a SoftHSM2 token, so that real keys and
// signatures live behind the router. It is SoftHSM2's own function list
// with two changes: the slot list holds only the first slot with an
// initialised token, and that slot is described by the name of a PC/SC
// reader (by default "Virtual PCD 00 00", else TOKENHUB_TEST_READER), which
// is how the router knows in which reader the card of this backend sits.
// SoftHSM2 finds its tokens through SOFTHSM2_CONF; TOKENHUB_TEST_SOFTHSM
// names the library when it is not at the Debian path.
//
// Windows (under Wine) has no SoftHSM2: there the token is reached through
// the module host protocol, SoftHSM2 being served on the Linux side by
// p11-kit's server at the TCP port TOKENHUB_TEST_SOFTHSM_PORT, through the
// relay program TOKENHUB_TEST_RELAY.
#ifdef _WIN32
#include "rpc/client.h"
#else
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <cstring>

#include "tokenhub/pkcs11.h"

namespace {

CK_FUNCTION_LIST_PTR softhsm = nullptr;
CK_FUNCTION_LIST functionList;

const char *setting(const char *name, const char *fallback) {
  const char *value = std::getenv(name);
  return value && *value ? value : fallback;
}

// The first SoftHSM2 slot whose token has been initialised; 0 when none.
CK_SLOT_ID tokenSlot() {
  CK_SLOT_ID slots[16];
  CK_ULONG count = 16;
  if (softhsm->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return 0;
  for (CK_ULONG i = 0; i < count && i < 16; ++i) {
    CK_TOKEN_INFO info;
    if (softhsm->C_GetTokenInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) return slots[i];
  }
  return 0;
}

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  CK_SLOT_ID slot = tokenSlot();
  CK_ULONG n = slot ? 1 : 0;
  if (list && *count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (list && n) list[0] = slot;
  *count = n;
  return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  CK_RV rv = softhsm->C_GetSlotInfo(slot, info);
  if (rv != CKR_OK) return rv;
  const char *reader = setting("TOKENHUB_TEST_READER", "Virtual PCD 00 00");
  std::memset(info->slotDescription, ' ', sizeof info->slotDescription);
  size_t n = std::strlen(reader);
  std::memcpy(info->slotDescription, reader, n < sizeof info->slotDescription ? n : sizeof info->slotDescription);
  info->flags |= CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
  return CKR_OK;
}

}  // namespace

#ifdef _WIN32
extern "C" __declspec(dllexport) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppList) {
  if (!ppList) return CKR_ARGUMENTS_BAD;
  if (!softhsm) softhsm = tokenhub::rpc::hostedFunctionList(0, setting("TOKENHUB_TEST_RELAY", "tcp_relay.exe"),
                                                            setting("TOKENHUB_TEST_SOFTHSM_PORT", "0"));
#else
extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppList) {
  if (!ppList) return CKR_ARGUMENTS_BAD;
  if (!softhsm) {
    void *library = dlopen(setting("TOKENHUB_TEST_SOFTHSM", "/usr/lib/softhsm/libsofthsm2.so"), RTLD_NOW | RTLD_LOCAL);
    auto get = library ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
    if (!get || get(&softhsm) != CKR_OK || !softhsm) {
      softhsm = nullptr;
      return CKR_GENERAL_ERROR;
    }
  }
#endif
  functionList = *softhsm;
  functionList.C_GetSlotList = getSlotList;
  functionList.C_GetSlotInfo = getSlotInfo;
  *ppList = &functionList;
  return CKR_OK;
}
