// Interfaces of device-specific node kinds that the topology filter can
// describe and serve but that no node class of this driver creates (flag,
// vendor flag, ranged value and parameter-block nodes). The topology filter
// reaches them by QueryInterface on a node of the matching type code; a node
// without the interface gets the query's failure as its answer.
#pragma once

#include "topology/TopologyInterfaces.h"

// Node type codes of these kinds and of the other codes the topology filter
// knows without a class of this driver.
enum : ULONG {
  NODE_TYPE_FLAG = 15,
  NODE_TYPE_MIC_BOOST = 16,
  NODE_TYPE_RANGED_VALUE = 17,
  NODE_TYPE_VENDOR_FLAG = 19,
  NODE_TYPE_PARAMETER_BLOCK = 20,
};

// A flag of a device-specific node (type 15).
inline constexpr GUID IID_IBooleanNode =
    DEFINE_GUID_VALUE(0xA2A9F460, 0x60B0, 0x4AFF, 0x87, 0xB8, 0x75, 0x3B, 0x60, 0xF2, 0x4B, 0x88);
struct IBooleanNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE SetValue(ULONG value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetValue(PULONG value) = 0;
};

// A vendor's flag (type 19).
inline constexpr GUID IID_IVendorBooleanNode =
    DEFINE_GUID_VALUE(0x267CEBE5, 0x5821, 0x4D11, 0x8E, 0x58, 0x65, 0x69, 0xB7, 0xE9, 0x5D, 0xA1);
struct IVendorBooleanNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE SetValue(ULONG value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetValue(PULONG value) = 0;
};

// An unsigned value within a range (type 17).
inline constexpr GUID IID_IRangedValueNode =
    DEFINE_GUID_VALUE(0x39F527DD, 0x1800, 0x4CFA, 0xB3, 0xF3, 0x4F, 0xCD, 0x2C, 0x63, 0x01, 0xBB);
struct IRangedValueNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetValue(PULONG value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Reserved() = 0;  // never called by the filter
  virtual NTSTATUS STDMETHODCALLTYPE SetValue(ULONG value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetRange(PULONG maximum, PULONG minimum) = 0;
};

// A block of 32-bit parameters under a name of its own (type 20). The
// processing node offers the same five operations after its value slots.
inline constexpr GUID IID_IParameterBlockNode =
    DEFINE_GUID_VALUE(0xF52EB3CB, 0xE312, 0x4CB0, 0xAC, 0x9C, 0xF6, 0xAB, 0x1B, 0xF9, 0xB2, 0x9A);
struct IParameterBlockNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetNameGuid(GUID* name) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetParameterCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetParameters(ULONG first, ULONG count, PULONG values) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetParameters(ULONG first, ULONG count, const ULONG* values) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetParameterInfo(ULONG index, PULONG info0, PULONG info1, PULONG info2) = 0;
};
