// IUnknown forwarding for the framework's and the stand-ins' own objects.
// A stand-alone object's outer unknown is its own non-delegating unknown,
// which is not an IUnknown subobject; calling IUnknown methods through it
// works by vtable shape only and is undefined (the sanitizer's vptr check
// stops on it). These forwarders call the non-delegating methods directly
// for a stand-alone object and go to the outer object only when aggregated.
#pragma once

#include "kernel/unknown.h"

#define STANDIN_FORWARD_UNKNOWN                                                                           \
  bool IsStandalone() const {                                                                             \
    return m_OuterUnknown ==                                                                              \
           reinterpret_cast<PUNKNOWN>(const_cast<INonDelegatingUnknown*>(                                 \
               static_cast<const INonDelegatingUnknown*>(this)));                                         \
  }                                                                                                       \
  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID iid, PVOID* object) override {                         \
    return IsStandalone() ? NonDelegatingQueryInterface(iid, object) : m_OuterUnknown->QueryInterface(iid, object); \
  }                                                                                                       \
  ULONG STDMETHODCALLTYPE AddRef() override {                                                             \
    return IsStandalone() ? NonDelegatingAddRef() : m_OuterUnknown->AddRef();                             \
  }                                                                                                       \
  ULONG STDMETHODCALLTYPE Release() override {                                                            \
    return IsStandalone() ? NonDelegatingRelease() : m_OuterUnknown->Release();                           \
  }
