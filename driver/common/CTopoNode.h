// The base of every element of the topology: Audio Class units and the
// control nodes they create. A node knows its id, its node type code and the
// ids of the nodes (or units) that feed it; the state-bearing operations
// succeed and do nothing here, for the classes that bind a node to the
// device to override.
//
// The base is written over its interface so that a class whose interface
// extends ITopoNode with slots of its own (the unit objects) keeps a single
// ITopoNode: derive from CTopoNodeT<IYourExtension>. Plain nodes derive from
// CTopoNode.
#pragma once

#include <type_traits>

#include "driver/common/PrivateInterfaces.h"

constexpr ULONG TOPO_NODE_TAG = MakeTag("Topo");

template <typename TInterface>
class CTopoNodeT : public TInterface, public CUnknownBase {
  static_assert(std::is_base_of_v<ITopoNode, TInterface>);

 public:
  CTopoNodeT(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType)
      : CUnknownBase(outerUnknown), m_NodeId(nodeId), m_NodeType(nodeType) {}
  ~CTopoNodeT() override { FreeSourceIds(); }

  IMP_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_ITopoNode)) {
      *object = static_cast<ITopoNode*>(this);
      static_cast<ITopoNode*>(this)->AddRef();
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }

  ULONG STDMETHODCALLTYPE GetId() override { return m_NodeId; }
  ULONG STDMETHODCALLTYPE GetType() override { return m_NodeType; }
  ULONG STDMETHODCALLTYPE GetSourceCount() override { return m_SourceCount; }

  NTSTATUS STDMETHODCALLTYPE GetSourceIds(PULONG count, PULONG ids) override {
    if (!count || !ids) return STATUS_INVALID_PARAMETER;
    if (*count > m_SourceCount) *count = m_SourceCount;
    if (*count) RtlCopyMemory(ids, m_SourceIds, *count * sizeof(ULONG));
    return STATUS_SUCCESS;
  }

  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG, PVOID) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE OnHalStart(ULONG, PVOID) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE OnHalStop(ULONG, PVOID) override { return STATUS_SUCCESS; }

  // Replaces the sources. The new array is made before the old one goes, so
  // a failure leaves the node as it was and `ids` may be the node's own.
  NTSTATUS STDMETHODCALLTYPE SetSourceIds(ULONG count, const ULONG* ids) override {
    PAGED_CODE();
    if (count > 0 && !ids) return STATUS_INVALID_PARAMETER;
    PULONG copy = nullptr;
    if (count > 0) {
      copy = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, SIZE_T(count) * sizeof(ULONG), TOPO_NODE_TAG));
      if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
      RtlCopyMemory(copy, ids, SIZE_T(count) * sizeof(ULONG));
    }
    FreeSourceIds();
    m_SourceIds = copy;
    m_SourceCount = count;
    return STATUS_SUCCESS;
  }

 protected:
  void FreeSourceIds() {
    if (m_SourceIds) ExFreePool(m_SourceIds);
    m_SourceIds = nullptr;
    m_SourceCount = 0;
  }

  ULONG m_NodeId;
  ULONG m_NodeType;
  ULONG m_SourceCount = 0;
  PULONG m_SourceIds = nullptr;
};

class CTopoNode : public CTopoNodeT<ITopoNode> {
 public:
  CTopoNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType);

  // A stand-alone node with one reference, for models that need a node of
  // no particular class.
  static NTSTATUS Create(ITopoNode** node, ULONG nodeId, ULONG nodeType, POOL_TYPE poolType, ULONG tag);
};
