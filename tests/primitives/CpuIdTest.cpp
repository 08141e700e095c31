#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "primitives/CpuId.h"
#include "primitives/Dispatch.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/support/DispatchLevel.h"
#include "tests/support/KernelTest.h"

namespace {

constexpr uint32_t kRefEbx = 0x756E6547, kRefEdx = 0x49656E69, kRefEcx = 0x6C65746E;

using CpuidRegs = struct CpuidQuery;

// Register sets per (leaf, subleaf); unknown leaves read as zeros. Every
// query is counted.
class FakeCpuid : public ICpuidSource {
 public:
  void Set(uint32_t leaf, struct CpuidQuery regs, uint32_t subleaf = 0) { m_Leaves[{leaf, subleaf}] = regs; }
  void Query(uint32_t leaf, uint32_t subleaf, struct CpuidQuery* out) override {
    ++calls;
    auto it = m_Leaves.find({leaf, subleaf});
    *out = it == m_Leaves.end() ? CpuidRegs{} : it->second;
  }
  int calls = 0;

 private:
  std::map<std::pair<uint32_t, uint32_t>, struct CpuidQuery> m_Leaves;
};

struct Profile {
  bool referenceVendor = true;
  uint32_t family = 6, model = 0, extendedModel = 0, extendedFamily = 0;
  uint32_t ecx = 0, edx = 0;
  uint32_t maxLeaf = 4;
  uint32_t leaf4Eax = 0;
  uint32_t maxExtendedLeaf = 0x80000001;
  uint32_t extendedEdx = 0;
};

constexpr uint32_t kSse = 1u << 25, kSse2 = 1u << 26;                                        // leaf 1 EDX
constexpr uint32_t kSse3 = 1u << 0, kSsse3 = 1u << 9, kSse41 = 1u << 19, kSse42 = 1u << 20;  // leaf 1 ECX
constexpr uint32_t kLongMode = 1u << 29;

void Load(FakeCpuid& cpu, const Profile& p) {
  cpu.Set(0, {p.maxLeaf, p.referenceVendor ? kRefEbx : 0x68747541, p.referenceVendor ? kRefEcx : 0x444D4163,
              p.referenceVendor ? kRefEdx : 0x69746E65});
  const uint32_t eax = (p.extendedFamily << 20) | (p.extendedModel << 16) | (p.family << 8) | (p.model << 4) | 0x3;
  cpu.Set(1, {eax, 0, p.ecx, p.edx});
  cpu.Set(4, {p.leaf4Eax, 0, 0, 0});
  cpu.Set(0x80000000, {p.maxExtendedLeaf, 0, 0, 0});
  cpu.Set(0x80000001, {0, 0, 0, p.extendedEdx});
}

class CpuIdTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Index.emplace(0);
    m_Previous = SetCpuidSource(&m_Cpu);
  }
  void TearDown() override {
    SetCpuidSource(m_Previous);
    m_Index.reset();
    KernelTest::TearDown();
  }
  FakeCpuid m_Cpu;
  std::optional<testsupport::ScopedDispatchLevel> m_Index;

 private:
  ICpuidSource* m_Previous = nullptr;
};

TEST_F(CpuIdTest, ProfilesClassifyAndSelectTheirLevel) {
  struct Row {
    const char* name;
    Profile profile;
    CpuTypeCode code;
    int32_t level;
    DspStatus autoStatus;
  };
  auto profile = [](auto edit) {
    Profile p;
    edit(p);
    return p;
  };
  const Row rows[] = {
      {"reference family 6 model 0x1A", profile([](Profile& p) { p.model = 0xA, p.extendedModel = 1; }), 0x23, 3, 0},
      {"reference model 0x0F, two cores", profile([](Profile& p) { p.model = 0xF, p.leaf4Eax = 1u << 26; }), 0x21, 2,
       0},
      {"reference model 0x0F, four cores", profile([](Profile& p) { p.model = 0xF, p.leaf4Eax = 3u << 26; }), 0x22, 2,
       0},
      {"reference model 0x0F, leaf 4 missing",
       profile([](Profile& p) { p.model = 0xF, p.maxLeaf = 3, p.leaf4Eax = 7u << 26; }), 0x21, 2, 0},
      {"reference model 0x17", profile([](Profile& p) { p.model = 0x7, p.extendedModel = 1; }), 0x44, 3, 0},
      {"reference model 0x1C", profile([](Profile& p) { p.model = 0xC, p.extendedModel = 1; }), 0x24, 2, 0},
      {"reference other family-6 model falls to the extensions",
       profile([](Profile& p) { p.model = 0xE, p.extendedModel = 2, p.ecx = kSse3 | kSsse3; }), 0x43, 2, 0},
      {"reference family 15 whatever its extensions",
       profile([](Profile& p) { p.family = 15, p.ecx = kSse42 | kSse41, p.edx = kSse | kSse2; }), 0x42, 1, 0},
      {"reference family 15 with an extended family is not 15",
       profile([](Profile& p) { p.family = 15, p.extendedFamily = 1, p.edx = kSse | kSse2; }), 0x41, 0, 0},
      {"extended model ignored outside families 6 and 15",
       profile([](Profile& p) { p.family = 5, p.model = 0xA, p.extendedModel = 1, p.edx = kSse; }), 0x40, 0, 0},
      {"other vendor with SSE4.2", profile([](Profile& p) {
         p.referenceVendor = false, p.model = 0xA, p.extendedModel = 1, p.ecx = kSse42 | kSse41 | kSse3;
       }),
       0x45, 3, DSP_WARN_CPU_NOT_RECOGNISED},
      {"other vendor with SSE4.1", profile([](Profile& p) { p.referenceVendor = false, p.ecx = kSse41; }), 0x44, 3,
       DSP_WARN_CPU_NOT_RECOGNISED},
      {"other vendor with SSE3", profile([](Profile& p) { p.referenceVendor = false, p.ecx = kSse3; }), 0x42, 1,
       DSP_WARN_CPU_NOT_RECOGNISED},
      {"other vendor with SSE2 only", profile([](Profile& p) { p.referenceVendor = false, p.edx = kSse | kSse2; }),
       0x41, 0, DSP_WARN_CPU_NOT_RECOGNISED},
      {"long mode only", profile([](Profile& p) { p.family = 4, p.extendedEdx = kLongMode; }), 0x60, 0, 0},
      {"long mode bit without the extended leaf",
       profile([](Profile& p) { p.family = 4, p.extendedEdx = kLongMode, p.maxExtendedLeaf = 0x80000000; }), 0, 0, 0},
      {"nothing at all", profile([](Profile& p) { p.family = 4, p.referenceVendor = false; }), 0, 0,
       DSP_WARN_CPU_NOT_RECOGNISED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Load(m_Cpu, row.profile);
    EXPECT_EQ(DetectCpuType(), row.code);
    CpuDispatchIndex = 2;  // the initialiser must overwrite it
    EXPECT_EQ(InitDispatchAuto(), row.autoStatus);
    EXPECT_EQ(CpuDispatchIndex, row.level);
  }
}

TEST_F(CpuIdTest, InitDispatchForCpuMapsCodesWithoutAskingTheProcessor) {
  struct Row {
    int32_t code;
    int32_t level;  // -1: rejected, index unchanged
  };
  const Row rows[] = {{0x20, 1}, {0x42, -1}, {0x21, 2},  {0x22, 2},  {0x24, 2}, {0x43, 2},
                      {0x23, 3}, {0x25, 3},  {0x44, 3},  {0x45, 3},  {-1, 0},   {0, 0},
                      {0x60, 0}, {0x40, -1}, {0x41, -1}, {0x26, -1}, {7, -1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    CpuDispatchIndex = 2;
    EXPECT_EQ(InitDispatchForCpu(row.code), row.level < 0 ? DSP_WARN_UNKNOWN_CPU_CODE : DSP_STATUS_OK);
    EXPECT_EQ(CpuDispatchIndex, row.level < 0 ? 2 : row.level);
  }
  EXPECT_EQ(m_Cpu.calls, 0);
}

TEST_F(CpuIdTest, FeatureRoutinesReadTheirBits) {
  Profile p;
  p.edx = (1u << 4) | (1u << 23) | kSse | kSse2 | (1u << 28);
  p.ecx = kSse3 | kSsse3 | kSse41 | kSse42;
  p.maxLeaf = 0xB;
  p.leaf4Eax = 5u << 26;
  p.extendedEdx = kLongMode;
  Load(m_Cpu, p);
  m_Cpu.Set(1, {0x000206A7, 0x00040800, p.ecx, p.edx});  // two logical processors reported in EBX
  m_Cpu.Set(2, {0x76035A01, 0x00F0B2FF, 0, 0x00CA0000});
  EXPECT_EQ(CpuMaxStandardLeaf(), 0xBu);
  EXPECT_EQ(CpuHasTsc(), 1);
  EXPECT_EQ(CpuHasMmx(), 1);
  EXPECT_EQ(CpuHasSse(), 1);
  EXPECT_EQ(CpuHasSse2(), 1);
  EXPECT_EQ(CpuHasHyperThreading(), 1);
  EXPECT_EQ(CpuHasSse3(), 1);
  EXPECT_EQ(CpuHasSsse3(), 1);
  EXPECT_EQ(CpuHasSse41(), 1);
  EXPECT_EQ(CpuHasSse42(), 1);
  EXPECT_EQ(CpuHasLongMode(), 1);
  EXPECT_EQ(CpuCoresPerPackage(), 6);
  EXPECT_EQ(CpuidSupported(), 1);
  EXPECT_EQ(CpuIsReferenceVendor(), 1);

  CpuInfoRecord info;
  CpuGetInfo(&info);
  EXPECT_EQ(info.stepping, 7u);
  EXPECT_EQ(info.model, 0xAu);
  EXPECT_EQ(info.family, 6u);
  EXPECT_EQ(info.extendedModel, 2u);
  EXPECT_EQ(info.featureEdx, p.edx);
  EXPECT_EQ(info.sse42, 1);
  EXPECT_EQ(info.longMode, 1);
  EXPECT_EQ(info.coresPerPackage, 6);
  EXPECT_EQ(info.cacheEax, 0x76035A01u);
  EXPECT_EQ(info.cacheEdx, 0x00CA0000u);

  // One logical processor: no hyper-threading even with the bit set.
  m_Cpu.Set(1, {0x000206A7, 0x00010800, p.ecx, p.edx});
  EXPECT_EQ(CpuHasHyperThreading(), 0);
  // Long mode needs the extended leaf to exist.
  m_Cpu.Set(0x80000000, {0x80000000, 0, 0, 0});
  EXPECT_EQ(CpuHasLongMode(), 0);
  // Without leaf 4 there is one core.
  m_Cpu.Set(0, {3, kRefEbx, kRefEcx, kRefEdx});
  EXPECT_EQ(CpuCoresPerPackage(), 1);
  m_Cpu.Set(0, {3, kRefEbx, kRefEcx, 0});
  EXPECT_EQ(CpuIsReferenceVendor(), 0);
}

TEST_F(CpuIdTest, CacheDescriptorLookupAndTable) {
  const uint32_t pairs[][2] = {{0x4D, 16}, {0x48, 3}, {0x25, 2}, {0x01, 99}, {0x22, 1}, {0, 0}};
  struct Row {
    const char* name;
    struct CpuidQuery leaf2;
    int32_t expected;
  };
  const Row rows[] = {
      {"table order decides, not register order", {0x00250001, 0x00000048, 0, 0}, 3},
      {"descriptor in EDX", {0x00000001, 0, 0, 0x00004D00}, 16},
      {"iteration count 2", {0x00250002, 0, 0, 0}, -1},
      {"register with bit 31 set carries nothing", {0x00000001, 0x80000048, 0, 0x00000022}, 1},
      {"EAX low byte is the count, not a descriptor", {0x00000001, 0, 0, 0}, -1},
      {"no match", {0x00000001, 0x00000077, 0, 0}, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m_Cpu.Set(2, row.leaf2);
    EXPECT_EQ(CacheDescriptorLookup(pairs), row.expected);
  }

  EXPECT_EQ(CacheSizeFromCode(0x16), 16u << 20);
  EXPECT_EQ(CacheSizeFromCode(0x34), 12u << 20);
  EXPECT_EQ(CacheSizeFromCode(0x32), 3u << 20);
  EXPECT_EQ(CacheSizeFromCode(0x13), 2u << 20);
  EXPECT_EQ(CacheSizeFromCode(0x11), 512u << 10);
  int rows28 = 0;
  for (; CacheDescriptorTable[rows28][0] != 0; ++rows28) {
    if (rows28 > 0) {
      EXPECT_LE(CacheSizeFromCode(CacheDescriptorTable[rows28][1]),
                CacheSizeFromCode(CacheDescriptorTable[rows28 - 1][1]))
          << "largest first";
    }
  }
  EXPECT_EQ(rows28, 28);
  EXPECT_EQ(CacheDescriptorTable[0][0], 0x4D);
  EXPECT_EQ(CacheDescriptorTable[9][0], 0x48);
}

class ProcessorStateTest : public testsupport::KernelTest {};

TEST_F(ProcessorStateTest, MxcsrRoutinesUpdateUnderAMaskAndReturnTheOldValue) {
  primtest::MxcsrScope scope(0x1F80);
  EXPECT_EQ(MxcsrRead(), 0x1F80u);
  EXPECT_EQ(MxcsrUpdate(0xFFFF, 0x8001), 0x1F80u);  // flush-to-zero and the invalid flag only
  EXPECT_EQ(MxcsrRead(), 0x9F81u);
  EXPECT_EQ(MxcsrSetRounding(0x6000), 0x9F81u);
  EXPECT_EQ(MxcsrRead(), 0xFF81u);
  EXPECT_EQ(MxcsrSetRounding(0x6000 | 0x1), 0xFF81u) << "only the rounding field is taken";
  EXPECT_EQ(MxcsrRead(), 0xFF81u);
  EXPECT_EQ(MxcsrReset(), 0xFF81u);
  EXPECT_EQ(MxcsrRead(), 0x1F80u);
  MxcsrLoad(0x1F80 | 0x2000);
  EXPECT_EQ(MxcsrRead(), 0x3F80u);
  MxcsrLoad(0x1F80);
}

TEST_F(ProcessorStateTest, X87WordsAndTheirRuntimeEncoding) {
  const uint16_t original = X87ControlWordRead();
  EXPECT_EQ(X87ControlWordUpdate(0x0C00, 0x0C00), original);  // round toward zero
  EXPECT_EQ(X87ControlWordRead(), static_cast<uint16_t>((original & ~0x0C00) | 0x0C00));

  struct Row {
    uint16_t raw;
    uint32_t crt;
  };
  const Row rows[] = {
      {0x037F, 0x0008001F},  // all masked, nearest, 64-bit
      {0x027F, 0x0009001F},  // 53-bit
      {0x007F, 0x000A001F},  // 24-bit
      {0x0F7F, 0x0008031F},  // toward zero
      {0x1340, 0x00040000},  // nothing masked, infinity control
      {0x0301, 0x00000010},  // invalid only
      {0x0302, 0x00080000},  // denormal only
      {0x0304, 0x00000008},  // zero divide only
      {0x0308, 0x00000004},  // overflow only
      {0x0310, 0x00000002},  // underflow only
      {0x0320, 0x00000001},  // inexact only
  };
  for (const Row& row : rows) {
    EXPECT_EQ(X87ControlWordToCrt(row.raw), row.crt) << std::hex << row.raw;
    EXPECT_EQ(X87ControlWordFromCrt(row.crt, row.raw), row.raw) << std::hex << row.raw;
  }

  X87ControlWordLoad(0x037F);
  // Ask for 53-bit precision and an unmasked zero divide in the runtime's
  // encoding; everything outside the mask stays.
  EXPECT_EQ(X87ControlWordCrt(0x00010000, 0x00030008), 0x00090017u);
  EXPECT_EQ(X87ControlWordRead(), 0x027Bu);
  X87ControlWordLoad(original);

  X87StatusWordReadAndClear();
  volatile long double zero = 0.0L;
  volatile long double quotient = 1.0L / zero;  // x87 zero divide
  (void)quotient;
  EXPECT_NE(X87StatusWordRead() & 0x04, 0);
  EXPECT_EQ(X87StatusWordCrt() & 0x08, 0x08u);
  EXPECT_EQ(X87StatusWordCrtAndClear() & 0x08, 0x08u);
  EXPECT_EQ(X87StatusWordCrt() & 0x3Fu, 0u);
  EXPECT_EQ(X87StatusWordToCrt(0x3F), 0x8001Fu);
}

TEST_F(ProcessorStateTest, DoubleClassesDazAndTheRealProcessor) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(DoubleIsNaN(nan), 1);
  EXPECT_EQ(DoubleIsNaN(inf), 0);
  EXPECT_EQ(DoubleIsNaN(1.0), 0);
  EXPECT_EQ(DoubleIsFinite(DBL_MAX), 1);
  EXPECT_EQ(DoubleIsFinite(DBL_TRUE_MIN), 1);
  EXPECT_EQ(DoubleIsFinite(-inf), 0);
  EXPECT_EQ(DoubleIsFinite(nan), 0);

  EXPECT_EQ(DazSupportedByMxcsrMask(0), 0);
  EXPECT_EQ(DazSupportedByMxcsrMask(0xFFBF), 0);
  EXPECT_EQ(DazSupportedByMxcsrMask(0xFFFF), 1);
  const int32_t daz = CpuSupportsDaz();
  EXPECT_TRUE(daz == 0 || daz == 1);

  // The default source is the processor this runs on: an x86-64 has SSE2
  // and long mode, and so gets a code and a level.
  EXPECT_EQ(CpuHasSse2(), 1);
  EXPECT_EQ(CpuHasLongMode(), 1);
  EXPECT_NE(DetectCpuType(), CPU_TYPE_NOT_RECOGNISED);
  const uint64_t t0 = CpuReadTsc();
  EXPECT_GE(CpuReadTsc(), t0);
  {
    testsupport::ScopedDispatchLevel keep(0);
    const DspStatus status = InitDispatchAuto();
    EXPECT_TRUE(status == DSP_STATUS_OK || status == DSP_WARN_CPU_NOT_RECOGNISED);
    EXPECT_GE(CpuDispatchIndex, 0);
    EXPECT_LT(CpuDispatchIndex, CPU_LEVEL_COUNT);
  }
}

}  // namespace
