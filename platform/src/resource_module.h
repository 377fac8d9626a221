// What a loaded module is inside the platform: the resources of one file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/resource.h"

namespace platform {

struct Module {
  std::string path;
  std::vector<ResourceEntry> entries;
};

struct LoadResult {
  std::unique_ptr<Module> module;  // null on failure
  LONG error = ERROR_SUCCESS;
};

// Reads the resources of the ELF file at path (not registered as a handle).
LoadResult loadModuleFile(const std::string& path);

// The entry of that type and id: the wanted language, or without one language
// 1033 else the first. Null with error set to the Windows code when absent.
const ResourceEntry* findEntry(const Module& module, DWORD type, DWORD id, std::optional<WORD> language,
                               LONG& error);

// A live module for a handle; null handle means the running program's file.
// Null when the handle is not a live module (or the program has no readable file).
const Module* resolveModule(HMODULE handle);

}  // namespace platform
