// The 7753's configuration rewrite on the chip's 509-byte layout: what each
// switch set leaves, byte for byte where the layout is rebuilt, that every
// result parses with the 7753 model, and that a descriptor of another
// shape is refused and left as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "sim/device/Device7753.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/support/KernelTest.h"
#include "tests/variants/7753/Board7753.h"

namespace {

using sim::Bytes;
using test7753::Switches;

constexpr ULONG kAlt5Rate = 411 + 24;

// A unit or terminal of the output: (subtype, id).
using Piece = std::pair<UCHAR, UCHAR>;
constexpr UCHAR IT = 2, OT = 3, MU = 4, SU = 5, FU = 6;

struct Result {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Bytes bytes;  // the whole stored buffer after the rewrite
  UCHAR switches[C7753_SWITCH_COUNT] = {};
};

// The switches a case starts from: every one clear, or the defaults.
Result Rewrite(const Bytes& source, const Switches& set, bool defaults = false) {
  Result r;
  for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) r.switches[i] = defaults ? C7753DefaultSwitch(i) : 0;
  for (const auto& [index, value] : set) r.switches[index] = value;
  // Exactly the stored bytes in pool, so that a read or write beyond them is caught.
  auto* stored = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, source.size(), MakeTag("Test")));
  std::memcpy(stored, source.data(), source.size());
  r.status = RewriteC7753Configuration(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(stored),
                                       static_cast<ULONG>(source.size()), r.switches);
  r.bytes.assign(stored, stored + source.size());
  ExFreePool(stored);
  return r;
}

USHORT Le16(const Bytes& b, size_t at) { return static_cast<USHORT>(b[at] | b[at + 1] << 8); }

// The AudioControl units and terminals of a configuration, in order, and
// where each starts.
std::vector<std::pair<Piece, size_t>> AudioControl(const Bytes& b) {
  std::vector<std::pair<Piece, size_t>> pieces;
  for (size_t at = 28; at + 3 < b.size() && b[at] >= 2 && b[at + 1] == 0x24; at += b[at])
    pieces.push_back({{b[at + 2], b[at + 3]}, at});
  return pieces;
}

std::vector<Piece> Units(const Bytes& b) {
  std::vector<Piece> units;
  for (const auto& [piece, at] : AudioControl(b)) units.push_back(piece);
  return units;
}

// The (interface, alternate setting) of every interface descriptor within
// wTotalLength.
std::vector<std::pair<UCHAR, UCHAR>> Interfaces(const Bytes& b) {
  std::vector<std::pair<UCHAR, UCHAR>> interfaces;
  const size_t total = Le16(b, 2);
  for (size_t at = 9; at + 3 < total && b[at] >= 2; at += b[at])
    if (b[at + 1] == 4 && b[at + 6] != 1) interfaces.push_back({b[at + 2], b[at + 3]});
  return interfaces;
}

const Bytes* PieceBytes(const Bytes& b, Piece piece, Bytes* out) {
  for (const auto& [p, at] : AudioControl(b))
    if (p == piece) {
      out->assign(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + b[at]));
      return out;
    }
  return nullptr;
}

struct Case {
  const char* name;
  Switches set;
  bool defaults;
  USHORT header, total;
  std::vector<Piece> units;
  std::vector<std::pair<UCHAR, UCHAR>> interfaces;
};

const std::vector<std::pair<UCHAR, UCHAR>> kAllStreaming = {{1, 0}, {1, 1}, {1, 2}, {1, 3},
                                                            {1, 4}, {1, 5}, {2, 0}, {2, 1}};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"default switches", {}, true, 176, 485,
       {{IT, 1}, {IT, 4}, {FU, 8}, {FU, 9}, {MU, 12}, {FU, 13}, {OT, 3}, {OT, 7}, {SU, 18}, {IT, 5}, {FU, 15},
        {FU, 11}, {IT, 6}, {FU, 16}},
       kAllStreaming},
      {"no switch", {}, false, 200, 509,
       {{IT, 1}, {IT, 4}, {FU, 8}, {FU, 9}, {MU, 12}, {FU, 13}, {OT, 3}, {MU, 14}, {OT, 7}, {SU, 18}, {IT, 5},
        {FU, 15}, {FU, 11}, {IT, 6}, {FU, 2}, {FU, 16}},
       kAllStreaming},
      {"six channels", {{C7753_DISABLE_8CH_OUT, 1}}, false, 194, 457,
       {{IT, 1}, {IT, 4}, {FU, 8}, {FU, 9}, {MU, 12}, {FU, 13}, {OT, 3}, {MU, 14}, {OT, 7}, {SU, 18}, {IT, 5},
        {FU, 15}, {FU, 11}, {IT, 6}, {FU, 2}, {FU, 16}},
       {{1, 0}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {2, 0}, {2, 1}}},
      {"only the stereo mix records",
       {{C7753_DISABLE_MIC_IN_REC_UNIT, 1}, {C7753_DISABLE_LINE_IN_REC_UNIT, 1}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}},
       false, 148, 457,
       {{IT, 1}, {IT, 4}, {FU, 9}, {MU, 12}, {FU, 13}, {OT, 3}, {MU, 14}, {OT, 7}, {IT, 5}, {FU, 11}, {FU, 2}},
       kAllStreaming},
      {"no input terminal",
       {{C7753_DISABLE_MIC_IN_TERMINAL, 1}, {C7753_DISABLE_LINE_IN_TERMINAL, 1}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}},
       false, 47, 301, {{IT, 1}, {FU, 13}, {OT, 3}}, {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}}},
      {"the polled board's switches",
       {{C7753_DISABLE_LINE_IN_REC_UNIT, 1}, {C7753_SUPPORT_HP_OUT, 0}, {C7753_SUPPORT_SPDIF_OUT, 0},
        {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}, {C7753_DISABLE_4CH_OUT, 1}, {C7753_DISABLE_8CH_OUT, 1}},
       true, 129, 346,
       {{IT, 1}, {IT, 4}, {FU, 8}, {FU, 9}, {MU, 12}, {FU, 13}, {OT, 3}, {OT, 7}, {IT, 5}, {FU, 11}},
       {{1, 0}, {1, 2}, {1, 4}, {1, 5}, {2, 0}, {2, 1}}},
  };
  return cases;
}

class C7753RewriteTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
};

TEST_F(C7753RewriteTest, EachSwitchSetLeavesItsPiecesAndLengths) {
  const Bytes source = sim::chip7753::Layout();
  ASSERT_EQ(source.size(), C7753_LAYOUT_BYTES);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const Result r = Rewrite(source, c.set, c.defaults);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Le16(r.bytes, 23), c.header);
    EXPECT_EQ(Le16(r.bytes, 2), c.total);
    EXPECT_EQ(Units(r.bytes), c.units);
    EXPECT_EQ(Interfaces(r.bytes), c.interfaces);
    // The one-rate render setting always runs at 96 kHz.
    const size_t alt5 = c.total - (c.interfaces.back().first == 2 ? 55 : 0) - 43 + 24;
    EXPECT_EQ(Bytes(r.bytes.begin() + static_cast<long>(alt5), r.bytes.begin() + static_cast<long>(alt5) + 3),
              (Bytes{0x00, 0x77, 0x01}));
    // Nothing beyond the result was written.
    EXPECT_TRUE(std::equal(r.bytes.begin() + c.total, r.bytes.end(), source.begin() + c.total));
  }
}

TEST_F(C7753RewriteTest, RebuiltUnitsAreByteExact) {
  const Bytes source = sim::chip7753::Layout();

  // Built from every input, the rebuilt units are the source's own: only the
  // one-rate setting's frequency changes.
  Result all = Rewrite(source, {});
  Bytes expected = source;
  expected[kAlt5Rate] = 0x00, expected[kAlt5Rate + 1] = 0x77, expected[kAlt5Rate + 2] = 0x01;
  EXPECT_EQ(all.bytes, expected);

  // Default switches: the selector names 8, 15, 16; the recording terminal
  // keeps naming the selector.
  Result defaults = Rewrite(source, {}, true);
  Bytes piece;
  ASSERT_TRUE(PieceBytes(defaults.bytes, {SU, 18}, &piece));
  EXPECT_EQ(piece, (Bytes{9, 0x24, 5, 18, 3, 8, 15, 16, 0}));
  ASSERT_TRUE(PieceBytes(defaults.bytes, {OT, 7}, &piece));
  EXPECT_EQ(piece[7], 18);

  // Six channels: stream terminal 1 with six channels, the mixer of 21 bytes
  // over 6 x 10 channels, unit 13 ending after channel 6.
  Result six = Rewrite(source, {{C7753_DISABLE_8CH_OUT, 1}});
  ASSERT_TRUE(PieceBytes(six.bytes, {IT, 1}, &piece));
  EXPECT_EQ(piece[7], 6);
  EXPECT_EQ(Le16(piece, 8), 0x003F);
  ASSERT_TRUE(PieceBytes(six.bytes, {MU, 12}, &piece));
  Bytes mixer{21, 0x24, 4, 12, 3, 1, 9, 11, 6, 0x3F, 0x00, 0};
  mixer.resize(20, 0);
  mixer.push_back(0);
  EXPECT_EQ(piece, mixer);
  ASSERT_TRUE(PieceBytes(six.bytes, {FU, 13}, &piece));
  EXPECT_EQ(piece, (Bytes{14, 0x24, 6, 13, 12, 1, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0}));

  // One monitor path left: the mixer takes the stream and that path; with
  // none the master unit takes the stream directly.
  Result line = Rewrite(source, {{C7753_DISABLE_MIC_IN_AA_UNIT, 1}});
  ASSERT_TRUE(PieceBytes(line.bytes, {MU, 12}, &piece));
  EXPECT_EQ(Bytes(piece.begin(), piece.begin() + 7), (Bytes{10 + 2 + 10, 0x24, 4, 12, 2, 1, 11}));
  Result none = Rewrite(source, {{C7753_DISABLE_MIC_IN_AA_UNIT, 1}, {C7753_DISABLE_LINE_IN_AA_UNIT, 1}});
  ASSERT_TRUE(PieceBytes(none.bytes, {FU, 13}, &piece));
  EXPECT_EQ(piece[4], 1);

  // The single remaining source feeds the recording terminal.
  Result stereoMix = Rewrite(
      source,
      {{C7753_DISABLE_MIC_IN_REC_UNIT, 1}, {C7753_DISABLE_LINE_IN_REC_UNIT, 1}, {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}});
  ASSERT_TRUE(PieceBytes(stereoMix.bytes, {OT, 7}, &piece));
  EXPECT_EQ(piece[7], 2);
}

TEST_F(C7753RewriteTest, ImpliedSwitchesFollowTheTerminals) {
  Result r = Rewrite(sim::chip7753::Layout(), {{C7753_DISABLE_LINE_IN_TERMINAL, 1}});
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_TRUE(r.switches[C7753_DISABLE_LINE_IN_REC_UNIT] && r.switches[C7753_DISABLE_LINE_IN_AA_UNIT] &&
              r.switches[C7753_DISABLE_STEREO_MIX_REC_UNIT]);
  EXPECT_FALSE(r.switches[C7753_DISABLE_MIC_IN_REC_UNIT] || r.switches[C7753_DISABLE_MIC_IN_AA_UNIT]);
  // A monitor path alone takes the stereo mix with it, and the implications
  // stay even when the rewrite refuses.
  r = Rewrite(sim::chip7753::Layout(),
              {{C7753_DISABLE_MIC_IN_AA_UNIT, 1}, {C7753_DISABLE_6CH_OUT, 1}, {C7753_DISABLE_8CH_OUT, 1}});
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(r.switches[C7753_DISABLE_STEREO_MIX_REC_UNIT]);
}

TEST_F(C7753RewriteTest, AnotherShapeIsRefusedAndLeftAsItWas) {
  const Bytes layout = sim::chip7753::Layout();
  auto edit = [&](std::vector<std::pair<size_t, UCHAR>> edits) {
    Bytes b = layout;
    for (const auto& [at, value] : edits) b[at] = value;
    return b;
  };
  const struct {
    const char* name;
    Bytes bytes;
    Switches set;
  } refused[] = {
      {"both six and eight channels off", layout, {{C7753_DISABLE_6CH_OUT, 1}, {C7753_DISABLE_8CH_OUT, 1}}},
      {"one byte short of the layout", Bytes(layout.begin(), layout.end() - 1), {}},
      {"wTotalLength short of the layout", edit({{2, 0xFC}}), {}},
      {"a configuration of another device", haltest::StereoHeadset().Configuration(), {}},
      {"the master unit longer", edit({{97, 17}}), {}},
      {"a processing unit where the selector is", edit({{144 + 2, 7}}), {}},
      {"an endpoint where a render setting starts", edit({{319 + 1, 5}}), {}},
      {"render settings out of order", edit({{365 + 3, 5}}), {}},
      {"another interface's setting", edit({{273 + 2, 2}}), {}},
      {"no capture interface", edit({{454 + 1, 0x24}}), {}},
      {"two-byte bitmaps in the master unit", edit({{97 + 5, 2}}), {}},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    const Result r = Rewrite(c.bytes, c.set);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.bytes, c.bytes);
  }
  // Bytes after the layout are neither read nor kept: the HID interface of
  // the whole configuration stays where it was, beyond wTotalLength.
  const Bytes whole = sim::chip7753::Configuration();
  const Result r = Rewrite(whole, {});
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(Le16(r.bytes, 2), C7753_LAYOUT_BYTES);
  EXPECT_TRUE(std::equal(r.bytes.begin() + C7753_LAYOUT_BYTES, r.bytes.end(), whole.begin() + C7753_LAYOUT_BYTES));
}

// ---- Each result through the 7753 model ------------------------------------------------------

using C7753ReparseTest = C7753RewriteTest;

TEST_F(C7753ReparseTest, EveryResultParsesIntoItsUnits) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    // A board whose IDs and chip bytes no override knows: the switches are
    // the Settings store's alone.
    auto board = test7753::Board::Evaluation();
    board->PutSwitches(c.set, c.defaults);
    ASSERT_EQ(board->Start(), STATUS_SUCCESS);
    std::vector<Piece> units;
    for (ULONG i = 0; i < board->Model()->GetUnitCount(); ++i) {
      ITopoNode* unit = nullptr;
      ASSERT_EQ(board->Model()->GetUnit(i, &unit), STATUS_SUCCESS);
      units.push_back({static_cast<UCHAR>(unit->GetType()), static_cast<UCHAR>(unit->GetId())});
    }
    EXPECT_EQ(units, c.units);
    const bool capture = c.interfaces.back().first == 2;
    EXPECT_EQ(board->Hal()->GetStreamEngineCount(), capture ? 2u : 1u);
  }
}

TEST_F(C7753ReparseTest, ASwitchSetTheChipCannotShowDoesNotStart) {
  // Both output layouts off, and a recording terminal kept with no source
  // left: the terminal still names the dropped selector, and the link pass
  // refuses the device.
  for (const Switches& set : {Switches{{C7753_DISABLE_6CH_OUT, 1}, {C7753_DISABLE_8CH_OUT, 1}},
                              Switches{{C7753_DISABLE_MIC_IN_REC_UNIT, 1},
                                       {C7753_DISABLE_LINE_IN_REC_UNIT, 1},
                                       {C7753_DISABLE_SPDIF_IN_TERMINAL, 1}}}) {
    auto board = test7753::Board::Evaluation();
    board->PutSwitches(set);
    EXPECT_EQ(board->Start(), STATUS_UNSUCCESSFUL);
  }
}

}  // namespace
