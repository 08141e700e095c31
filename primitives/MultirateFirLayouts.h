// The multirate record's layouts: their sizes, building and block run in the
// baseline build. The layouts and byte counts are the same at every level, so
// the public entries (MultirateFir.h) and the level builds both build here,
// and the single-rate block routine runs a multirate record here; none of
// them needs the others to do so.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/FirStates.h"

// The size and the building of a record with up x down > 1, its arguments
// already checked: a record that would not fit 32 bits is refused with the
// status of what makes it too large.
DspStatus MultirateFirLayoutSize(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirBuildLayout(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                  int32_t down, int32_t downPhase, const float* delayLine, void* buffer);

// Byte counts of the two layouts in 64 bits.
int64_t MultirateFirBytesInterleaved(int32_t tapCount, int32_t up, int32_t down);
int64_t MultirateFirBytesIndexed(int32_t tapCount, int32_t up, int32_t down);
MultirateFirState* MultirateFirBuildInterleaved(const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                                int32_t down, int32_t downPhase, const float* delayLine,
                                                void* buffer, int32_t tag);
MultirateFirState* MultirateFirBuildIndexed(const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                            int32_t down, int32_t downPhase, const float* delayLine, void* buffer,
                                            int32_t tag);
// The multirate branch of FirFilterBlock (arguments already checked).
DspStatus MultirateFirFilterBlock(const float* src, float* dst, int32_t iterations, MultirateFirState* state);
