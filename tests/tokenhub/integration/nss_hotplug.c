/* NSS, as Firefox and Thunderbird use a security device, with tokenhub
 * loaded once: a reader plugged in afterwards is found through NSS's
 * slot-event wait, its token appears among NSS's tokens and signs; the
 * reader unplugged and plugged in again keeps its slot. The module is never
 * reloaded.
 *   nss_hotplug MODULE PIN PLUG INSERT UNPLUG
 * PLUG, INSERT and UNPLUG are shell commands: the reader attached (empty),
 * a card put into it (returns once it is in), the reader detached. */
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <plstr.h>
#include <prthread.h>
#include <secerr.h>
#include <secmod.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char *pin;
static const char *plugCommand;
static double plugged;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static char *password(PK11SlotInfo *slot, PRBool retry, void *arg) {
  (void)slot;
  (void)arg;
  return retry ? NULL : PL_strdup(pin);
}

static void fail(const char *what) {
  fprintf(stderr, "nss_hotplug: %s (NSS error %d)\n", what, PORT_GetError());
  exit(1);
}

static void run(const char *command) {
  if (system(command) != 0) fail(command);
}

/* Plugs the reader in once the main thread waits inside C_WaitForSlotEvent. */
static void plugLater(void *arg) {
  (void)arg;
  PR_Sleep(PR_MillisecondsToInterval(300));
  run(plugCommand);  /* returns once the service lists the reader */
  plugged = now();
}

/* The next slot event; fails after 10 s without one. */
static PK11SlotInfo *nextEvent(SECMODModule *module) {
  PK11SlotInfo *slot = SECMOD_WaitForAnyTokenEvent(module, 0, PR_SecondsToInterval(10));
  if (!slot) fail("no slot event");
  return slot;
}

static int slotCount(SECMODModule *module) {
  SECMOD_UpdateSlotList(module);
  return module->slotCount;
}

/* Signs a SHA-256 digest with the token's first private key and verifies it. */
static void sign(PK11SlotInfo *slot) {
  if (PK11_Authenticate(slot, PR_TRUE, NULL) != SECSuccess) fail("login");
  SECKEYPrivateKeyList *keys = PK11_ListPrivKeysInSlot(slot, NULL, NULL);
  if (!keys || PRIVKEY_LIST_END(PRIVKEY_LIST_HEAD(keys), keys)) fail("no private key on the token");
  SECKEYPrivateKey *key = PRIVKEY_LIST_HEAD(keys)->key;
  unsigned char digest[32], signature[512];
  memset(digest, 0x5A, sizeof digest);
  SECItem hash = {siBuffer, digest, sizeof digest};
  SECItem sig = {siBuffer, signature, (unsigned)PK11_SignatureLen(key)};
  if (PK11_Sign(key, &sig, &hash) != SECSuccess) fail("PK11_Sign");
  SECKEYPublicKey *pub = SECKEY_ConvertToPublicKey(key);
  if (!pub || PK11_Verify(pub, &sig, &hash, NULL) != SECSuccess) fail("PK11_Verify");
  printf("signed on slot %lu: %u-byte signature, verified\n", (unsigned long)PK11_GetSlotID(slot), sig.len);
  SECKEY_DestroyPublicKey(pub);
  SECKEY_DestroyPrivateKeyList(keys);
}

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: nss_hotplug MODULE PIN PLUG INSERT UNPLUG\n");
    return 2;
  }
  pin = argv[2];
  plugCommand = argv[3];
  if (NSS_NoDB_Init(NULL) != SECSuccess) fail("NSS_NoDB_Init");
  PK11_SetPasswordFunc(password);
  char spec[1024];
  snprintf(spec, sizeof spec, "library=\"%s\" name=\"tokenhub\"", argv[1]);
  SECMODModule *module = SECMOD_LoadUserModule(spec, NULL, PR_FALSE);
  if (!module || !module->loaded) fail("SECMOD_LoadUserModule");
  int before = slotCount(module);
  printf("slots when loaded: %d\n", before);

  /* A blocking wait while the reader is plugged in: its new common slot. */
  PRThread *plugger =
      PR_CreateThread(PR_USER_THREAD, plugLater, NULL, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD, PR_JOINABLE_THREAD, 0);
  PK11SlotInfo *slot = nextEvent(module);
  double seen = now();
  PR_JoinThread(plugger);
  double took = seen - plugged; /* below 0: seen before the command returned */
  CK_SLOT_ID id = PK11_GetSlotID(slot);
  printf("reader plugged in: event on slot %lu after %.0f ms; slots now %d\n", (unsigned long)id, took * 1000,
         module->slotCount);
  if (took > 1.0 || module->slotCount != before + 2 || (int)id != before + 1) fail("not the new pair at once");

  /* A card put in: an insertion on that slot, and its token among all tokens. */
  run(argv[4]);
  while (!PK11_IsPresent(slot)) {
    PK11_FreeSlot(slot);
    slot = nextEvent(module);
  }
  PK11SlotList *tokens = PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, NULL);
  int found = 0;
  for (PK11SlotListElement *e = tokens ? PK11_GetFirstSafe(tokens) : NULL; e; e = PK11_GetNextSafe(tokens, e, PR_FALSE))
    if (PK11_GetSlotID(e->slot) == id && PK11_IsPresent(e->slot)) {
      printf("PK11_GetAllTokens: token \"%s\" in slot %lu\n", PK11_GetTokenName(e->slot), (unsigned long)id);
      found = 1;
    }
  if (!found) fail("the new token is not among NSS's tokens");
  sign(slot);

  /* Unplugged and plugged in again, with its card: the same slot, no shorter list. */
  run(argv[5]);
  while (PK11_IsPresent(slot)) {
    PK11_FreeSlot(nextEvent(module));
  }
  run(argv[3]);
  run(argv[4]);
  while (!PK11_IsPresent(slot)) PK11_FreeSlot(nextEvent(module));
  printf("unplugged and plugged in again: slot %lu, slots %d\n", (unsigned long)PK11_GetSlotID(slot),
         slotCount(module));
  if (slotCount(module) != before + 2) fail("the slot list changed");
  sign(slot);
  PK11_FreeSlotList(tokens);
  PK11_FreeSlot(slot);
  SECMOD_DestroyModule(module);
  return 0;
}
