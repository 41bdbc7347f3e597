// Whole-file reads and writes. A write goes to a temporary file in the same directory, is
// flushed to the disk and renamed over the target, so a crash at any moment leaves either the
// old file or the new one, never a mixture.
#pragma once

#include <cstddef>
#include <string>

namespace zq {

// Writes `size` bytes (the parts in order) as the whole content of `path`. False, with the
// old file untouched and no temporary file left behind, when any step fails.
struct FilePart {
    const void* data;
    std::size_t size;
};
bool WriteFileAtomically(const std::string& path, const FilePart* parts, std::size_t count);
inline bool WriteFileAtomically(const std::string& path, const void* data, std::size_t size) {
    const FilePart part{data, size};
    return WriteFileAtomically(path, &part, 1);
}
inline bool WriteFileAtomically(const std::string& path, const std::string& content) {
    return WriteFileAtomically(path, content.data(), content.size());
}

// Removes what writes of a process that no longer runs left in `directory`: files named
// "<name>.tmp.<pid>.<n>" (a write killed between its temporary file and the rename) whose
// process is gone. The number removed.
int RemoveStaleTemporaries(const std::string& directory);

// Reads until `size` bytes have arrived or the file ends; the number of bytes read (less than
// `size` at the end of the file or on an error).
std::size_t ReadFully(int fd, void* data, std::size_t size);

// Creates the directory and its parents when missing; true when it exists afterwards.
bool EnsureDirectory(const std::string& directory);

}  // namespace zq
