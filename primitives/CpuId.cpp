#include "primitives/CpuId.h"

#include <cpuid.h>
#include <x86intrin.h>

#include <cstring>

#include "primitives/Dispatch.h"

namespace {

ICpuidSource* g_Source = nullptr;

constexpr uint32_t kReferenceEbx = 0x756E6547;  // the vendor identification, EBX EDX ECX
constexpr uint32_t kReferenceEdx = 0x49656E69;
constexpr uint32_t kReferenceEcx = 0x6C65746E;

struct CpuidQuery Query(uint32_t leaf, uint32_t subleaf = 0) {
  struct CpuidQuery r;
  CpuidQuery(&r, leaf, subleaf);
  return r;
}

inline int32_t Bit(uint32_t word, int bit) { return static_cast<int32_t>((word >> bit) & 1); }

int32_t LongModeFromExtendedLeaves(bool extendedLeafPresent) {
  return extendedLeafPresent ? Bit(Query(0x80000001).edx, 29) : 0;
}

int32_t CoresFromLeaf4(uint32_t maxLeaf) { return maxLeaf >= 4 ? static_cast<int32_t>(Query(4, 0).eax >> 26) + 1 : 1; }

// Level for a code: -1 where the code has none.
int32_t LevelForCode(int32_t code, bool autoDetected) {
  switch (code) {
    case 0x20:
      return 1;
    case 0x42:
      return autoDetected ? 1 : -1;
    case 0x21:
    case 0x22:
    case 0x24:
    case 0x43:
      return 2;
    case 0x23:
    case 0x25:
    case 0x44:
    case 0x45:
      return 3;
    case -1:
    case 0:
    case 0x60:
      return 0;
    default:
      return autoDetected ? 0 : -1;
  }
}

// Exception bits 0-5 of the x87 words in the C runtime's encoding.
constexpr uint32_t kCrtExceptionBits[6] = {0x10, 0x80000, 0x08, 0x04, 0x02, 0x01};

uint32_t ExceptionBitsToCrt(uint16_t raw) {
  uint32_t crt = 0;
  for (int bit = 0; bit < 6; ++bit)
    if ((raw >> bit) & 1) crt |= kCrtExceptionBits[bit];
  return crt;
}

}  // namespace

void CpuidQuery(struct CpuidQuery* record, uint32_t leaf, uint32_t subleaf) {
  if (g_Source != nullptr) {
    g_Source->Query(leaf, subleaf, record);
    return;
  }
  __cpuid_count(leaf, subleaf, record->eax, record->ebx, record->ecx, record->edx);
}

ICpuidSource* SetCpuidSource(ICpuidSource* source) {
  ICpuidSource* previous = g_Source;
  g_Source = source;
  return previous;
}

int32_t CpuidSupported() { return 1; }

int32_t CpuIsReferenceVendor() {
  const struct CpuidQuery r = Query(0);
  return r.ebx == kReferenceEbx && r.edx == kReferenceEdx && r.ecx == kReferenceEcx ? 1 : 0;
}

CpuTypeCode DetectCpuType() {
  if (CpuidSupported() == 0) return CPU_TYPE_NOT_RECOGNISED;
  const struct CpuidQuery leaf1 = Query(1);
  uint32_t model = (leaf1.eax >> 4) & 0xF;
  uint32_t family = (leaf1.eax >> 8) & 0xF;
  const uint32_t extendedModel = (leaf1.eax >> 16) & 0xF;
  const uint32_t extendedFamily = (leaf1.eax >> 20) & 0xFF;
  const bool sse3 = Bit(leaf1.ecx, 0);
  const bool ssse3 = Bit(leaf1.ecx, 9);
  const bool sse41 = Bit(leaf1.ecx, 19);
  const bool sse42 = Bit(leaf1.ecx, 20);
  const bool sse = Bit(leaf1.edx, 25);
  const bool sse2 = Bit(leaf1.edx, 26);
  const bool longMode = LongModeFromExtendedLeaves((Query(0x80000000).eax & 0x7FFFFFFF) != 0);
  const int32_t cores = CoresFromLeaf4(Query(0).eax);

  if (family == 6 || family == 15) model += extendedModel * 16;
  if (family == 15) family += extendedFamily;

  if (CpuIsReferenceVendor()) {
    if (family == 6) {
      switch (model) {
        case 0x0F:
          return cores > 2 ? 0x22 : 0x21;
        case 0x17:
          return 0x44;
        case 0x1A:
          return 0x23;
        case 0x1C:
          return 0x24;
        default:
          break;
      }
    } else if (family == 15) {
      return CPU_TYPE_SSE3;
    }
  }
  if (sse42) return CPU_TYPE_SSE42;
  if (sse41) return CPU_TYPE_SSE41;
  if (ssse3) return CPU_TYPE_SSSE3;
  if (sse3) return CPU_TYPE_SSE3;
  if (sse2) return CPU_TYPE_SSE2;
  if (sse) return CPU_TYPE_SSE;
  if (longMode) return CPU_TYPE_X64;
  return CPU_TYPE_NOT_RECOGNISED;
}

DspStatus InitDispatchAuto() {
  const CpuTypeCode code = DetectCpuType();
  CpuDispatchIndex = LevelForCode(static_cast<int32_t>(code), true);
  return CpuidSupported() && CpuIsReferenceVendor() ? DSP_STATUS_OK : DSP_WARN_CPU_NOT_RECOGNISED;
}

DspStatus InitDispatchForCpu(int32_t code) {
  const int32_t level = LevelForCode(code, false);
  if (level < 0) return DSP_WARN_UNKNOWN_CPU_CODE;
  CpuDispatchIndex = level;
  return DSP_STATUS_OK;
}

uint32_t CpuMaxStandardLeaf() { return Query(0).eax; }
int32_t CpuHasTsc() { return Bit(Query(1).edx, 4); }
int32_t CpuHasMmx() { return Bit(Query(1).edx, 23); }
int32_t CpuHasSse() { return Bit(Query(1).edx, 25); }
int32_t CpuHasSse2() { return Bit(Query(1).edx, 26); }
int32_t CpuHasHyperThreading() {
  const struct CpuidQuery r = Query(1);
  return Bit(r.edx, 28) && ((r.ebx >> 16) & 0xFF) > 1 ? 1 : 0;
}
int32_t CpuHasSse3() { return Bit(Query(1).ecx, 0); }
int32_t CpuHasLongMode() { return LongModeFromExtendedLeaves(Query(0x80000000).eax >= 0x80000001); }
int32_t CpuHasSsse3() { return Bit(Query(1).ecx, 9); }
int32_t CpuHasSse41() { return Bit(Query(1).ecx, 19); }
int32_t CpuHasSse42() { return Bit(Query(1).ecx, 20); }
int32_t CpuCoresPerPackage() { return CoresFromLeaf4(CpuMaxStandardLeaf()); }

void CpuGetInfo(CpuInfoRecord* info) {
  const struct CpuidQuery leaf1 = Query(1);
  info->stepping = leaf1.eax & 0xF;
  info->model = (leaf1.eax >> 4) & 0xF;
  info->family = (leaf1.eax >> 8) & 0xF;
  info->processorType = (leaf1.eax >> 12) & 0x3;
  info->extendedModel = (leaf1.eax >> 16) & 0xF;
  info->extendedFamily = (leaf1.eax >> 20) & 0xFF;
  info->featureEdx = leaf1.edx;
  info->sse3 = Bit(leaf1.ecx, 0);
  info->ssse3 = Bit(leaf1.ecx, 9);
  info->sse41 = Bit(leaf1.ecx, 19);
  info->sse42 = Bit(leaf1.ecx, 20);
  info->longMode = CpuHasLongMode();
  info->coresPerPackage = CpuCoresPerPackage();
  const struct CpuidQuery leaf2 = Query(2);
  info->cacheEax = leaf2.eax;
  info->cacheEdx = leaf2.edx;
}

uint64_t CpuReadTsc() { return __rdtsc(); }

uint32_t MxcsrRead() { return _mm_getcsr(); }
void MxcsrLoad(uint32_t value) { _mm_setcsr(value); }
uint32_t MxcsrReset() {
  const uint32_t old = _mm_getcsr();
  _mm_setcsr(0x1F80);
  return old;
}
uint32_t MxcsrUpdate(uint32_t value, uint32_t mask) {
  const uint32_t old = _mm_getcsr();
  _mm_setcsr((value & mask) | (old & ~mask));
  return old;
}
uint32_t MxcsrSetRounding(uint32_t roundingField) {
  const uint32_t old = _mm_getcsr();
  const uint32_t updated = (old & ~0x6000u) | (roundingField & 0x6000u);
  if (updated != old) _mm_setcsr(updated);
  return old;
}

uint16_t X87ControlWordRead() {
  uint16_t cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}
void X87ControlWordLoad(uint16_t value) { __asm__ volatile("fldcw %0" : : "m"(value)); }
uint16_t X87ControlWordUpdate(uint16_t value, uint16_t mask) {
  const uint16_t old = X87ControlWordRead();
  X87ControlWordLoad(static_cast<uint16_t>((value & mask) | (old & ~mask)));
  return old;
}
uint16_t X87StatusWordRead() {
  uint16_t sw;
  __asm__ volatile("fnstsw %0" : "=m"(sw));
  return sw;
}
uint16_t X87StatusWordReadAndClear() {
  const uint16_t sw = X87StatusWordRead();
  __asm__ volatile("fnclex");
  return sw;
}

uint32_t X87ControlWordToCrt(uint16_t raw) {
  uint32_t crt = ExceptionBitsToCrt(raw);
  crt |= (static_cast<uint32_t>(raw) & 0xC00) >> 2;  // rounding field
  switch ((raw >> 8) & 3) {
    case 0:
      crt |= 0x20000;  // 24-bit
      break;
    case 2:
      crt |= 0x10000;  // 53-bit
      break;
    default:
      break;  // 64-bit (and the reserved setting)
  }
  if (raw & 0x1000) crt |= 0x40000;
  return crt;
}

uint16_t X87ControlWordFromCrt(uint32_t crt, uint16_t raw) {
  uint32_t out = raw & ~0x1F3Fu;  // keep the bits the encoding does not carry
  for (int bit = 0; bit < 6; ++bit)
    if (crt & kCrtExceptionBits[bit]) out |= 1u << bit;
  out |= (crt & 0x300) << 2;
  switch (crt & 0x30000) {
    case 0x10000:
      out |= 0x200;
      break;
    case 0:
      out |= 0x300;
      break;
    default:
      break;  // 24-bit
  }
  if (crt & 0x40000) out |= 0x1000;
  return static_cast<uint16_t>(out);
}

uint32_t X87StatusWordToCrt(uint16_t raw) { return ExceptionBitsToCrt(raw); }

uint32_t X87ControlWordCrt(uint32_t value, uint32_t mask) {
  const uint16_t raw = X87ControlWordRead();
  const uint32_t updated = (value & mask) | (X87ControlWordToCrt(raw) & ~mask);
  const uint16_t loaded = X87ControlWordFromCrt(updated, raw);
  X87ControlWordLoad(loaded);
  return X87ControlWordToCrt(loaded);
}

uint32_t X87StatusWordCrt() { return X87StatusWordToCrt(X87StatusWordRead()); }
uint32_t X87StatusWordCrtAndClear() { return X87StatusWordToCrt(X87StatusWordReadAndClear()); }

int32_t DoubleIsNaN(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  return ((bits >> 52) & 0x7FF) == 0x7FF && (bits & 0xFFFFFFFFFFFFFull) != 0 ? 1 : 0;
}

int32_t DoubleIsFinite(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  return ((bits >> 52) & 0x7FF) != 0x7FF ? 1 : 0;
}

int32_t DazSupportedByMxcsrMask(uint32_t mxcsrMask) { return mxcsrMask != 0 && (mxcsrMask & 0x40) != 0 ? 1 : 0; }

int32_t CpuSupportsDaz() {
  alignas(16) uint8_t image[512] = {};
  __asm__ volatile("fxsave %0" : "=m"(image));
  uint32_t mask;
  std::memcpy(&mask, image + 28, 4);
  return DazSupportedByMxcsrMask(mask);
}

int32_t CacheDescriptorLookup(const uint32_t (*table)[2]) {
  const struct CpuidQuery r = Query(2);
  if ((r.eax & 0xFF) != 1) return -1;
  uint8_t bytes[16];
  int count = 0;
  const uint32_t regs[4] = {r.eax, r.ebx, r.ecx, r.edx};
  for (int reg = 0; reg < 4; ++reg) {
    if (regs[reg] & 0x80000000u) continue;  // carries no descriptors
    for (int b = reg == 0 ? 1 : 0; b < 4; ++b) {
      const uint8_t descriptor = static_cast<uint8_t>(regs[reg] >> (8 * b));
      if (descriptor != 0) bytes[count++] = descriptor;  // 0 is the null descriptor
    }
  }
  for (; (*table)[0] != 0; ++table) {
    const uint8_t key = static_cast<uint8_t>((*table)[0]);
    for (int i = 0; i < count; ++i)
      if (bytes[i] == key) return static_cast<int32_t>((*table)[1]);
  }
  return -1;
}

const uint8_t CacheDescriptorTable[29][2] = {
    {0x4D, 0x16}, {0x4C, 0x34}, {0x4B, 0x15}, {0x47, 0x15}, {0x4E, 0x33}, {0x4A, 0x33}, {0x49, 0x14}, {0x29, 0x14},
    {0x46, 0x14}, {0x48, 0x32}, {0x25, 0x13}, {0x7D, 0x13}, {0x85, 0x13}, {0x45, 0x13}, {0x23, 0x12}, {0x87, 0x12},
    {0x7C, 0x12}, {0x78, 0x12}, {0x84, 0x12}, {0x44, 0x12}, {0x22, 0x11}, {0x7B, 0x11}, {0x80, 0x11}, {0x86, 0x11},
    {0x3E, 0x11}, {0x7F, 0x11}, {0x83, 0x11}, {0x43, 0x11}, {0x00, 0x00},
};

uint64_t QueryCacheSize() {
  if (CpuIsReferenceVendor() == 0) return 0;
  // The lookup reads word pairs; the table is kept in bytes.
  uint32_t pairs[29][2];
  for (int row = 0; row < 29; ++row) {
    pairs[row][0] = CacheDescriptorTable[row][0];
    pairs[row][1] = CacheDescriptorTable[row][1];
  }
  const int32_t code = CacheDescriptorLookup(pairs);
  return code < 0 ? 0 : CacheSizeFromCode(static_cast<uint8_t>(code));
}
