#pragma once

// Pure helpers that turn an encoded sample into Annex B bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/compression_session.h"

namespace qx::access_unit {

// Appends each NAL unit of a 4-byte big-endian length-prefixed block to `out`
// as start code + payload. Stops at a length of 0 or one that runs past the
// end; the complete units before it stay. Returns the number of units appended.
std::size_t appendLengthPrefixedAsStartCodes(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);

// A sample is a keyframe unless it carries the not-sync attachment set to true.
bool isKeyframe(const EncodedSample& sample);

// The readable parameter sets of the sample's format description, in index
// order; empty when there is no description.
std::vector<std::vector<std::uint8_t>> parameterSets(const EncodedSample& sample);

// The long-term-reference SEI unit (start code included): user data
// unregistered with the 16-byte id "QuorvexLTRmeta01" and the text
// "ltr=<token>", "refresh" or "ltr=<token> refresh".
std::vector<std::uint8_t> ltrSEI(std::optional<std::int64_t> token, bool refresh);

// Everything of one access unit except the SEI: parameter sets when
// `keyframe` (each after a start code), the converted NAL units, the closing
// delimiter. Appended to `out`.
void appendFrame(const EncodedSample& sample, bool keyframe, std::span<const std::uint8_t> data,
                 std::vector<std::uint8_t>& out);

}  // namespace qx::access_unit
