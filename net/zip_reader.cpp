#include "net/zip_reader.h"

#include <zip.h>

namespace zq {

bool ZipReader::Open(const void* data, std::size_t size) {
    Close();
    if (!data || size == 0) return false;
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
    if (n < 0 || n > kMaxZipItems) {
        zip_discard(archive);
        return false;
    }
    archive_ = archive;
    count_ = static_cast<int>(n);
    return true;
}

void ZipReader::Close() {
    if (archive_) zip_discard(archive_);  // read-only: nothing to write back
    archive_ = nullptr;
    count_ = 0;
}

int ZipReader::Count() const {
    return count_;
}

std::optional<std::size_t> ZipReader::ItemSize(int index) const {
    if (!archive_ || index < 0 || index >= count_) return std::nullopt;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &st) != 0)
        return std::nullopt;
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > kMaxZipItemBytes) return std::nullopt;
    return static_cast<std::size_t>(st.size);
}

bool ZipReader::Unpack(int index, void* buffer, std::size_t size) {
    std::optional<std::size_t> expected = ItemSize(index);
    if (!expected || *expected != size || (size > 0 && !buffer)) return false;
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
