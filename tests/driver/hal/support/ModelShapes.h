// What tests read back from a model's nodes and engines.
#pragma once

#include <string>
#include <vector>

#include "driver/common/PrivateInterfaces.h"
#include "kernel/format.h"

namespace haltest {

inline std::vector<ULONG> SourceIds(ITopoNode* node) {
  std::vector<ULONG> ids(node ? node->GetSourceCount() : 0);
  ULONG count = static_cast<ULONG>(ids.size());
  if (count) node->GetSourceIds(&count, ids.data());
  ids.resize(count);
  return ids;
}

inline std::vector<ULONG> AttachedNodeIds(IStreamEngine* engine) {
  std::vector<ULONG> ids;
  for (ULONG i = 0; i < engine->GetAttachedNodeCount(); ++i) {
    ITopoNode* node = nullptr;
    if (NT_SUCCESS(engine->GetAttachedNode(i, &node))) ids.push_back(node->GetId());
  }
  return ids;
}

inline std::string EngineName(IStreamEngine* engine) {
  WCHAR name[STREAM_ENGINE_NAME_CHARS] = {};
  engine->GetName(name);
  return platform::Narrow(name);
}

}  // namespace haltest
