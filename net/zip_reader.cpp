#include "net/zip_reader.h"

#include <libdeflate.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace zq {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::size_t kLocalBytes = 30;
constexpr std::size_t kCentralBytes = 46;
constexpr std::size_t kEndBytes = 22;
constexpr std::size_t kZip64LocatorBytes = 20;
constexpr std::uint16_t kStored = 0;

std::uint32_t U16(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}
std::uint32_t U32(const unsigned char* p) {
    return U16(p) | U16(p + 2) << 16;
}

// The end record, the central directory and every item's local header; fills `items` (when
// given) in directory order. False for anything ZipLayoutIsSound refuses.
bool ParseLayout(const unsigned char* b, std::size_t size, std::vector<ZipItem>* items) {
    if (!b || size < kEndBytes) return false;
    // The end record: the last signature that leaves room for its own comment.
    std::size_t end = size - kEndBytes;
    for (;;) {
        if (U32(b + end) == kEndSignature && end + kEndBytes + U16(b + end + 20) == size) break;
        if (end == 0 || size - end > kEndBytes + 0xFFFF) return false;
        --end;
    }
    // History archives are far from needing 64-bit fields; an archive that uses them is not one.
    if (end >= kZip64LocatorBytes && U32(b + end - kZip64LocatorBytes) == kZip64LocatorSignature)
        return false;
    const std::uint32_t entries = U16(b + end + 10);
    const std::uint64_t directorySize = U32(b + end + 12);
    const std::uint64_t directory = U32(b + end + 16);
    if (U16(b + end + 4) != 0 || U16(b + end + 6) != 0 || U16(b + end + 8) != entries)
        return false;  // spanned archives
    if (directory + directorySize > end) return false;

    // Every item's local header and data lie before the directory and apart from every other.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // [start, end)
    spans.reserve(entries);
    if (items) {
        items->clear();
        items->reserve(entries);
    }
    std::uint64_t at = directory;
    for (std::uint32_t i = 0; i < entries; ++i) {
        if (at + kCentralBytes > directory + directorySize) return false;
        const unsigned char* c = b + at;
        if (U32(c) != kCentralSignature) return false;
        const std::uint64_t compressed = U32(c + 20);
        const std::uint64_t local = U32(c + 42);
        at += kCentralBytes + U16(c + 28) + U16(c + 30) + U16(c + 32);
        if (local + kLocalBytes > directory) return false;
        const unsigned char* l = b + local;
        if (U32(l) != kLocalSignature) return false;
        const std::uint64_t data = local + kLocalBytes + U16(l + 26) + U16(l + 28);
        const std::uint64_t itemEnd = data + compressed;
        if (itemEnd > directory) return false;
        spans.emplace_back(local, itemEnd);
        if (items) {
            ZipItem item;
            item.flags = static_cast<std::uint16_t>(U16(c + 8));
            item.method = static_cast<std::uint16_t>(U16(c + 10));
            item.localMethod = static_cast<std::uint16_t>(U16(l + 8));
            item.crc = U32(c + 16);
            item.compressed = compressed;
            item.size = U32(c + 24);
            item.data = data;
            items->push_back(item);
        }
    }
    if (at != directory + directorySize) return false;
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return false;  // shared or overlapping data
    return true;
}

}  // namespace

bool ZipLayoutIsSound(const void* data, std::size_t size) {
    return ParseLayout(static_cast<const unsigned char*>(data), size, nullptr);
}

void ZipInflaterFree::operator()(libdeflate_decompressor* inflater) const {
    libdeflate_free_decompressor(inflater);
}

ZipInflater MakeZipInflater() {
    return ZipInflater(libdeflate_alloc_decompressor());
}

bool InflateZipItem(const unsigned char* archive, const ZipItem& item, void* buffer,
                    std::size_t size, libdeflate_decompressor& inflater) {
    if (size != item.size || (size > 0 && !buffer)) return false;
    const unsigned char* in = archive + item.data;
    unsigned char none = 0;  // where an empty item inflates to
    auto* out = size > 0 ? static_cast<unsigned char*>(buffer) : &none;
    if (item.method == kStored) {
        if (item.compressed != size) return false;
        if (size > 0) std::memcpy(out, in, size);
    } else {
        // Without a place for the count, libdeflate succeeds only when the stream fills the
        // buffer exactly: a stream that stops short, or would go on past the stated size, is a
        // broken item.
        if (libdeflate_deflate_decompress(&inflater, in, static_cast<std::size_t>(item.compressed),
                                          out, size, nullptr) != LIBDEFLATE_SUCCESS)
            return false;
    }
    return libdeflate_crc32(0, out, size) == item.crc;
}

bool ZipReader::Open(const void* data, std::size_t size) {
    Close();
    if (!data || size == 0) return false;
    if (!ParseLayout(static_cast<const unsigned char*>(data), size, &items_)) return false;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
    if (!source) {
        zip_error_fini(&error);
        return false;
    }
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    zip_error_fini(&error);
    if (!archive) {
        zip_source_free(source);  // still ours when the open fails
        return false;
    }
    zip_int64_t n = zip_get_num_entries(archive, 0);
    if (n < 0 || n > kMaxZipItems || static_cast<std::size_t>(n) != items_.size()) {
        zip_discard(archive);
        items_.clear();
        return false;
    }
    if (!inflater_) inflater_ = MakeZipInflater();
    if (!inflater_) {
        zip_discard(archive);
        items_.clear();
        return false;
    }
    data_ = static_cast<const unsigned char*>(data);
    archive_ = archive;
    count_ = static_cast<int>(n);
    return true;
}

void ZipReader::Close() {
    if (archive_) zip_discard(archive_);  // read-only: nothing to write back
    archive_ = nullptr;
    count_ = 0;
    items_.clear();
    data_ = nullptr;
}

ZipReader::ZipReader() = default;

ZipReader::~ZipReader() {
    Close();
}

const ZipItem* ZipReader::Item(int index) const {
    if (!archive_ || index < 0 || index >= count_) return nullptr;
    return &items_[static_cast<std::size_t>(index)];
}

int ZipReader::Count() const {
    return count_;
}

std::optional<std::size_t> ZipReader::ItemSize(int index) const {
    const ZipItem* item = Item(index);
    if (!item || item->size > kMaxZipItemBytes) return std::nullopt;
    return static_cast<std::size_t>(item->size);
}

bool ZipReader::Unpack(int index, void* buffer, std::size_t size) {
    std::optional<std::size_t> expected = ItemSize(index);
    if (!expected || *expected != size || (size > 0 && !buffer)) return false;
    const ZipItem& item = items_[static_cast<std::size_t>(index)];
    if (item.Plain()) return InflateZipItem(data_, item, buffer, size, *inflater_);
    // Anything else (other methods, encryption) as the zip library sees it.
    zip_file_t* file = zip_fopen_index(archive_, static_cast<zip_uint64_t>(index), 0);
    if (!file) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    bool ok = true;
    while (got < size) {
        zip_int64_t n = zip_fread(file, out + got, size - got);
        if (n <= 0) {
            ok = false;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    // Reading on to the end makes the library check the item's checksum; any byte beyond the
    // stated size is a broken item as well.
    if (ok) {
        unsigned char extra;
        ok = zip_fread(file, &extra, 1) == 0;
    }
    zip_fclose(file);
    return ok;
}

}  // namespace zq
