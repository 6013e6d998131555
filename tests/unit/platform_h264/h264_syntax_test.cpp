#include "platform/linux/h264/h264_syntax.h"

#include <gtest/gtest.h>
#include <wels/codec_api.h>

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

// x264.h declares NAL_SLICE and others at global scope, as the OpenH264 headers
// do. Its C functions keep their names inside a namespace.
namespace x264lib {
#include <x264.h>
}  // namespace x264lib

namespace qx::h264 {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kWidth = 176;
constexpr int kHeight = 144;

// Writes RBSP bits and wraps them as an escaped NAL unit.
class BitWriter {
 public:
  BitWriter& u(int bits, std::uint64_t value) {
    for (int i = bits - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
    return *this;
  }
  BitWriter& flag(bool value) { return u(1, value ? 1 : 0); }
  BitWriter& ue(std::uint32_t value) {
    const std::uint64_t code = std::uint64_t{value} + 1;
    int zeros = 0;
    while ((code >> (zeros + 1)) != 0) ++zeros;
    return u(zeros, 0).u(zeros + 1, code);
  }
  BitWriter& se(int value) {
    return ue(value > 0 ? 2 * static_cast<std::uint32_t>(value) - 1 : 2 * static_cast<std::uint32_t>(-value));
  }
  BitWriter& alignWithOnes() {
    while (bits_.size() % 8 != 0) bits_.push_back(true);
    return *this;
  }
  // Header byte, the bits, a stop bit and padding, with emulation prevention.
  [[nodiscard]] Bytes nal(int refIdc, int type) const {
    std::vector<bool> bits = bits_;
    bits.push_back(true);
    while (bits.size() % 8 != 0) bits.push_back(false);
    Bytes out{static_cast<std::uint8_t>(refIdc << 5 | type)};
    int zeros = 0;
    for (std::size_t i = 0; i < bits.size(); i += 8) {
      std::uint8_t byte = 0;
      for (std::size_t j = 0; j < 8; ++j) byte = static_cast<std::uint8_t>(byte << 1 | (bits[i + j] ? 1 : 0));
      if (zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  std::vector<bool> bits_;
};

struct SpsFields {
  int profile = 66;
  int id = 0;
  int chromaFormat = 1;
  bool separatePlanes = false;
  int bitDepthMinus8 = 0;
  bool scalingLists = false;
  int deltaScale = 1;
  int log2MaxFrameNumMinus4 = 0;
  int pocType = 0;
  int log2MaxPocLsbMinus4 = 2;
  int maxRefs = 1;
  bool frameMbsOnly = true;
};

Bytes writeSps(const SpsFields& f) {
  BitWriter w;
  w.u(8, f.profile).u(8, 0).u(8, 30).ue(f.id);
  if (f.profile >= 100) {
    w.ue(f.chromaFormat);
    if (f.chromaFormat == 3) w.flag(f.separatePlanes);
    w.ue(f.bitDepthMinus8).ue(f.bitDepthMinus8).flag(false).flag(f.scalingLists);
    // List 0: 16 deltas; 1: the default (first scale 0); 6 and the last: 64
    // deltas; 7 of 4:2:0 ends after two deltas; the others are absent.
    const int lists = f.chromaFormat == 3 ? 12 : 8;
    for (int i = 0; f.scalingLists && i < lists; ++i) {
      const bool long64 = i == 6 || (lists == 12 && i == 11);
      w.flag(i < 2 || long64 || i == 7);
      for (int j = 0; i == 0 && j < 16; ++j) w.se(f.deltaScale);
      if (i == 1) w.se(-8);
      for (int j = 0; long64 && j < 64; ++j) w.se(j % 2 != 0 ? 5 : -3);
      if (i == 7) w.se(2).se(-10);
    }
  }
  w.ue(f.log2MaxFrameNumMinus4).ue(f.pocType);
  if (f.pocType == 0) w.ue(f.log2MaxPocLsbMinus4);
  if (f.pocType == 1) w.flag(false).se(-2).se(1).ue(3).se(4).se(-5).se(6);
  // 11 x 9 macroblocks, or 11 x 10 as two fields of 5 rows.
  w.ue(f.maxRefs).flag(false).ue(10).ue(f.frameMbsOnly ? 8 : 4);
  w.flag(f.frameMbsOnly);
  if (!f.frameMbsOnly) w.flag(false);
  return w.flag(true).flag(false).flag(false).nal(3, kNalSps);
}

struct PpsFields {
  int id = 0;
  int spsId = 0;
  bool cabac = false;
  bool bottomFieldPoc = false;
  int sliceGroupsMinus1 = 0;
  int mapType = 0;
  int l0DefaultMinus1 = 0;
  bool weighted = false;
  int bipred = 0;
  int chromaQpOffset = 0;
  bool deblockingControl = false;
  bool redundant = false;
};

Bytes writePps(const PpsFields& f) {
  BitWriter w;
  w.ue(f.id).ue(f.spsId).flag(f.cabac).flag(f.bottomFieldPoc).ue(f.sliceGroupsMinus1);
  if (f.sliceGroupsMinus1 > 0) {
    w.ue(f.mapType);
    for (int i = 0; f.mapType == 0 && i <= f.sliceGroupsMinus1; ++i) w.ue(5 + i);
    for (int i = 0; f.mapType == 2 && i < f.sliceGroupsMinus1; ++i) w.ue(i).ue(20 + i);
    if (f.mapType >= 3 && f.mapType <= 5) w.flag(true).ue(12);
    if (f.mapType == 6) w.ue(98);
    for (int i = 0; f.mapType == 6 && i < 99; ++i) w.u(2, i % 3);  // three groups: 2 bits an id
  }
  w.ue(f.l0DefaultMinus1).ue(0).flag(f.weighted).u(2, f.bipred).se(-3).se(0).se(f.chromaQpOffset);
  return w.flag(f.deblockingControl).flag(false).flag(f.redundant).nal(3, kNalPps);
}

NalUnit unit(const Bytes& bytes) { return *nalUnit(bytes); }

std::vector<std::uint32_t> bytesRead(const Bytes& escaped) {
  BitReader r(escaped);
  std::vector<std::uint32_t> out;
  for (std::uint32_t b = r.u(8); !r.failed(); b = r.u(8)) out.push_back(b);
  return out;
}

TEST(H264BitReader, ReadsExpGolombAndFailsPastTheEnd) {
  // 1 010 011 00100 00111 0001000 | 1 010 011 00100 00101 as bytes.
  const Bytes codes{0b10100110, 0b01000011, 0b10001000, 0b10100110, 0b01000010, 0b10000000};
  BitReader r(codes);
  for (const std::uint32_t expected : {0u, 1u, 2u, 3u, 6u, 7u}) EXPECT_EQ(r.ue(), expected);
  for (const int expected : {0, 1, -1, 2, -2}) EXPECT_EQ(r.se(), expected);
  EXPECT_FALSE(r.failed());
  r.u(8);
  EXPECT_TRUE(r.failed());

  // 31 zeros then 32 ones is the largest ue(v); one zero more does not fit.
  const Bytes largest{0, 0, 0, 1, 0xff, 0xff, 0xff, 0xfe};
  BitReader big(largest);
  EXPECT_EQ(big.ue(), 0xfffffffeu);
  EXPECT_FALSE(big.failed());
  const Bytes tooLong{0, 0, 0, 0, 0x80, 0, 0, 0, 0};
  BitReader overlong(tooLong);
  overlong.ue();
  EXPECT_TRUE(overlong.failed());
}

TEST(H264BitReader, DropsEmulationPreventionBytes) {
  const struct {
    Bytes escaped;
    std::vector<std::uint32_t> rbsp;
  } cases[] = {
      {{0, 0, 3, 1}, {0, 0, 1}},
      {{0, 0, 3, 0, 0, 3, 3}, {0, 0, 0, 0, 3}},
      {{0, 3, 0, 0, 3}, {0, 3, 0, 0}},
      {{5, 0, 0, 3}, {5, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(bytesRead(c.escaped), c.rbsp);
}

TEST(H264Nal, SplitsAnnexBAndLengthPrefixedUnits) {
  const Bytes annexB{9, 0, 0, 0,    1, 0x67, 1, 2,        // junk, a 4-byte start code, an SPS
                     0, 0, 1, 0xe5, 7,                    // forbidden_zero_bit set
                     0, 0, 1, 0x68, 3,                    // a PPS
                     0, 0, 0, 0,    1, 0x05, 0, 0, 3, 1,  // an IDR slice with an escape
                     0, 0};                               // trailing zeros
  std::vector<std::tuple<int, int, std::size_t>> units;   // type, nal_ref_idc, size
  for (const NalUnit& nal : splitAnnexB(annexB)) units.emplace_back(nal.type, nal.refIdc, nal.bytes.size());
  EXPECT_EQ(units,
            (std::vector<std::tuple<int, int, std::size_t>>{{kNalSps, 3, 3}, {kNalPps, 3, 2}, {kNalIdrSlice, 0, 5}}));

  const Bytes prefixed{0, 0, 0, 2, 0x41, 9, 0, 0, 0, 1, 0x06, 0, 0, 0, 0, 0, 0, 0, 1, 0x09};
  EXPECT_EQ(splitLengthPrefixed(prefixed).size(), 2u);  // stops at the zero length
  const Bytes overlong{0, 0, 0, 1, 0x09, 0, 0, 0, 5, 0x41, 1};
  EXPECT_EQ(splitLengthPrefixed(overlong).size(), 1u);
}

TEST(H264Sps, SkipsScalingListsAndPicOrderCycles) {
  const SpsFields cases[] = {
      {},
      {.profile = 100, .scalingLists = true, .log2MaxFrameNumMinus4 = 5, .maxRefs = 4},
      {.profile = 244, .chromaFormat = 3, .bitDepthMinus8 = 2, .scalingLists = true, .pocType = 2},
      {.profile = 77, .log2MaxFrameNumMinus4 = 12, .pocType = 1, .maxRefs = 16, .frameMbsOnly = false},
  };
  for (const SpsFields& f : cases) {
    SCOPED_TRACE(f.profile);
    const auto sps = parseSps(writeSps(f));
    ASSERT_TRUE(sps);
    EXPECT_EQ(sps->scalingMatrixPresent, f.scalingLists);
    EXPECT_EQ(sps->chromaFormatIdc, f.chromaFormat);
    EXPECT_EQ(sps->bitDepthLuma, 8 + f.bitDepthMinus8);
    EXPECT_EQ(sps->maxFrameNum(), 16 << f.log2MaxFrameNumMinus4);
    EXPECT_EQ(sps->picOrderCntType, f.pocType);
    EXPECT_EQ(sps->maxNumRefFrames, f.maxRefs);
    EXPECT_EQ(sps->widthInMbs, 11);
    EXPECT_EQ(sps->frameHeightInMbs(), 9 + (f.frameMbsOnly ? 0 : 1));
    EXPECT_EQ(sps->frameMbsOnly, f.frameMbsOnly);
  }
}

TEST(H264Pps, SkipsSliceGroups) {
  for (const int mapType : {0, 1, 2, 4, 6}) {
    const auto pps = parsePps(writePps({.id = 7,
                                        .sliceGroupsMinus1 = 2,
                                        .mapType = mapType,
                                        .l0DefaultMinus1 = 3,
                                        .weighted = true,
                                        .bipred = 2,
                                        .chromaQpOffset = -4,
                                        .redundant = true}));
    ASSERT_TRUE(pps) << mapType;
    EXPECT_EQ(pps->id, 7);
    EXPECT_EQ(pps->numSliceGroups, 3);
    EXPECT_EQ(pps->numRefIdxL0DefaultActive, 4);
    EXPECT_TRUE(pps->weightedPred);
    EXPECT_EQ(pps->weightedBipredIdc, 2);
    EXPECT_EQ(pps->picInitQp, 23);
    EXPECT_EQ(pps->chromaQpIndexOffset, -4);
    EXPECT_TRUE(pps->redundantPicCntPresent);
  }
}

TEST(H264ParameterSets, RejectValuesOutOfRange) {
  const SpsFields badSps[] = {{.id = 32},
                              {.log2MaxFrameNumMinus4 = 13},
                              {.pocType = 3},
                              {.log2MaxPocLsbMinus4 = 13},
                              {.maxRefs = 17},
                              {.profile = 100, .chromaFormat = 4},
                              {.profile = 100, .bitDepthMinus8 = 7},
                              {.profile = 100, .scalingLists = true, .deltaScale = 128}};
  for (const SpsFields& f : badSps) EXPECT_FALSE(parseSps(writeSps(f))) << f.id << " " << f.log2MaxFrameNumMinus4;
  const PpsFields badPps[] = {{.id = 256},   {.spsId = 32},         {.sliceGroupsMinus1 = 8}, {.l0DefaultMinus1 = 32},
                              {.bipred = 3}, {.chromaQpOffset = 13}};
  for (const PpsFields& f : badPps) EXPECT_FALSE(parsePps(writePps(f))) << f.id << " " << f.l0DefaultMinus1;
}

// A field B slice: POC type 1 deltas, redundant_pic_cnt, both lists modified,
// weights with chroma, CABAC alignment; and a P frame of one colour plane (no
// chroma weights) with every MMCO and a slice group change cycle.
struct HandMadeSlice {
  SpsFields sps;
  PpsFields pps;
  Bytes nal;
  SliceHeader expected;
};

std::vector<HandMadeSlice> handMadeSlices() {
  std::vector<HandMadeSlice> out;
  {
    HandMadeSlice c{{.profile = 77, .log2MaxFrameNumMinus4 = 1, .pocType = 1, .maxRefs = 4, .frameMbsOnly = false},
                    {.cabac = true, .bottomFieldPoc = true, .l0DefaultMinus1 = 1, .bipred = 1, .redundant = true},
                    {},
                    {}};
    BitWriter w;
    w.ue(3).ue(6).ue(0).u(5, 17).flag(true).flag(true).se(-3).ue(2).flag(true).flag(true).ue(2).ue(1);
    w.flag(true).ue(0).ue(4).ue(2).ue(31).ue(3).flag(true).ue(1).ue(0).ue(3);
    w.ue(5).ue(3).flag(true).se(-7).se(2).flag(false).flag(false).flag(true).se(1).se(2).se(3).se(-4);
    w.flag(false).flag(true).se(0).se(0).se(0).se(0).flag(true).se(9).se(-9).flag(false).flag(false).flag(false);
    c.nal = w.ue(1).se(-4).alignWithOnes().nal(0, kNalSlice);
    SliceHeader& e = c.expected;
    e.nalUnitType = kNalSlice;
    e.firstMbInSlice = 3;
    e.sliceTypeRaw = 6;
    e.sliceType = kSliceB;
    e.frameNum = 17;
    e.maxFrameNum = 32;
    e.fieldPic = e.bottomField = true;
    e.deltaPicOrderCnt = {-3, 0};
    e.redundantPicCnt = 2;
    e.directSpatialMvPred = true;
    e.numRefIdxL0Active = 3;
    e.numRefIdxL1Active = 2;
    e.list0 = {{0, 4}, {2, 31}};
    e.list1 = {{1, 0}};
    e.predWeightTable = true;
    e.cabacInitIdc = 1;
    e.sliceQp = 19;
    out.push_back(c);
  }
  {
    HandMadeSlice c{{.profile = 244, .chromaFormat = 3, .separatePlanes = true, .maxRefs = 4},
                    {.sliceGroupsMinus1 = 1, .mapType = 4, .weighted = true, .deblockingControl = true},
                    {},
                    {}};
    BitWriter w;
    w.ue(0).ue(0).ue(0).u(2, 2).u(4, 9).u(6, 18).flag(true).ue(1).flag(false);
    w.ue(2).flag(true).se(3).se(-1).flag(false);
    w.flag(true).ue(1).ue(2).ue(2).ue(3).ue(3).ue(0).ue(1).ue(4).ue(3).ue(5).ue(6).ue(2).ue(0);
    c.nal = w.se(2).ue(0).se(-2).se(3).u(4, 5).nal(2, kNalSlice);
    SliceHeader& e = c.expected;
    e.nalRefIdc = 2;
    e.nalUnitType = kNalSlice;
    e.colourPlaneId = 2;
    e.frameNum = 9;
    e.maxFrameNum = 16;
    e.picOrderCntLsb = 18;
    e.numRefIdxL0Active = 2;
    e.predWeightTable = true;
    e.adaptiveMarking = true;
    e.mmcos = {{.op = 1, .differenceOfPicNumsMinus1 = 2},
               {.op = 2, .longTermPicNum = 3},
               {.op = 3, .longTermFrameIdx = 1},
               {.op = 4, .maxLongTermFrameIdxPlus1 = 3},
               {.op = 5},
               {.op = 6, .longTermFrameIdx = 2}};
    e.sliceQp = 25;
    e.sliceGroupChangeCycle = 5;
    out.push_back(c);
  }
  return out;
}

// Short prefixes fail; once the header fits, every longer one reads it whole.
void expectPrefixesFailOrMatch(const ParameterSetTable& table, const Bytes& nal, const SliceHeader& header) {
  bool complete = false;
  for (std::size_t size = 1; size <= nal.size(); ++size) {
    const auto prefix = table.parseSlice(unit(Bytes(nal.begin(), nal.begin() + static_cast<std::ptrdiff_t>(size))));
    complete = complete || prefix.has_value();
    EXPECT_EQ(prefix.has_value(), complete) << size;
    if (prefix) {
      EXPECT_EQ(*prefix, header) << size;
    }
  }
}

TEST(H264Slice, ReadsHandMadeHeadersAndEveryPrefixFailsOrMatches) {
  for (const HandMadeSlice& c : handMadeSlices()) {
    ParameterSetTable table;
    ASSERT_TRUE(table.add(unit(writeSps(c.sps))));
    ASSERT_TRUE(table.add(unit(writePps(c.pps))));
    EXPECT_EQ(table.parseSlice(unit(c.nal)), c.expected);
    expectPrefixesFailOrMatch(table, c.nal, c.expected);
  }
}

TEST(H264Slice, RejectsMalformedHeaders) {
  ParameterSetTable table;
  table.add(unit(writeSps({})));
  table.add(unit(writePps({.cabac = true})));
  table.add(unit(writePps({.id = 1, .spsId = 3})));
  // first_mb_in_slice, slice_type, pic_parameter_set_id, frame_num, pic_order_cnt_lsb.
  const auto start = [](int firstMb, int sliceType, int ppsId) {
    BitWriter w;
    w.ue(firstMb).ue(sliceType).ue(ppsId).u(4, 1).u(6, 2);
    return w;
  };
  // No override, no list modification, sliding window, cabac_init_idc 0, slice_qp_delta 0.
  const auto pEnd = [](BitWriter w) { return w.flag(false).flag(false).flag(false).ue(0).se(0).alignWithOnes(); };
  const auto iEnd = [](BitWriter w) { return w.flag(false).se(0).alignWithOnes(); };
  const struct {
    const char* name;
    Bytes nal;
    bool valid;
  } cases[] = {
      {"P", pEnd(start(0, 5, 0)).nal(2, kNalSlice), true},
      {"I", iEnd(start(0, 7, 0)).nal(2, kNalSlice), true},
      {"unknown PPS", pEnd(start(0, 5, 2)).nal(2, kNalSlice), false},
      {"unknown SPS", pEnd(start(0, 5, 1)).nal(2, kNalSlice), false},
      {"first_mb past the picture", iEnd(start(99, 7, 0)).nal(2, kNalSlice), false},
      {"IDR",
       BitWriter().ue(0).ue(7).ue(0).u(4, 0).ue(1).u(6, 0).flag(false).flag(true).se(0).alignWithOnes().nal(
           3, kNalIdrSlice),
       true},
      {"IDR with nal_ref_idc 0",
       BitWriter().ue(0).ue(7).ue(0).u(4, 0).ue(1).u(6, 0).se(0).alignWithOnes().nal(0, kNalIdrSlice), false},
      {"a modification per reference and one more",
       start(0, 5, 0).flag(false).flag(true).ue(0).ue(0).ue(0).ue(0).ue(3).flag(false).ue(0).se(0).alignWithOnes().nal(
           2, kNalSlice),
       false},
      {"MMCO 7",
       start(0, 5, 0).flag(false).flag(false).flag(true).ue(7).ue(0).ue(0).se(0).alignWithOnes().nal(2, kNalSlice),
       false},
      {"a zero alignment bit", start(0, 7, 0).flag(false).se(0).u(7, 0).nal(2, kNalSlice), false},
  };
  for (const auto& c : cases) EXPECT_EQ(table.parseSlice(unit(c.nal)).has_value(), c.valid) << c.name;
}

// Reads the pictures of a stream in decode order, one header per slice, and
// keeps the first slice with MMCOs or (if none) with list modifications.
struct StreamReader {
  void read(std::span<const NalUnit> units) {
    for (const NalUnit& nal : units) {
      if (nal.type == kNalSps || nal.type == kNalPps) {
        ASSERT_TRUE(table.add(nal));
      }
      if (nal.type != kNalSlice && nal.type != kNalIdrSlice) continue;
      auto slice = table.parseSlice(nal);
      ASSERT_TRUE(slice) << "slice " << slices.size();
      const bool richer = sample.mmcos.empty() && (!slice->mmcos.empty() || sample.list0.empty());
      if ((!slice->mmcos.empty() || !slice->list0.empty()) && richer) {
        sampleNal.assign(nal.bytes.begin(), nal.bytes.end());
        sample = *slice;
      }
      slices.push_back(std::move(*slice));
    }
  }
  // frame_num is 0 at an IDR, else one more than that of the previous reference picture.
  void expectFrameNumsFollowReferences() const {
    int previousRef = 0;
    for (std::size_t i = 0; i < slices.size(); ++i) {
      const SliceHeader& s = slices[i];
      EXPECT_EQ(s.frameNum, s.idr ? 0 : (previousRef + 1) % s.maxFrameNum) << "slice " << i;
      if (s.nalRefIdc != 0) previousRef = s.frameNum;
    }
  }
  ParameterSetTable table;
  std::vector<SliceHeader> slices;
  Bytes sampleNal;
  SliceHeader sample;
};

void paint(std::uint8_t* y, int yStride, std::uint8_t* u, std::uint8_t* v, int cStride, int frame) {
  // A fade (for weighted prediction) behind a moving block.
  for (int row = 0; row < kHeight; ++row) {
    for (int col = 0; col < kWidth; ++col) {
      const bool block = col >= frame * 4 % 140 && col < frame * 4 % 140 + 24 && row >= 40 && row < 64;
      y[row * yStride + col] = static_cast<std::uint8_t>(block ? 235 : ((col * 5 + row * 3) & 0x7f) + frame * 3);
    }
  }
  for (int row = 0; row < kHeight / 2; ++row) {
    for (int col = 0; col < kWidth / 2; ++col) {
      u[row * cStride + col] = static_cast<std::uint8_t>(128 + ((col + frame) & 15));
      v[row * cStride + col] = static_cast<std::uint8_t>(120 + ((row + frame) & 7));
    }
  }
}

struct X264Case {
  std::string name;
  int bframes = 0;
  int weightp = 2;
  int refs = 3;
  bool cabac = true;
  bool interlaced = false;
  int slices = 1;
  bool annexB = true;
  bool weightTables = true;  // every P slice carries one
};

TEST(H264SyntaxX264, ReadsEverySliceX264Writes) {
  using namespace x264lib;
  const X264Case cases[] = {
      {.name = "weighted P, three refs"},
      {.name = "B pyramid", .bframes = 3},
      {.name = "MBAFF", .bframes = 2, .interlaced = true, .weightTables = false},
      {.name = "CAVLC, three slices, length-prefixed", .refs = 2, .cabac = false, .slices = 3, .annexB = false},
  };
  for (const X264Case& c : cases) {
    SCOPED_TRACE(c.name);
    x264_param_t p;
    ASSERT_EQ(x264_param_default_preset(&p, "medium", nullptr), 0);
    p.i_log_level = X264_LOG_NONE;
    p.i_threads = 1;
    p.i_width = kWidth;
    p.i_height = kHeight;
    p.i_csp = X264_CSP_I420;
    p.i_keyint_max = 12;
    p.i_bframe = c.bframes;
    p.analyse.i_weighted_pred = c.weightp;
    p.i_frame_reference = c.refs;
    p.b_cabac = c.cabac;
    p.b_interlaced = c.interlaced;
    p.i_slice_count = c.slices;
    p.b_annexb = c.annexB;
    x264_t* encoder = x264_encoder_open(&p);
    ASSERT_NE(encoder, nullptr);
    x264_picture_t in;
    x264_picture_alloc(&in, X264_CSP_I420, kWidth, kHeight);
    StreamReader reader;
    std::vector<int> pictureTypes;  // as x264 reports them, one per slice
    int bSlices = 0;
    for (int frame = 0; frame < 30 || x264_encoder_delayed_frames(encoder) > 0; ++frame) {
      if (frame < 30)
        paint(in.img.plane[0], in.img.i_stride[0], in.img.plane[1], in.img.plane[2], in.img.i_stride[1], frame);
      in.i_pts = frame;
      x264_nal_t* nals = nullptr;
      int count = 0;
      x264_picture_t out;
      ASSERT_GE(x264_encoder_encode(encoder, &nals, &count, frame < 30 ? &in : nullptr, &out), 0);
      if (count == 0) continue;
      const Bytes bytes(nals[0].p_payload, nals[count - 1].p_payload + nals[count - 1].i_payload);
      const auto units = c.annexB ? splitAnnexB(bytes) : splitLengthPrefixed(bytes);
      ASSERT_EQ(units.size(), static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) {
        EXPECT_EQ(units[i].type, nals[i].i_type);
        EXPECT_EQ(units[i].refIdc, nals[i].i_ref_idc);
        if (units[i].type == kNalSlice || units[i].type == kNalIdrSlice) pictureTypes.push_back(out.i_type);
      }
      reader.read(units);
    }
    x264_picture_clean(&in);
    x264_encoder_close(encoder);

    ASSERT_EQ(reader.slices.size(), pictureTypes.size());
    int expectedFirstMb = 0;
    for (std::size_t i = 0; i < reader.slices.size(); ++i) {
      const SliceHeader& s = reader.slices[i];
      const int type = pictureTypes[i];
      EXPECT_EQ(s.idr, type == X264_TYPE_IDR) << i;
      const int sliceType = type == X264_TYPE_P ? kSliceP : IS_X264_TYPE_B(type) ? kSliceB : kSliceI;
      EXPECT_EQ(s.sliceType, sliceType) << i;
      EXPECT_EQ(s.nalRefIdc == 0, type == X264_TYPE_B) << i;
      if (c.weightTables && s.sliceType == kSliceP) {
        EXPECT_TRUE(s.predWeightTable) << i;
      }
      // Slices of a picture come in macroblock order and share its frame_num.
      if (s.firstMbInSlice == 0) expectedFirstMb = 0;
      EXPECT_GE(s.firstMbInSlice, expectedFirstMb) << i;
      expectedFirstMb = s.firstMbInSlice + 1;
      if (s.firstMbInSlice != 0) {
        EXPECT_EQ(s.frameNum, reader.slices[i - 1].frameNum) << i;
      }
      bSlices += s.sliceType == kSliceB ? 1 : 0;
    }
    if (c.bframes > 0) {
      EXPECT_GT(bSlices, 0);
    }
    std::vector<SliceHeader> firstSlices;
    for (const SliceHeader& s : reader.slices) {
      if (s.firstMbInSlice == 0) firstSlices.push_back(s);
    }
    reader.slices = firstSlices;
    reader.expectFrameNumsFollowReferences();
    expectPrefixesFailOrMatch(reader.table, reader.sampleNal, reader.sample);
  }
}

// OpenH264 marks long-term references itself and says nothing about them; the
// marks are read back, acknowledged, and a recovery request must make the
// next frame predict from the newest acknowledged one.
TEST(H264SyntaxOpenH264, FindsLongTermMarksAndTheRecoveryReference) {
  ISVCEncoder* encoder = nullptr;
  ASSERT_EQ(WelsCreateSVCEncoder(&encoder), 0);
  int quiet = WELS_LOG_QUIET;
  encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
  SEncParamExt p;
  encoder->GetDefaultParams(&p);
  p.iUsageType = CAMERA_VIDEO_REAL_TIME;
  p.iPicWidth = p.sSpatialLayers[0].iVideoWidth = kWidth;
  p.iPicHeight = p.sSpatialLayers[0].iVideoHeight = kHeight;
  p.iTargetBitrate = p.sSpatialLayers[0].iSpatialBitrate = 300000;
  p.iRCMode = RC_BITRATE_MODE;
  p.fMaxFrameRate = p.sSpatialLayers[0].fFrameRate = 30;
  p.iSpatialLayerNum = 1;
  p.sSpatialLayers[0].sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
  p.bEnableLongTermReference = true;
  p.iLtrMarkPeriod = 10;
  p.bEnableSceneChangeDetect = false;
  p.bEnableFrameSkip = false;
  p.iMultipleThreadIdc = 1;
  ASSERT_EQ(encoder->InitializeExt(&p), 0);

  constexpr int kRecoveryFrame = 30;
  std::vector<std::uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
  StreamReader reader;
  int idrPicId = 0;
  int newestAcknowledgedIdx = -1;
  int recoveryIdx = -1;  // LongTermFrameIdx of the newest acknowledged mark when recovery was asked for
  int mmco6 = 0;
  int mmco3 = 0;
  for (int frame = 0; frame < 40; ++frame) {
    if (frame == kRecoveryFrame) {
      SLTRRecoverRequest request{};
      request.uiFeedbackType = LTR_RECOVERY_REQUEST;
      request.uiIDRPicId = static_cast<unsigned>(idrPicId);
      request.iLastCorrectFrameNum = request.iCurrentFrameNum = reader.slices.back().frameNum;
      ASSERT_EQ(encoder->SetOption(ENCODER_LTR_RECOVERY_REQUEST, &request), 0);
      recoveryIdx = newestAcknowledgedIdx;
    }
    paint(y.data(), kWidth, u.data(), v.data(), kWidth / 2, frame);
    SSourcePicture picture{};
    picture.iColorFormat = videoFormatI420;
    picture.iPicWidth = kWidth;
    picture.iPicHeight = kHeight;
    picture.iStride[0] = kWidth;
    picture.iStride[1] = picture.iStride[2] = kWidth / 2;
    picture.pData[0] = y.data();
    picture.pData[1] = u.data();
    picture.pData[2] = v.data();
    picture.uiTimeStamp = frame * 33;
    SFrameBSInfo info{};
    ASSERT_EQ(encoder->EncodeFrame(&picture, &info), 0);
    const std::size_t before = reader.slices.size();
    for (int layer = 0; layer < info.iLayerNum; ++layer) {
      const SLayerBSInfo& l = info.sLayerInfo[layer];
      std::size_t size = 0;
      for (int i = 0; i < l.iNalCount; ++i) size += static_cast<std::size_t>(l.pNalLengthInByte[i]);
      reader.read(splitAnnexB({l.pBsBuf, size}));
    }
    ASSERT_EQ(reader.slices.size(), before + 1) << frame;
    const SliceHeader& s = reader.slices.back();

    // Each mark is acknowledged with the frame_num of the picture that became
    // long-term: this one for an IDR or MMCO 6, an earlier one for MMCO 3.
    std::optional<int> marked;
    if (s.idr) idrPicId = s.idrPicId;
    if (s.marksItselfLongTerm()) marked = s.frameNum;
    for (const Mmco& m : s.mmcos) {
      if (m.op == 3) marked = (s.frameNum - m.differenceOfPicNumsMinus1 - 1 + s.maxFrameNum) % s.maxFrameNum;
      if (m.op == 3 || m.op == 6) newestAcknowledgedIdx = m.longTermFrameIdx;
      mmco6 += m.op == 6 ? 1 : 0;
      mmco3 += m.op == 3 ? 1 : 0;
    }
    if (s.idr && s.longTermReference) newestAcknowledgedIdx = 0;
    if (marked) {
      SLTRMarkingFeedback feedback{};
      feedback.uiFeedbackType = LTR_MARKING_SUCCESS;
      feedback.uiIDRPicId = static_cast<unsigned>(idrPicId);
      feedback.iLTRFrameNum = *marked;
      ASSERT_EQ(encoder->SetOption(ENCODER_LTR_MARKING_FEEDBACK, &feedback), 0);
    }
  }
  encoder->Uninitialize();
  WelsDestroySVCEncoder(encoder);

  EXPECT_TRUE(reader.slices.front().idr);
  EXPECT_TRUE(reader.slices.front().longTermReference);
  EXPECT_GT(mmco6, 0);
  // The encoder marks again by MMCO 3 only once the last mark was acknowledged.
  EXPECT_GT(mmco3, 0);
  const SliceHeader& recovery = reader.slices[kRecoveryFrame];
  EXPECT_FALSE(recovery.idr);
  EXPECT_EQ(recovery.list0, (std::vector<RefPicListModification>{{2, recoveryIdx}}));
  EXPECT_TRUE(recovery.reordersLongTerm());
  reader.expectFrameNumsFollowReferences();
  EXPECT_FALSE(reader.sample.mmcos.empty());
  expectPrefixesFailOrMatch(reader.table, reader.sampleNal, reader.sample);
}

}  // namespace
}  // namespace qx::h264
