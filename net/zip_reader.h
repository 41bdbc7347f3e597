// Zip archives held in memory, as the data link delivers K-line history: open without
// password, count the items, tell an item's uncompressed size, unpack one item into a buffer of
// exactly that size.
//
// Bounds. The archive comes from the network, so nothing it claims is allocated blindly:
//   - an archive announcing more than kMaxZipItems items does not open;
//   - nor does one whose items share or overlap their data (one deflated item named by
//     thousands of directory entries), one whose items do not lie inside it, a spanned one,
//     or one with 64-bit fields;
//   - an item whose uncompressed size is above kMaxZipItemBytes is reported as unreadable
//     (ItemSize gives nothing, Unpack fails) before any buffer is made for it;
//   - Unpack succeeds only when the item inflates to exactly the stated size and passes its
//     checksum, so a cut, padded or corrupted item never reads as good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct zip;
struct libdeflate_decompressor;

namespace zq {

// 128 MiB: some 2.4 million bar records in one item.
inline constexpr std::uint64_t kMaxZipItemBytes = 128ull * 1024 * 1024;
inline constexpr std::int64_t kMaxZipItems = 100000;

// The layout checks of Open, without opening: the end record, the central directory and
// every item's local header are where they claim to be, and no two items share bytes.
bool ZipLayoutIsSound(const void* data, std::size_t size);

// One item as the central directory and its local header describe it.
struct ZipItem {
    std::uint16_t flags = 0, method = 0, localMethod = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressed = 0, size = 0;
    std::uint64_t data = 0;  // offset of the item's data in the archive
    // Stored or deflated, not encrypted, and the local header agrees on the method: the reader
    // inflates these itself, straight from the archive's memory.
    bool Plain() const {
        return (flags & 1) == 0 && method == localMethod && (method == 0 || method == 8);
    }
};

// Inflates a plain item of an archive in memory into `buffer` of `size` bytes with `inflater`
// (libdeflate's, which inflates whole buffers at once): true only when `size` is the item's
// size, its data inflates to exactly that many bytes and the checksum matches. Safe on several
// threads with one inflater each.
bool InflateZipItem(const unsigned char* archive, const ZipItem& item, void* buffer,
                    std::size_t size, libdeflate_decompressor& inflater);

// A libdeflate inflater that frees itself; null when there is no memory for one.
struct ZipInflaterFree {
    void operator()(libdeflate_decompressor* inflater) const;
};
using ZipInflater = std::unique_ptr<libdeflate_decompressor, ZipInflaterFree>;
ZipInflater MakeZipInflater();

class ZipReader {
  public:
    ZipReader();
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    // Opens the archive in `data` (not copied: the buffer must outlive the reader). False for
    // anything that is not a readable zip archive within the bounds above.
    bool Open(const void* data, std::size_t size);
    void Close();
    bool IsOpen() const { return archive_ != nullptr; }

    // The number of items (0 when closed).
    int Count() const;
    // The uncompressed size of an item; nothing for an index out of range, an item without a
    // known size, or one above kMaxZipItemBytes.
    std::optional<std::size_t> ItemSize(int index) const;
    // Unpacks an item into `buffer`, which holds `size` bytes; `size` must be the item's size.
    bool Unpack(int index, void* buffer, std::size_t size);
    // What the directory says of an item; null for an index out of range.
    const ZipItem* Item(int index) const;
    // The archive's bytes (null when closed).
    const unsigned char* Data() const { return data_; }

  private:
    zip* archive_ = nullptr;
    int count_ = 0;
    const unsigned char* data_ = nullptr;
    std::vector<ZipItem> items_;
    ZipInflater inflater_;  // made once, used for every item
};

}  // namespace zq
