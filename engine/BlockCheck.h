// Whether the content of a layer's tagged block or of an image resource
// still parses. A rebuilt document copies these blocks unchanged from the
// damaged source; a block whose content the damage hit (a zeroed sector
// inside a descriptor, flipped bits in a type code) makes other readers
// refuse the whole document, so such a block is better dropped. The checks
// accept what a strict independent reader accepts, and a little less where
// it reads cut-off data without noticing; every read stays within the given
// length, nesting is bounded and counts are bounded by the bytes left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelt {

/// Whether a descriptor (class name as a Unicode string, class ID, items) parses within
/// [p, p + n); used gets the bytes it took.
bool DescriptorHolds(const uint8_t *p, std::size_t n, std::size_t &used);

/// Whether the content of a layer's tagged block (key as the big-endian 4 bytes, e.g. 'lfx2')
/// parses, for the keys whose layout is known; a key not known holds.
bool TaggedBlockHolds(uint32_t key, const uint8_t *data, std::size_t length);

/// Whether an image resource's data parses, for the ids whose layout is known (path resources
/// 2000-2997 and the clipping path / work path ids, resources holding descriptors); others hold.
bool ResourceHolds(uint16_t id, const uint8_t *data, std::size_t length);

/// The image resources of a section of n bytes that parse, one after another: the section
/// unchanged when every resource holds and the chain ends at its end; else the resources
/// whose structure and content hold, up to where the chain breaks.
std::vector<uint8_t> ResourcesThatHold(const uint8_t *p, std::size_t n);

} // namespace zelt
