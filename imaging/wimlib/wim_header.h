// Where the on-disk WIM header keeps what an in-place write moves: the
// header is 208 bytes, and each resource is described by a 24-byte entry
// (7 bytes of stored size, a flag byte, the 8-byte offset, the 8-byte
// original size).
#pragma once

#include <cstddef>
#include <cstdint>

namespace layer {

constexpr size_t kHeaderSize = 208;
constexpr size_t kBlobTableEntry = 48;
constexpr size_t kXmlEntry = 72;
constexpr size_t kIntegrityEntry = 124;
constexpr size_t kVersionField = 12;
constexpr size_t kGuidField = 24;
constexpr size_t kPartNumberField = 40;
constexpr size_t kTotalPartsField = 42;
constexpr size_t kImageCountField = 44;
// The version a file with solid resources has.
constexpr uint64_t kSolidVersion = 0xE00;
// Every image takes at least this many bytes of its file: a 50-byte entry in
// the blob table, and more than that of XML.
constexpr uint64_t kLeastBytesPerImage = 50;
constexpr char kPipableMagic[8] = {'W', 'L', 'P', 'W', 'M', 0, 0, 0};

// A little-endian number of `count` bytes.
inline uint64_t Little(const unsigned char* bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i)
        value = (value << 8) | bytes[i - 1];
    return value;
}

struct Span {
    uint64_t offset;
    uint64_t size;
};

inline Span SpanAt(const unsigned char* header, size_t entry)
{
    return {Little(header + entry + 8, 8), Little(header + entry, 7)};
}

}  // namespace layer
