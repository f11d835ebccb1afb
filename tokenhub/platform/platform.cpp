// The tables in force and the sleep hook; shared by both platforms.
#include "platform/platform.h"

#include <atomic>

namespace tokenhub {
namespace {
const PcscApi *activePcsc = nullptr;
std::atomic<const PcscApi *> watchingPcsc{nullptr};
const ModuleApi *activeModules = nullptr;
void (*sleepHook)(uint32_t) = nullptr;

}  // namespace

const PcscApi &pcscService() { return activePcsc ? *activePcsc : platformPcsc(); }
const PcscApi &pcsc() {
  const PcscApi *watch = watchingPcsc.load(std::memory_order_acquire);
  return watch ? *watch : pcscService();
}
void setPcscWatch(const PcscApi *watch) { watchingPcsc.store(watch, std::memory_order_release); }
const ModuleApi &modules() { return activeModules ? *activeModules : platformModules(); }
void setPcscApi(const PcscApi *api) { activePcsc = api; }
void setModuleApi(const ModuleApi *api) { activeModules = api; }
void setSleepHook(void (*hook)(uint32_t)) { sleepHook = hook; }

void sleepMilliseconds(uint32_t ms) {
  if (sleepHook)
    sleepHook(ms);
  else
    platformSleepMilliseconds(ms);
}

}  // namespace tokenhub
