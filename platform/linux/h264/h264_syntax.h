#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Reads H.264 syntax from an encoder's own output: parameter sets and slice
// headers, nothing of the slice data. Hostile or truncated input makes a
// parse fail (std::nullopt); it never reads out of bounds or throws.
namespace qx::h264 {

// nal_unit_type values this reader deals with.
enum NalType : int { kNalSlice = 1, kNalIdrSlice = 5, kNalSei = 6, kNalSps = 7, kNalPps = 8, kNalAud = 9 };

// slice_type modulo 5.
enum SliceType : int { kSliceP = 0, kSliceB = 1, kSliceI = 2, kSliceSP = 3, kSliceSI = 4 };

struct NalUnit {
  int refIdc = 0;
  int type = 0;
  std::span<const std::uint8_t> bytes;  // the header byte first; emulation-prevention bytes still in
};

// Reads the one-byte NAL header. Fails on an empty span or a set forbidden_zero_bit.
[[nodiscard]] std::optional<NalUnit> nalUnit(std::span<const std::uint8_t> withHeader);
// The NAL units of an Annex B byte stream (3- or 4-byte start codes). A unit
// ends at the next 00 00 00 or 00 00 01; its trailing zero bytes are dropped,
// and so are units whose header fails nalUnit().
[[nodiscard]] std::vector<NalUnit> splitAnnexB(std::span<const std::uint8_t> stream);
// NAL units each preceded by its length as 4 big-endian bytes. Stops at a zero
// length or one running past the end, keeping the units before it.
[[nodiscard]] std::vector<NalUnit> splitLengthPrefixed(std::span<const std::uint8_t> block);

// Reads RBSP bits straight from an escaped payload, skipping each
// emulation-prevention byte (the 03 of 00 00 03). Running out of data, or an
// Exp-Golomb code whose value does not fit 32 bits, sets failed(); after that
// every read returns 0, so a parser may read on and check once at the end.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> escaped) : data_(escaped) {}

  std::uint32_t u(int bits);  // bits in 0..32
  bool flag() { return u(1) != 0; }
  std::uint32_t ue();
  std::int32_t se();

  [[nodiscard]] bool failed() const { return failed_; }
  void fail() { failed_ = true; }
  [[nodiscard]] bool byteAligned() const { return bitsLeft_ == 0; }

 private:
  bool loadByte();

  std::span<const std::uint8_t> data_;
  std::size_t next_ = 0;
  std::uint8_t current_ = 0;
  int bitsLeft_ = 0;
  int zeroRun_ = 0;
  bool failed_ = false;
};

struct Sps {
  int profileIdc = 0;
  int constraintFlags = 0;  // constraint_set0_flag is the top bit
  int levelIdc = 0;
  int id = 0;
  int chromaFormatIdc = 1;  // 4:2:0 unless a high profile says otherwise
  bool separateColourPlane = false;
  int bitDepthLuma = 8;
  int bitDepthChroma = 8;
  bool scalingMatrixPresent = false;
  int log2MaxFrameNum = 4;
  int picOrderCntType = 0;
  int log2MaxPicOrderCntLsb = 4;         // type 0 only
  bool deltaPicOrderAlwaysZero = false;  // type 1 only
  int maxNumRefFrames = 0;
  bool gapsInFrameNumAllowed = false;
  int widthInMbs = 0;
  int heightInMapUnits = 0;
  bool frameMbsOnly = true;
  bool mbAdaptiveFrameField = false;

  [[nodiscard]] int maxFrameNum() const { return 1 << log2MaxFrameNum; }
  // 0 when there is no chroma to weight: monochrome or colour planes coded apart.
  [[nodiscard]] int chromaArrayType() const { return separateColourPlane ? 0 : chromaFormatIdc; }
  [[nodiscard]] int frameHeightInMbs() const { return (frameMbsOnly ? 1 : 2) * heightInMapUnits; }
};

struct Pps {
  int id = 0;
  int spsId = 0;
  bool entropyCodingMode = false;  // CABAC
  bool bottomFieldPicOrderInFramePresent = false;
  int numSliceGroups = 1;
  int sliceGroupMapType = 0;
  int sliceGroupChangeRate = 1;  // map types 3 to 5
  int numRefIdxL0DefaultActive = 1;
  int numRefIdxL1DefaultActive = 1;
  bool weightedPred = false;
  int weightedBipredIdc = 0;
  int picInitQp = 26;
  int picInitQs = 26;
  int chromaQpIndexOffset = 0;
  bool deblockingFilterControlPresent = false;
  bool constrainedIntraPred = false;
  bool redundantPicCntPresent = false;
};

// Both parse a whole NAL unit, header byte included.
[[nodiscard]] std::optional<Sps> parseSps(std::span<const std::uint8_t> nal);
[[nodiscard]] std::optional<Pps> parsePps(std::span<const std::uint8_t> nal);

struct RefPicListModification {
  int idc = 0;    // modification_of_pic_nums_idc: 0 subtract, 1 add, 2 long-term
  int value = 0;  // abs_diff_pic_num_minus1 for idc 0 and 1, long_term_pic_num for idc 2
  friend bool operator==(const RefPicListModification&, const RefPicListModification&) = default;
};

// One memory_management_control_operation; only the fields of its op are set.
struct Mmco {
  int op = 0;
  int differenceOfPicNumsMinus1 = 0;  // ops 1 and 3
  int longTermPicNum = 0;             // op 2
  int longTermFrameIdx = 0;           // ops 3 and 6
  int maxLongTermFrameIdxPlus1 = 0;   // op 4
  friend bool operator==(const Mmco&, const Mmco&) = default;
};

struct SliceHeader {
  int nalRefIdc = 0;
  int nalUnitType = 0;
  bool idr = false;
  int firstMbInSlice = 0;
  int sliceTypeRaw = 0;  // as coded, 5 to 9 when all slices of the picture share the type
  int sliceType = 0;     // SliceType
  int ppsId = 0;
  int colourPlaneId = 0;
  int frameNum = 0;
  int maxFrameNum = 0;  // of the active SPS, for frame_num arithmetic
  bool fieldPic = false;
  bool bottomField = false;
  int idrPicId = 0;
  int picOrderCntLsb = 0;
  int deltaPicOrderCntBottom = 0;
  std::array<int, 2> deltaPicOrderCnt{};
  int redundantPicCnt = 0;
  bool directSpatialMvPred = false;
  int numRefIdxL0Active = 0;  // 0 for I and SI slices
  int numRefIdxL1Active = 0;  // 0 unless B
  std::vector<RefPicListModification> list0;
  std::vector<RefPicListModification> list1;
  bool predWeightTable = false;
  bool noOutputOfPriorPics = false;  // IDR only
  bool longTermReference = false;    // IDR only
  bool adaptiveMarking = false;      // non-IDR only
  std::vector<Mmco> mmcos;
  int cabacInitIdc = 0;
  int sliceQp = 0;
  int disableDeblockingFilterIdc = 0;
  int sliceGroupChangeCycle = 0;  // slice group map types 3 to 5 only

  // The picture marks itself long-term: an IDR's long_term_reference_flag or MMCO 6.
  [[nodiscard]] bool marksItselfLongTerm() const;
  // A list modification places a long-term picture in a reference list.
  [[nodiscard]] bool reordersLongTerm() const;
  friend bool operator==(const SliceHeader&, const SliceHeader&) = default;
};

// Keeps the latest SPS and PPS of each id and parses slices against them.
class ParameterSetTable {
 public:
  // Stores an SPS or PPS over the one of the same id. False for other NAL
  // units and for parameter sets that fail to parse (the table is unchanged).
  bool add(const NalUnit& nal);
  [[nodiscard]] const Sps* sps(int id) const;
  [[nodiscard]] const Pps* pps(int id) const;
  // Parses a slice of nal_unit_type 1 or 5 to the end of its header. Fails
  // when the PPS or its SPS is unknown.
  [[nodiscard]] std::optional<SliceHeader> parseSlice(const NalUnit& nal) const;

 private:
  std::array<std::optional<Sps>, 32> sps_;
  std::array<std::optional<Pps>, 256> pps_;
};

}  // namespace qx::h264
