// Shared pieces of the headphone engine: its pool tag, its block sizes and
// its argument checks.
//
// The engine reports nothing through status codes; its argument checks hand
// the failed expression to VsfAssertFailed, which records nothing. Where a
// failed check would let a call read or write past a buffer, the caller also
// refuses the work on its own, so a bad argument costs a block of audio, not
// memory.
#pragma once

#include <cstdint>

#include "dsp/DspPool.h"
#include "kernel/ntdef.h"

// The engine, its converters, filters and buffers.
constexpr ULONG VSF_POOL_TAG = MakeTag("VSFP");

// The largest device-rate block per channel.
constexpr int32_t EachChannelSampleCntMax = 1024;
// The engine-rate block and the convolution partition.
constexpr int32_t HEADPHONEFIR_N = 512;
constexpr int32_t VSF_ENGINE_RATE = 44100;
constexpr int32_t VSF_MAX_CHANNELS = 8;

void VsfAssertFailed(const char* expression);

#define VSF_ASSERT(expr)                \
  do {                                  \
    if (!(expr)) VsfAssertFailed(#expr); \
  } while (0)
