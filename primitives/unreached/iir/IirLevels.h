// Processor-level builds (levels 1, 2, 3) of the IIR primitive: the
// contracts of the baseline builds (primitives/unreached/iir/Iir.h), with the
// state a level lays out (primitives/unreached/iir/IirStateLayout.h). Levels
// 2 and 3 size a state alike and share one build of the size query.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/unreached/iir/IirStateLayout.h"

DspStatus IirFilterStateSizeL1(int32_t order, int32_t* bytes);
DspStatus IirFilterStateSizeL2L3(int32_t order, int32_t* bytes);
DspStatus IirFilterInitL1(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInitL2(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInitL3(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInPlaceL1(float* srcDst, int32_t len, IirState* state);
DspStatus IirFilterInPlaceL2(float* srcDst, int32_t len, IirState* state);
DspStatus IirFilterInPlaceL3(float* srcDst, int32_t len, IirState* state);
