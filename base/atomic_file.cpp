#include "base/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <string_view>

#include "base/unique_fd.h"

namespace zq {
namespace {

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Unique within the process and across processes writing the same file.
std::string TemporaryPath(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++counter);
}

// Makes a rename inside the file's directory durable.
void SyncParentDirectory(const std::string& path) {
    std::string dir = std::filesystem::path(path).parent_path().string();
    if (dir.empty()) dir = ".";
    UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.Valid()) ::fsync(d.Get());
}

// The process id of a temporary file's name ("<name>.tmp.<pid>.<n>"); 0 when it is not one.
pid_t WriterOf(std::string_view name) {
    const std::size_t mark = name.rfind(".tmp.");
    if (mark == std::string_view::npos || mark == 0) return 0;
    const std::string_view rest = name.substr(mark + 5);
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == rest.size()) return 0;
    const auto digits = [](std::string_view t) {
        return t.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits(rest.substr(0, dot)) || !digits(rest.substr(dot + 1))) return 0;
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + dot, pid);
    return error == std::errc() && pid > 0 ? pid : 0;
}

}  // namespace

int RemoveStaleTemporaries(const std::string& directory) {
    std::error_code ec;
    int removed = 0;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
         it.increment(ec)) {
        const pid_t pid = WriterOf(it->path().filename().string());
        if (pid == 0 || pid == ::getpid()) continue;
        // A process that still runs may be writing it right now.
        if (::kill(pid, 0) == 0 || errno == EPERM) continue;
        if (::unlink(it->path().c_str()) == 0) ++removed;
    }
    return removed;
}

bool WriteFileAtomically(const std::string& path, const FilePart* parts, std::size_t count) {
    const std::string tmp = TemporaryPath(path);
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.Valid()) return false;
    bool ok = true;
    for (std::size_t i = 0; ok && i < count; ++i)
        ok = WriteAll(fd.Get(), parts[i].data, parts[i].size);
    ok = ok && ::fsync(fd.Get()) == 0;
    ok = fd.Close() && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    SyncParentDirectory(path);
    return true;
}

std::size_t ReadFully(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, p + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

bool EnsureDirectory(const std::string& directory) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    return std::filesystem::is_directory(directory, ec);
}

}  // namespace zq
