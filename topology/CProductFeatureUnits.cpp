#include "topology/CProductFeatureUnits.h"

NTSTATUS C7719FeatureUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  return BuildStandardNodes(owner, PRODUCT_FEATURE_NODE_TAG, &nextId);
}

NTSTATUS CK784FeatureUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  return BuildStandardNodes(owner, PRODUCT_FEATURE_NODE_TAG, &nextId);
}
