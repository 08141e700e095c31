// Processor identification: the processor level the dispatch uses, the
// feature tests beside it, and the floating-point control and status words.
//
// Every cpuid read goes through one source, the processor itself unless a
// test installs a fake (SetCpuidSource), so that identification can be
// exercised with any register set.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

// The four registers cpuid(leaf, subleaf) returns.
struct CpuidQuery {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
};

// Runs cpuid with EAX = leaf and ECX = subleaf through the current source.
void CpuidQuery(struct CpuidQuery* record, uint32_t leaf, uint32_t subleaf);

class ICpuidSource {
 public:
  virtual void Query(uint32_t leaf, uint32_t subleaf, struct CpuidQuery* out) = 0;

 protected:
  ~ICpuidSource() = default;
};

// Installs a source (null: the processor) and returns the previous one, null
// when that was the processor.
ICpuidSource* SetCpuidSource(ICpuidSource* source);

// Processor classification.
using CpuTypeCode = uint32_t;
inline constexpr CpuTypeCode CPU_TYPE_NOT_RECOGNISED = 0;
inline constexpr CpuTypeCode CPU_TYPE_SSE = 0x40;
inline constexpr CpuTypeCode CPU_TYPE_SSE2 = 0x41;
inline constexpr CpuTypeCode CPU_TYPE_SSE3 = 0x42;
inline constexpr CpuTypeCode CPU_TYPE_SSSE3 = 0x43;
inline constexpr CpuTypeCode CPU_TYPE_SSE41 = 0x44;
inline constexpr CpuTypeCode CPU_TYPE_SSE42 = 0x45;
inline constexpr CpuTypeCode CPU_TYPE_X64 = 0x60;

CpuTypeCode DetectCpuType();
// Detects the processor and sets CpuDispatchIndex; DSP_WARN_CPU_NOT_RECOGNISED
// (the level is set all the same) unless the processor is the reference
// vendor's.
DspStatus InitDispatchAuto();
// Sets CpuDispatchIndex from a code; DSP_WARN_UNKNOWN_CPU_CODE, with the
// index unchanged, for a code that has no level here.
DspStatus InitDispatchForCpu(int32_t code);

int32_t CpuidSupported();
int32_t CpuIsReferenceVendor();

// Feature tests (1 or 0), from leaf 1 unless said otherwise.
uint32_t CpuMaxStandardLeaf();
int32_t CpuHasTsc();
int32_t CpuHasMmx();
int32_t CpuHasSse();
int32_t CpuHasSse2();
int32_t CpuHasHyperThreading();  // EDX bit 28 and more than one logical processor
int32_t CpuHasSse3();
int32_t CpuHasLongMode();  // leaf 0x80000001 EDX bit 29, when that leaf exists
int32_t CpuHasSsse3();
int32_t CpuHasSse41();
int32_t CpuHasSse42();
int32_t CpuCoresPerPackage();  // leaf 4 EAX bits 26-31 plus 1, or 1 without leaf 4

struct CpuInfoRecord {
  uint32_t stepping;
  uint32_t model;
  uint32_t family;
  uint32_t processorType;
  uint32_t extendedModel;
  uint32_t extendedFamily;
  uint32_t featureEdx;  // leaf 1 EDX
  int32_t sse3;
  int32_t ssse3;
  int32_t sse41;
  int32_t sse42;
  int32_t longMode;
  int32_t coresPerPackage;
  uint32_t cacheEax;  // leaf 2
  uint32_t cacheEdx;
};
void CpuGetInfo(CpuInfoRecord* info);

uint64_t CpuReadTsc();

// SSE control/status register. The update routines store
// (new AND mask) OR (old AND NOT mask) and return the old value.
uint32_t MxcsrReset();  // loads 0x1F80: all exceptions masked, round to nearest
uint32_t MxcsrRead();
void MxcsrLoad(uint32_t value);
uint32_t MxcsrUpdate(uint32_t value, uint32_t mask);
// roundingField is given in place (bits 13-14); the register is written only
// when the field differs. Returns the old value.
uint32_t MxcsrSetRounding(uint32_t roundingField);

// x87 control and status words, raw.
uint16_t X87ControlWordRead();
void X87ControlWordLoad(uint16_t value);
uint16_t X87ControlWordUpdate(uint16_t value, uint16_t mask);
uint16_t X87StatusWordRead();
uint16_t X87StatusWordReadAndClear();

// The same in the C runtime's encoding (exception masks invalid 0x10,
// denormal 0x80000, zero divide 0x08, overflow 0x04, underflow 0x02, inexact
// 0x01; rounding 0x300; precision 24-bit 0x20000, 53-bit 0x10000, 64-bit 0;
// infinity control 0x40000). The control word routine returns the new value.
uint32_t X87ControlWordToCrt(uint16_t raw);
uint16_t X87ControlWordFromCrt(uint32_t crt, uint16_t raw);
uint32_t X87StatusWordToCrt(uint16_t raw);
uint32_t X87ControlWordCrt(uint32_t value, uint32_t mask);
uint32_t X87StatusWordCrt();
uint32_t X87StatusWordCrtAndClear();

int32_t DoubleIsNaN(double value);
int32_t DoubleIsFinite(double value);

// Denormals-are-zero: the fxsave image's MXCSR_MASK is non-zero with bit 6.
int32_t CpuSupportsDaz();
int32_t DazSupportedByMxcsrMask(uint32_t mxcsrMask);

// Cache descriptors of leaf 2 against a table of (key, value) word pairs
// ended by a zero key: the value of the first entry whose key's low byte is
// among the descriptor bytes, -1 when the leaf's iteration count is not 1 or
// nothing matches.
int32_t CacheDescriptorLookup(const uint32_t (*table)[2]);

// (descriptor, size code) byte pairs, largest cache first, ended by a zero
// pair; a code c stands for (c >> 4) << ((c & 15) + 18) bytes.
extern const uint8_t CacheDescriptorTable[29][2];
inline constexpr uint64_t CacheSizeFromCode(uint8_t code) {
  return static_cast<uint64_t>(code >> 4) << ((code & 15) + 18);
}

// The size in bytes of the largest cache the processor reports in
// identification leaf 2 (CacheDescriptorTable through CacheDescriptorLookup),
// or 0 when it is not the reference vendor's, asks for more than one round of
// leaf 2, or reports no listed descriptor.
uint64_t QueryCacheSize();
