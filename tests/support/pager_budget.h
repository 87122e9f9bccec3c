// The pager restarted with blocks of 64 KB and a budget of minMB megabytes, whatever the
// machine's memory, so that a test can page its frames out. Call inside a ScopedConfigHome:
// the settings are written to the configuration.
#pragma once

#include "imagemodel/vmmanager.h"
#include "settings/registry.h"

inline void SetPagerBudget(int minMB) {
  CRegistry::Write("VMManager", "BlockSize", 64, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MemoryRatio", 0, CRegistry::TYPE_INT);
  CRegistry::Write("VMManager", "MinMemorySize", minMB, CRegistry::TYPE_INT);
  CVmManager::Restart();
}
