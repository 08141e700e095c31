// What every Audio Class 2.0 entity of the hardware model shares: the form
// of its class requests (CUR, RANGE, MEM to the entity, wValue selector <<
// 8 | channel, wIndex entity << 8 | AudioControl interface) and the way it
// creates its nodes (numbered by the model's node count, from nonpaged
// pool, added to the model and to the entity).
//
// Every reply buffer is zeroed before the request and read only within the
// bytes the device sent: a reply shorter than the value it carries is a
// failed request.
#pragma once

#include "topology/CUacUnit.h"
#include "usb/usbaudio2.h"

constexpr ULONG UAC2_HAL_TAG = MakeTag("UAC2");
// Nodes, device replies and the entities' own arrays.
constexpr ULONG UAC2_ENTITY_TAG = MakeTag("UA20");

// Type codes of the entities that Audio Class 1.0 has no unit for.
constexpr UCHAR UAC2_SUBTYPE_EXTENSION_UNIT = USB_AUDIO2_AC_EXTENSION_UNIT;
constexpr UCHAR UAC2_SUBTYPE_CLOCK_SOURCE = USB_AUDIO2_AC_CLOCK_SOURCE;

class CUac2Entity : public CUacUnit {
 public:
  using CUacUnit::CUacUnit;

 protected:
  // One class request to this entity. `transferred` (optional) gets the
  // bytes the device really sent (IN) or took (OUT).
  NTSTATUS Request(bool in, UCHAR request, UCHAR controlSelector, UCHAR channel, PVOID buffer, ULONG length,
                   PULONG transferred = nullptr);
  // An IN request whose reply must fill `length` bytes.
  NTSTATUS ReadWhole(UCHAR request, UCHAR controlSelector, UCHAR channel, PVOID buffer, ULONG length);

  // A node of class TNode with the next id, initialised by `init` and added
  // to the model and to this entity. `*allocated` tells whether the pool
  // gave one.
  template <typename TNode, typename TInit>
  NTSTATUS AddEntityNode(IAudioHal* model, TInit init, bool* allocated = nullptr) {
    auto* node = new (NonPagedPool, UAC2_ENTITY_TAG) TNode(nullptr, NextNodeId(model));
    if (allocated) *allocated = node != nullptr;
    if (!node) return STATUS_INSUFFICIENT_RESOURCES;
    node->NonDelegatingAddRef();
    NTSTATUS status = init(node);
    if (NT_SUCCESS(status)) status = AddBuiltNode(model, static_cast<ITopoNode*>(node));
    node->NonDelegatingRelease();
    return status;
  }

  // The first node of the entity with that type code (no reference).
  ITopoNode* FirstNodeOfType(ULONG nodeType);
  // RefreshFromDevice on the entity's nodes of one type code (the first
  // only when `firstOnly`); how many there were.
  ULONG RefreshNodesOfType(ULONG nodeType, bool firstOnly);
  // Sets the entity's id and type code and its sources from the descriptor.
  NTSTATUS SetIdentity(UCHAR typeCode, ULONG sourceCount, const UCHAR* sources);
};
