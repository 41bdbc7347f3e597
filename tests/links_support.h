// What the link tests and benchmarks build on: zip archives made in memory, bar records, the
// byte streams of the push and data links, and two scripted servers (a push server that holds
// each connection open and sends what the test queues, a data server that answers each transfer
// with the next queued answer and can stop half way until the test lets it go on).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "market/wire/bar_record.h"
#include "net/push_link.h"
#include "net/wire/framing.h"
#include "net/wire/session.h"
#include "tests/support/script_server.h"

namespace zq::test {

// Points the client's data directory, push port and data port at a test's own directory and
// scripted servers, with the server address on loopback.
inline void PointLinksAt(const std::filesystem::path& dataDir, std::uint16_t pushPort,
                         std::uint16_t dataPort) {
    ::setenv("ZQ_DATA_DIR", dataDir.c_str(), 1);
    ::setenv("ZQ_PUSH_PORT", std::to_string(pushPort).c_str(), 1);
    ::setenv("ZQ_DATA_PORT", std::to_string(dataPort).c_str(), 1);
    ReloadConfig();
    Session().serverAddress = htonl(INADDR_LOOPBACK);
}

// Undoes PointLinksAt (and a request port a test may have set) and removes the directory.
inline void ClearLinksEnvironment(const std::filesystem::path& dataDir) {
    for (const char* v : {"ZQ_DATA_DIR", "ZQ_PUSH_PORT", "ZQ_DATA_PORT", "ZQ_REQUEST_PORT"})
        ::unsetenv(v);
    ReloadConfig();
    ResetSession();
    std::filesystem::remove_all(dataDir);
}

using Bytes = std::vector<unsigned char>;

// An archive whose items hold the given bytes, in order (deflated unless `store`).
inline Bytes MakeZip(const std::vector<Bytes>& items, bool store = false) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(target);
    zip_t* archive = zip_open_from_source(target, ZIP_TRUNCATE, &error);
    for (std::size_t i = 0; i < items.size(); ++i) {
        zip_source_t* item = zip_source_buffer(archive, items[i].data(), items[i].size(), 0);
        const std::string name = "k" + std::to_string(i);
        zip_int64_t index = zip_file_add(archive, name.c_str(), item, ZIP_FL_ENC_UTF_8);
        if (store)
            zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    zip_close(archive);
    Bytes out;
    zip_source_open(target);
    zip_source_seek(target, 0, SEEK_END);
    out.resize(static_cast<std::size_t>(zip_source_tell(target)));
    zip_source_seek(target, 0, SEEK_SET);
    zip_source_read(target, out.data(), out.size());
    zip_source_close(target);
    zip_source_free(target);
    zip_error_fini(&error);
    return out;
}

// A finished bar of `instrument` with key number 2024 and time text "%08d" of `seq`.
inline BarRecord HistoryBar(int instrument, int seq, int price = 200000) {
    BarRecord r{};
    r.instrument = instrument;
    r.open = price;
    r.close = price + 5;
    r.high = price + 20;
    r.low = price - 20;
    r.reference = price;
    r.decimals = 2;
    r.keyNumber = 2024;
    std::snprintf(r.time, sizeof r.time, "%08d", seq);
    return r;
}

inline BarRecord LiveBar(int instrument, int price) {
    BarRecord r = HistoryBar(instrument, 0, price);
    std::snprintf(r.time, sizeof r.time, "15:30");
    return r;
}

// `count` bars newest first, from `newest` down.
inline std::vector<BarRecord> HistoryBars(int instrument, int newest, int count) {
    std::vector<BarRecord> v;
    for (int i = 0; i < count; ++i) v.push_back(HistoryBar(instrument, newest - i));
    return v;
}

// --- Byte streams ---

inline void Put(Bytes& b, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    b.insert(b.end(), p, p + n);
}
inline void Put32(Bytes& b, std::int32_t v) {
    Put(b, &v, 4);
}
// The bytes of bar records, then `tail` stray bytes.
inline Bytes RecordBytes(const std::vector<BarRecord>& records, std::size_t tail = 0) {
    Bytes b;
    Put(b, records.data(), records.size() * sizeof(BarRecord));
    b.resize(b.size() + tail, 0xAB);
    return b;
}

inline BarKey Key(const std::string& text) {
    BarKey k{};
    std::memcpy(k.data(), text.data(), std::min(text.size(), k.size() - 1));
    return k;
}
inline std::string Text(const BarKey& k) {
    return std::string(KeyText(k));
}

// Push items.
inline void PutItem(Bytes& b, std::int32_t type) {
    Put32(b, type);
}
inline void PutRecord(Bytes& b, const BarRecord& r) {
    Put32(b, push::Record);
    Put(b, &r, sizeof r);
}
inline void PutMessage(Bytes& b, std::int32_t more, std::int32_t time, const std::string& ansi) {
    for (std::int32_t v : {push::Message, more, time, static_cast<std::int32_t>(ansi.size())})
        Put32(b, v);
    Put(b, ansi.data(), ansi.size());
}

// A history answer: length, archive, 13-byte trailer.
inline Bytes HistoryAnswer(std::int32_t length, const Bytes& archive, const std::string& trailer) {
    Bytes b;
    Put32(b, length);
    b.insert(b.end(), archive.begin(), archive.end());
    BarKey t = Key(trailer);
    Put(b, t.data(), t.size());
    return b;
}
inline Bytes HistoryAnswer(const Bytes& archive, const std::string& trailer) {
    return HistoryAnswer(static_cast<std::int32_t>(archive.size()), archive, trailer);
}

// Polls `done` until it holds, running `idle` between polls; false after 10 s.
inline bool WaitUntil(const std::function<bool()>& done, const std::function<void()>& idle = {}) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        if (idle) idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// --- Servers ---

// Holds each push connection open until the client closes it, sending what the test queues
// to the connection of the moment; End() ends the stream once the queue has gone out.
class PushServer {
  public:
    PushServer() : server_([this](Socket& p, int) { Serve(p); }) {}
    ~PushServer() { stop_ = true; }
    std::uint16_t Port() const { return server_.Port(); }

    void Send(const Bytes& b) {
        std::lock_guard lock(mutex_);
        pending_.insert(pending_.end(), b.begin(), b.end());
    }
    void End() { end_ = true; }
    int Subscribed() const { return subscribed_; }
    int ClosedByClient() const { return closedByClient_; }

  private:
    void Serve(Socket& peer) {
        RequestHeader h;
        if (!ScriptServer::ReadHeader(peer, h) || h.command != cmd::Subscribe) return;
        subscribed_++;
        bool ended = false;
        while (!stop_) {
            pollfd p{peer.Fd(), POLLIN, 0};
            if (::poll(&p, 1, 2) > 0) {
                char c;
                if (peer.Recv(&c, 1) <= 0) {
                    closedByClient_++;
                    return;
                }
            }
            Bytes out;
            {
                std::lock_guard lock(mutex_);
                out.swap(pending_);
            }
            if (!out.empty()) peer.Send(out.data(), out.size());
            if (end_ && !ended) {
                ::shutdown(peer.Fd(), SHUT_WR);
                ended = true;
            }
        }
    }

    std::mutex mutex_;
    Bytes pending_;
    std::atomic<int> subscribed_{0};
    std::atomic<int> closedByClient_{0};
    std::atomic<bool> end_{false};
    std::atomic<bool> stop_{false};
    ScriptServer server_;  // last: its thread stops before the rest goes
};

// Answers each history transfer with the next queued answer (length 0 when none is queued).
// An answer may stop after `pauseAt` bytes until Resume().
class DataServer {
  public:
    struct Request {
        std::int32_t command = 0;
        std::string keyA, keyB;
    };

    DataServer() : server_([this](Socket& p, int) { Serve(p); }) {}
    ~DataServer() { Resume(100); }
    std::uint16_t Port() const { return server_.Port(); }

    void Answer(Bytes bytes, std::size_t pauseAt = SIZE_MAX) {
        std::lock_guard lock(mutex_);
        answers_.push_back({std::move(bytes), pauseAt});
    }
    std::vector<Request> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Waits until `n` answers have stopped at their pause.
    bool WaitPaused(int n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return paused_ >= n; });
    }
    void Resume(int n = 1) {
        std::lock_guard lock(mutex_);
        resumed_ += n;
        cv_.notify_all();
    }

  private:
    void Serve(Socket& peer) {
        RequestHeader h;
        char keys[26];
        if (!ScriptServer::ReadHeader(peer, h) || ReceiveExact(peer, keys, 26) != 26) return;
        std::pair<Bytes, std::size_t> a{HistoryAnswer(0, {}, ""), SIZE_MAX};
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({h.command, std::string(keys, strnlen(keys, 13)),
                                 std::string(keys + 13, strnlen(keys + 13, 13))});
            if (!answers_.empty()) {
                a = std::move(answers_.front());
                answers_.erase(answers_.begin());
            }
        }
        const Bytes& bytes = a.first;
        const std::size_t first = std::min(a.second, bytes.size());
        peer.Send(bytes.data(), first);
        if (a.second != SIZE_MAX) {
            std::unique_lock lock(mutex_);
            const int mine = ++paused_;
            cv_.notify_all();
            cv_.wait_for(lock, std::chrono::seconds(10), [&] { return resumed_ >= mine; });
        }
        if (first < bytes.size()) peer.Send(bytes.data() + first, bytes.size() - first);
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::pair<Bytes, std::size_t>> answers_;
    std::vector<Request> requests_;
    int paused_ = 0;
    int resumed_ = 0;
    ScriptServer server_;  // last: its thread stops before the rest goes
};

}  // namespace zq::test
