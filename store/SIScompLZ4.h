// SIScompLZ4.h: the compressed block format of the single instance store.
//
// A block that the writer compressed is stored as one LZ4 legacy-frame
// block: the legacy magic number, the length of the LZ4 block data that
// follows, then the data. Blocks that LZ4 cannot shrink are stored plain;
// the block's hash value record then shows a compressed length of 0.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace sislz4 {
constexpr size_t MAGIC = 0;             // u32 0x184C2102
constexpr size_t DATA_LENGTH = 4;       // u32 bytes of LZ4 block data that follow
constexpr size_t HEADER_BYTES = 8;
constexpr uint32_t LEGACY_MAGIC = 0x184C2102;
constexpr uint32_t MAX_DATA = 0x808090;  // LZ4 worst-case bound for 8 MiB of input
}  // namespace sislz4

// Compresses `length` bytes of src into dst (room for `length` bytes) as a
// legacy-frame block. Returns the stored length, frame header included, or
// 0 when the result would not be shorter than the input (store it plain).
size_t SIScompressBlock(const void *src, void *dst, size_t length);

// Decompresses the legacy-frame block of srcSize stored bytes at src into
// dst, writing at most dstCapacity bytes. Returns the decompressed length,
// 0 for a block that holds no data, or -1 (logged) for a wrong magic number,
// an oversized or undecodable block.
ssize_t SISdecompressBlock(const void *src, void *dst, size_t srcSize, size_t dstCapacity);
