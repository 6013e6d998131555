#include "platform/linux/h264/h264_syntax.h"

#include <algorithm>
#include <utility>

namespace qx::h264 {

namespace {

// No level allows a picture side longer than sqrt(8 * MaxFS) = 1055 macroblocks.
constexpr std::uint32_t kMaxMbsPerSide = 1055;
constexpr std::uint32_t kMaxMapUnits = kMaxMbsPerSide * kMaxMbsPerSide;
// Far more than a DPB of 16 frames needs (a few ops per field plus op 4 and
// op 5), and few enough that a hostile header cannot keep the loop busy.
constexpr std::size_t kMaxMmcos = 66;
// LongTermFrameIdx stays below the 16 frames a DPB can hold.
constexpr std::uint32_t kMaxLongTermFrameIdx = 15;

bool isStartCode(std::span<const std::uint8_t> s, std::size_t i) { return s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1; }

std::size_t findStartCode(std::span<const std::uint8_t> s, std::size_t from) {
  for (std::size_t i = from; i + 2 < s.size(); ++i) {
    if (isStartCode(s, i)) return i;
  }
  return s.size();
}

// Reads ue(v) and fails the reader when the value exceeds max.
int ueAtMost(BitReader& r, std::uint32_t max) {
  const std::uint32_t value = r.ue();
  if (value > max) {
    r.fail();
    return 0;
  }
  return static_cast<int>(value);
}

int seWithin(BitReader& r, int low, int high) {
  const std::int32_t value = r.se();
  if (value < low || value > high) {
    r.fail();
    return 0;
  }
  return value;
}

int uAtMost(BitReader& r, int bits, std::uint32_t max) {
  const std::uint32_t value = r.u(bits);
  if (value > max) {
    r.fail();
    return 0;
  }
  return static_cast<int>(value);
}

// Profiles whose SPS carries chroma format, bit depths and scaling lists.
bool hasChromaInfo(int profileIdc) {
  constexpr std::array<int, 13> kProfiles{100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  return std::ranges::find(kProfiles, profileIdc) != kProfiles.end();
}

void skipScalingList(BitReader& r, int size) {
  int lastScale = 8;
  int nextScale = 8;
  for (int j = 0; j < size && nextScale != 0 && !r.failed(); ++j) {
    nextScale = (lastScale + seWithin(r, -128, 127) + 256) % 256;
    // Zero ends the list: the rest repeats the last scale (or, at j 0, the default list applies).
    if (nextScale != 0) lastScale = nextScale;
  }
}

// Smallest n with 2^n >= value.
int ceilLog2(std::uint64_t value) {
  int n = 0;
  while ((std::uint64_t{1} << n) < value) ++n;
  return n;
}

void readModifications(BitReader& r, int activeRefs, int maxPicNum, int maxLongTermPicNum,
                       std::vector<RefPicListModification>& out) {
  if (!r.flag()) return;  // ref_pic_list_modification_flag_lX
  while (!r.failed()) {
    const int idc = ueAtMost(r, 3);
    if (r.failed() || idc == 3) return;
    // At most one command per index of the list.
    if (std::cmp_greater_equal(out.size(), activeRefs)) {
      r.fail();
      return;
    }
    const int value = ueAtMost(r, static_cast<std::uint32_t>(idc == 2 ? maxLongTermPicNum : maxPicNum - 1));
    out.push_back({idc, value});
  }
}

void skipPredWeightTable(BitReader& r, int chromaArrayType, int l0Refs, int l1Refs) {
  ueAtMost(r, 7);                            // luma_log2_weight_denom
  if (chromaArrayType != 0) ueAtMost(r, 7);  // chroma_log2_weight_denom
  for (const int refs : {l0Refs, l1Refs}) {
    for (int i = 0; i < refs && !r.failed(); ++i) {
      if (r.flag()) {  // luma weight and offset
        seWithin(r, -128, 127);
        seWithin(r, -128, 127);
      }
      if (chromaArrayType != 0 && r.flag()) {  // weight and offset of Cb, then Cr
        for (int j = 0; j < 4; ++j) seWithin(r, -128, 127);
      }
    }
  }
}

void readDecRefPicMarking(BitReader& r, int maxPicNum, int maxLongTermPicNum, SliceHeader& h) {
  if (h.idr) {
    h.noOutputOfPriorPics = r.flag();
    h.longTermReference = r.flag();
    return;
  }
  h.adaptiveMarking = r.flag();
  if (!h.adaptiveMarking) return;
  while (!r.failed()) {
    Mmco m;
    m.op = ueAtMost(r, 6);
    if (r.failed() || m.op == 0) return;
    if (h.mmcos.size() == kMaxMmcos) {
      r.fail();
      return;
    }
    if (m.op == 1 || m.op == 3) m.differenceOfPicNumsMinus1 = ueAtMost(r, static_cast<std::uint32_t>(maxPicNum - 1));
    if (m.op == 2) m.longTermPicNum = ueAtMost(r, static_cast<std::uint32_t>(maxLongTermPicNum));
    if (m.op == 3 || m.op == 6) m.longTermFrameIdx = ueAtMost(r, kMaxLongTermFrameIdx);
    if (m.op == 4) m.maxLongTermFrameIdxPlus1 = ueAtMost(r, kMaxLongTermFrameIdx + 1);
    h.mmcos.push_back(m);
  }
}

}  // namespace

std::optional<NalUnit> nalUnit(std::span<const std::uint8_t> withHeader) {
  if (withHeader.empty() || (withHeader[0] & 0x80) != 0) return std::nullopt;
  return NalUnit{(withHeader[0] >> 5) & 3, withHeader[0] & 0x1f, withHeader};
}

std::vector<NalUnit> splitAnnexB(std::span<const std::uint8_t> stream) {
  std::vector<NalUnit> units;
  std::size_t start = findStartCode(stream, 0);
  while (start < stream.size()) {
    const std::size_t begin = start + 3;
    std::size_t end = begin;
    while (end + 2 < stream.size() && !(stream[end] == 0 && stream[end + 1] == 0 && stream[end + 2] <= 1)) ++end;
    if (end + 2 >= stream.size()) end = stream.size();
    std::size_t last = end;
    while (last > begin && stream[last - 1] == 0) --last;
    if (auto unit = nalUnit(stream.subspan(begin, last - begin))) units.push_back(*unit);
    start = findStartCode(stream, end);
  }
  return units;
}

std::vector<NalUnit> splitLengthPrefixed(std::span<const std::uint8_t> block) {
  std::vector<NalUnit> units;
  std::size_t pos = 0;
  while (block.size() - pos >= 4) {
    const std::uint32_t length = (std::uint32_t{block[pos]} << 24) | (std::uint32_t{block[pos + 1]} << 16) |
                                 (std::uint32_t{block[pos + 2]} << 8) | std::uint32_t{block[pos + 3]};
    pos += 4;
    if (length == 0 || length > block.size() - pos) break;
    if (auto unit = nalUnit(block.subspan(pos, length))) units.push_back(*unit);
    pos += length;
  }
  return units;
}

bool BitReader::loadByte() {
  if (next_ < data_.size() && zeroRun_ >= 2 && data_[next_] == 3) {
    ++next_;
    zeroRun_ = 0;
  }
  if (next_ >= data_.size()) {
    failed_ = true;
    return false;
  }
  current_ = data_[next_++];
  zeroRun_ = current_ == 0 ? zeroRun_ + 1 : 0;
  bitsLeft_ = 8;
  return true;
}

std::uint32_t BitReader::u(int bits) {
  std::uint32_t value = 0;
  for (int i = 0; i < bits; ++i) {
    if (failed_ || (bitsLeft_ == 0 && !loadByte())) return 0;
    --bitsLeft_;
    value = (value << 1) | ((current_ >> bitsLeft_) & 1u);
  }
  return value;
}

std::uint32_t BitReader::ue() {
  int leadingZeros = 0;
  while (!failed_ && u(1) == 0) {
    // 32 zeros would start a value of at least 2^32 - 1.
    if (++leadingZeros == 32) failed_ = true;
  }
  if (failed_) return 0;
  return static_cast<std::uint32_t>((std::uint64_t{1} << leadingZeros) - 1 + u(leadingZeros));
}

std::int32_t BitReader::se() {
  const std::uint32_t code = ue();
  const auto magnitude = static_cast<std::int32_t>((std::uint64_t{code} + 1) / 2);
  return (code & 1) != 0 ? magnitude : -magnitude;
}

std::optional<Sps> parseSps(std::span<const std::uint8_t> nal) {
  const auto unit = nalUnit(nal);
  if (!unit || unit->type != kNalSps) return std::nullopt;
  BitReader r(nal.subspan(1));
  Sps s;
  s.profileIdc = static_cast<int>(r.u(8));
  s.constraintFlags = static_cast<int>(r.u(8));
  s.levelIdc = static_cast<int>(r.u(8));
  s.id = ueAtMost(r, 31);
  if (hasChromaInfo(s.profileIdc)) {
    s.chromaFormatIdc = ueAtMost(r, 3);
    if (s.chromaFormatIdc == 3) s.separateColourPlane = r.flag();
    s.bitDepthLuma = 8 + ueAtMost(r, 6);
    s.bitDepthChroma = 8 + ueAtMost(r, 6);
    r.u(1);  // qpprime_y_zero_transform_bypass_flag
    s.scalingMatrixPresent = r.flag();
    if (s.scalingMatrixPresent) {
      const int lists = s.chromaFormatIdc == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        if (r.flag()) skipScalingList(r, i < 6 ? 16 : 64);
      }
    }
  }
  s.log2MaxFrameNum = 4 + ueAtMost(r, 12);
  s.picOrderCntType = ueAtMost(r, 2);
  if (s.picOrderCntType == 0) {
    s.log2MaxPicOrderCntLsb = 4 + ueAtMost(r, 12);
  } else if (s.picOrderCntType == 1) {
    s.deltaPicOrderAlwaysZero = r.flag();
    r.se();  // offset_for_non_ref_pic
    r.se();  // offset_for_top_to_bottom_field
    const int cycle = ueAtMost(r, 255);
    for (int i = 0; i < cycle && !r.failed(); ++i) r.se();  // offset_for_ref_frame
  }
  s.maxNumRefFrames = ueAtMost(r, 16);
  s.gapsInFrameNumAllowed = r.flag();
  s.widthInMbs = 1 + ueAtMost(r, kMaxMbsPerSide - 1);
  s.heightInMapUnits = 1 + ueAtMost(r, kMaxMbsPerSide - 1);
  s.frameMbsOnly = r.flag();
  if (!s.frameMbsOnly) s.mbAdaptiveFrameField = r.flag();
  if (r.failed()) return std::nullopt;
  return s;
}

std::optional<Pps> parsePps(std::span<const std::uint8_t> nal) {
  const auto unit = nalUnit(nal);
  if (!unit || unit->type != kNalPps) return std::nullopt;
  BitReader r(nal.subspan(1));
  Pps p;
  p.id = ueAtMost(r, 255);
  p.spsId = ueAtMost(r, 31);
  p.entropyCodingMode = r.flag();
  p.bottomFieldPicOrderInFramePresent = r.flag();
  p.numSliceGroups = 1 + ueAtMost(r, 7);
  if (p.numSliceGroups > 1) {
    p.sliceGroupMapType = ueAtMost(r, 6);
    switch (p.sliceGroupMapType) {
      case 0:  // run_length_minus1 of each group
        for (int i = 0; i < p.numSliceGroups; ++i) r.ue();
        break;
      case 2:  // top_left and bottom_right of each group but the last
        for (int i = 0; i < p.numSliceGroups - 1; ++i) {
          r.ue();
          r.ue();
        }
        break;
      case 3:
      case 4:
      case 5:
        r.u(1);  // slice_group_change_direction_flag
        p.sliceGroupChangeRate = 1 + ueAtMost(r, kMaxMapUnits - 1);
        break;
      case 6: {
        const int mapUnits = 1 + ueAtMost(r, kMaxMapUnits - 1);
        const int idBits = ceilLog2(static_cast<std::uint64_t>(p.numSliceGroups));
        for (int i = 0; i < mapUnits && !r.failed(); ++i) r.u(idBits);  // slice_group_id
        break;
      }
      default:  // 1, dispersed: nothing more to read
        break;
    }
  }
  p.numRefIdxL0DefaultActive = 1 + ueAtMost(r, 31);
  p.numRefIdxL1DefaultActive = 1 + ueAtMost(r, 31);
  p.weightedPred = r.flag();
  p.weightedBipredIdc = uAtMost(r, 2, 2);
  // The lower bound allows the QpBdOffset of 14-bit luma.
  p.picInitQp = 26 + seWithin(r, -26 - 36, 25);
  p.picInitQs = 26 + seWithin(r, -26, 25);
  p.chromaQpIndexOffset = seWithin(r, -12, 12);
  p.deblockingFilterControlPresent = r.flag();
  p.constrainedIntraPred = r.flag();
  p.redundantPicCntPresent = r.flag();
  if (r.failed()) return std::nullopt;
  return p;
}

bool SliceHeader::marksItselfLongTerm() const {
  if (idr) return longTermReference;
  return std::ranges::any_of(mmcos, [](const Mmco& m) { return m.op == 6; });
}

bool SliceHeader::reordersLongTerm() const {
  const auto longTerm = [](const RefPicListModification& m) { return m.idc == 2; };
  return std::ranges::any_of(list0, longTerm) || std::ranges::any_of(list1, longTerm);
}

bool ParameterSetTable::add(const NalUnit& nal) {
  if (nal.type == kNalSps) {
    auto s = parseSps(nal.bytes);
    if (!s) return false;
    sps_[static_cast<std::size_t>(s->id)] = *s;
    return true;
  }
  if (nal.type == kNalPps) {
    auto p = parsePps(nal.bytes);
    if (!p) return false;
    pps_[static_cast<std::size_t>(p->id)] = *p;
    return true;
  }
  return false;
}

const Sps* ParameterSetTable::sps(int id) const {
  if (id < 0 || std::cmp_greater_equal(id, sps_.size()) || !sps_[static_cast<std::size_t>(id)]) return nullptr;
  return &*sps_[static_cast<std::size_t>(id)];
}

const Pps* ParameterSetTable::pps(int id) const {
  if (id < 0 || std::cmp_greater_equal(id, pps_.size()) || !pps_[static_cast<std::size_t>(id)]) return nullptr;
  return &*pps_[static_cast<std::size_t>(id)];
}

std::optional<SliceHeader> ParameterSetTable::parseSlice(const NalUnit& nal) const {
  if ((nal.type != kNalSlice && nal.type != kNalIdrSlice) || nal.bytes.empty()) return std::nullopt;
  SliceHeader h;
  h.nalRefIdc = nal.refIdc;
  h.nalUnitType = nal.type;
  h.idr = nal.type == kNalIdrSlice;
  if (h.idr && h.nalRefIdc == 0) return std::nullopt;  // an IDR picture is always a reference

  BitReader r(nal.bytes.subspan(1));
  const std::uint32_t firstMb = r.ue();
  h.sliceTypeRaw = ueAtMost(r, 9);
  h.sliceType = h.sliceTypeRaw % 5;
  h.ppsId = ueAtMost(r, 255);
  if (r.failed()) return std::nullopt;
  const Pps* pps = this->pps(h.ppsId);
  const Sps* sps = pps ? this->sps(pps->spsId) : nullptr;
  if (!sps) return std::nullopt;

  if (sps->separateColourPlane) h.colourPlaneId = uAtMost(r, 2, 2);
  h.frameNum = static_cast<int>(r.u(sps->log2MaxFrameNum));
  h.maxFrameNum = sps->maxFrameNum();
  if (!sps->frameMbsOnly) {
    h.fieldPic = r.flag();
    if (h.fieldPic) h.bottomField = r.flag();
  }
  const int picSizeInMbs = sps->widthInMbs * sps->frameHeightInMbs() / (h.fieldPic ? 2 : 1);
  const bool mbaff = sps->mbAdaptiveFrameField && !h.fieldPic;
  if (std::uint64_t{firstMb} * (mbaff ? 2 : 1) >= static_cast<std::uint64_t>(picSizeInMbs)) return std::nullopt;
  h.firstMbInSlice = static_cast<int>(firstMb);

  if (h.idr) h.idrPicId = ueAtMost(r, 65535);
  const bool bottomDelta = pps->bottomFieldPicOrderInFramePresent && !h.fieldPic;
  if (sps->picOrderCntType == 0) {
    h.picOrderCntLsb = static_cast<int>(r.u(sps->log2MaxPicOrderCntLsb));
    if (bottomDelta) h.deltaPicOrderCntBottom = r.se();
  }
  if (sps->picOrderCntType == 1 && !sps->deltaPicOrderAlwaysZero) {
    h.deltaPicOrderCnt[0] = r.se();
    if (bottomDelta) h.deltaPicOrderCnt[1] = r.se();
  }
  if (pps->redundantPicCntPresent) h.redundantPicCnt = ueAtMost(r, 127);

  const bool b = h.sliceType == kSliceB;
  const bool p = h.sliceType == kSliceP || h.sliceType == kSliceSP;
  if (b) h.directSpatialMvPred = r.flag();
  if (p || b) {
    h.numRefIdxL0Active = pps->numRefIdxL0DefaultActive;
    if (b) h.numRefIdxL1Active = pps->numRefIdxL1DefaultActive;
    if (r.flag()) {  // num_ref_idx_active_override_flag
      h.numRefIdxL0Active = 1 + ueAtMost(r, 31);
      if (b) h.numRefIdxL1Active = 1 + ueAtMost(r, 31);
    }
    const int maxActive = h.fieldPic ? 32 : 16;
    if (h.numRefIdxL0Active > maxActive || h.numRefIdxL1Active > maxActive) return std::nullopt;
  }

  // A field numbers pictures at twice the rate of frames.
  const int maxPicNum = h.maxFrameNum * (h.fieldPic ? 2 : 1);
  const int maxLongTermPicNum =
      h.fieldPic ? 2 * static_cast<int>(kMaxLongTermFrameIdx) + 1 : static_cast<int>(kMaxLongTermFrameIdx);
  if (p || b) readModifications(r, h.numRefIdxL0Active, maxPicNum, maxLongTermPicNum, h.list0);
  if (b) readModifications(r, h.numRefIdxL1Active, maxPicNum, maxLongTermPicNum, h.list1);

  h.predWeightTable = (pps->weightedPred && p) || (pps->weightedBipredIdc == 1 && b);
  if (h.predWeightTable) skipPredWeightTable(r, sps->chromaArrayType(), h.numRefIdxL0Active, h.numRefIdxL1Active);
  if (h.nalRefIdc != 0) readDecRefPicMarking(r, maxPicNum, maxLongTermPicNum, h);

  // The rest of the header, read so that a misparse above shows up as values
  // out of range or as CABAC alignment bits that are not ones.
  if (pps->entropyCodingMode && h.sliceType != kSliceI && h.sliceType != kSliceSI) h.cabacInitIdc = ueAtMost(r, 2);
  const int qpBdOffset = 6 * (sps->bitDepthLuma - 8);
  const std::int64_t sliceQp = std::int64_t{pps->picInitQp} + r.se();
  if (sliceQp < -qpBdOffset || sliceQp > 51) return std::nullopt;
  h.sliceQp = static_cast<int>(sliceQp);
  if (h.sliceType == kSliceSP || h.sliceType == kSliceSI) {
    if (h.sliceType == kSliceSP) r.u(1);  // sp_for_switch_flag
    const std::int64_t sliceQs = std::int64_t{pps->picInitQs} + r.se();
    if (sliceQs < 0 || sliceQs > 51) return std::nullopt;
  }
  if (pps->deblockingFilterControlPresent) {
    h.disableDeblockingFilterIdc = ueAtMost(r, 2);
    if (h.disableDeblockingFilterIdc != 1) {
      seWithin(r, -6, 6);  // slice_alpha_c0_offset_div2
      seWithin(r, -6, 6);  // slice_beta_offset_div2
    }
  }
  if (pps->numSliceGroups > 1 && pps->sliceGroupMapType >= 3 && pps->sliceGroupMapType <= 5) {
    // slice_group_change_cycle is at most Ceil(PicSizeInMapUnits / SliceGroupChangeRate)
    // and takes as many bits as that bound needs.
    const auto mapUnits =
        static_cast<std::uint64_t>(sps->widthInMbs) * static_cast<std::uint64_t>(sps->heightInMapUnits);
    const auto rate = static_cast<std::uint64_t>(pps->sliceGroupChangeRate);
    const std::uint64_t maxCycle = (mapUnits + rate - 1) / rate;
    h.sliceGroupChangeCycle = uAtMost(r, ceilLog2(maxCycle + 1), static_cast<std::uint32_t>(maxCycle));
  }
  if (pps->entropyCodingMode) {
    while (!r.byteAligned() && !r.failed()) {
      if (!r.flag()) return std::nullopt;  // cabac_alignment_one_bit
    }
  }
  if (r.failed()) return std::nullopt;
  return h;
}

}  // namespace qx::h264
