// A backend module whose token is a SoftHSM2 token, so that real keys and
// signatures live behind the router. It is SoftHSM2's own function list
// with two changes: the slot list holds only the first slot with an
// initialised token, and that slot is described by the name of a PC/SC
// reader (by default "Virtual PCD 00 00", else TOKENHUB_TEST_READER), which
// is how the router knows in which reader the card of this backend sits.
// SoftHSM2 finds its tokens through SOFTHSM2_CONF; TOKENHUB_TEST_SOFTHSM
// names the library when it is not at the Debian path. With
// TOKENHUB_TEST_READER_LISTED=1 (Linux) the slot is listed only while the
// card service lists that reader, as a vendor module that finds its readers
// through the service does: a reader attached later is a slot listed later.
// TOKENHUB_TEST_OTHER_READER then names a reader whose slot (SoftHSM2's
// free one, no key) is listed before it, while the service lists it.
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

// The first SoftHSM2 slot whose token is initialised (or, `initialised`
// false, is not yet: the free slot); 0 when none.
CK_SLOT_ID firstSlot(bool initialised) {
  CK_SLOT_ID slots[16];
  CK_ULONG count = 16;
  if (softhsm->C_GetSlotList(CK_FALSE, slots, &count) != CKR_OK) return 0;
  for (CK_ULONG i = 0; i < count && i < 16; ++i) {
    CK_TOKEN_INFO info;
    if (softhsm->C_GetTokenInfo(slots[i], &info) == CKR_OK && ((info.flags & CKF_TOKEN_INITIALIZED) != 0) == initialised)
      return slots[i];
  }
  return 0;
}
CK_SLOT_ID tokenSlot() { return firstSlot(true); }

const char *tokenReader() { return setting("TOKENHUB_TEST_READER", "Virtual PCD 00 00"); }

#ifdef _WIN32
bool listing() { return false; }
bool readerListed(const char *) { return true; }
#else
bool listing() { return std::strcmp(setting("TOKENHUB_TEST_READER_LISTED", "0"), "1") == 0; }
// Whether the card service lists the reader now (always, unless asked to look).
bool readerListed(const char *reader) {
  if (!listing()) return true;
  using Establish = long (*)(unsigned long, const void *, const void *, long *);
  using List = long (*)(long, const char *, char *, unsigned long *);
  using Release = long (*)(long);
  static void *pcsc = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!pcsc) return false;
  auto establish = reinterpret_cast<Establish>(dlsym(pcsc, "SCardEstablishContext"));
  auto list = reinterpret_cast<List>(dlsym(pcsc, "SCardListReaders"));
  auto release = reinterpret_cast<Release>(dlsym(pcsc, "SCardReleaseContext"));
  long context = 0;
  if (!establish || !list || !release || establish(2 /* system scope */, nullptr, nullptr, &context) != 0) return false;
  char names[4096] = {};
  unsigned long length = sizeof names - 2;
  bool found = false;
  if (list(context, nullptr, names, &length) == 0)
    for (const char *name = names; *name && !found; name += std::strlen(name) + 1) found = std::strcmp(name, reader) == 0;
  release(context);
  return found;
}
#endif

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  CK_SLOT_ID slots[2];
  CK_ULONG n = 0;
  const char *other = setting("TOKENHUB_TEST_OTHER_READER", "");
  if (listing() && *other && readerListed(other) && (slots[n] = firstSlot(false)) != 0) ++n;
  if (readerListed(tokenReader()) && (slots[n] = tokenSlot()) != 0) ++n;
  if (list && *count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  for (CK_ULONG i = 0; list && i < n; ++i) list[i] = slots[i];
  *count = n;
  return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  CK_RV rv = softhsm->C_GetSlotInfo(slot, info);
  if (rv != CKR_OK) return rv;
  const char *reader = slot == tokenSlot() ? tokenReader() : setting("TOKENHUB_TEST_OTHER_READER", "");
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
