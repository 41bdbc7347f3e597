#include "net/history_link.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

#include "market/history_cache.h"
#include "net/wire/framing.h"
#include "net/wire/session.h"
#include "net/zip_reader.h"

namespace zq {

namespace {

constexpr int kKeyBytes = static_cast<int>(sizeof(BarKey));
constexpr std::size_t kRecordBytes = sizeof(BarRecord);

HistoryLink::Options WithDefaults(HistoryLink::Options options) {
    if (!options.chart) options.chart = std::make_shared<KLineData>();
    if (!options.gate) options.gate = std::make_shared<LinkGate>();
    return options;
}

}  // namespace

namespace {

using Take = std::function<bool(const BarRecord*, std::size_t)>;

// The items to unpack: those before the first without a usable size or the first that would
// take the unpacked total past the bound.
int ItemsWithinBounds(const ZipReader& zip) {
    std::uint64_t total = 0;
    for (int i = 0; i < zip.Count(); ++i) {
        std::optional<std::size_t> bytes = zip.ItemSize(i);
        if (!bytes) return i;
        total += *bytes;
        if (total > kMaxHistoryUnpackedBytes) return i;  // no real series is this long
    }
    return zip.Count();
}

// Unpacked straight into record storage, rounded up to whole records.
bool UnpackInto(ZipReader& zip, int index, std::vector<BarRecord>& records, std::size_t& bytes) {
    bytes = *zip.ItemSize(index);
    records.resize((bytes + kRecordBytes - 1) / kRecordBytes);
    return zip.Unpack(index, records.data(), bytes);
}

bool UnpackInOrder(ZipReader& zip, int count, const Take& take) {
    std::vector<BarRecord> records;
    for (int i = 0; i < count; ++i) {
        std::size_t bytes = 0;
        if (!UnpackInto(zip, i, records, bytes)) break;
        if (!take(records.data(), bytes / kRecordBytes)) break;
    }
    return true;
}

// Two threads share the inflating: a helper unpacks the odd items, at most kAhead items ahead
// of the intake, while this thread unpacks the even ones and hands every item to `take` in
// archive order. The helper inflates with its own inflater straight from the archive's memory;
// the stop rules are those of the one-thread walk, so the same records reach `take`.
class SharedUnpack {
  public:
    SharedUnpack(ZipReader& zip, int count) : zip_(zip), count_(count) {}
    ~SharedUnpack() { Stop(); }

    bool Run(const Take& take) {
        inflater_ = MakeZipInflater();
        if (!inflater_) return UnpackInOrder(zip_, count_, take);
        try {
            helper_ = std::thread([this] { Help(); });
        } catch (...) {
            return UnpackInOrder(zip_, count_, take);
        }
        std::vector<BarRecord> own;
        for (int i = 0; i < count_; ++i) {
            const BarRecord* records = nullptr;
            std::size_t bytes = 0;
            if (i % 2 == 0) {
                if (!UnpackInto(zip_, i, own, bytes)) break;
                records = own.data();
            } else {
                Slot& slot = slots_[Index(i)];
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return slot.item == i; });
                if (!slot.ok) break;
                records = slot.records.data();
                bytes = slot.bytes;
            }
            const bool more = take(records, bytes / kRecordBytes);
            {
                std::lock_guard lock(mutex_);
                taken_ = i + 1;  // frees the slot of item i for item i + kAhead
            }
            changed_.notify_all();
            if (!more) break;
        }
        Stop();
        return true;
    }

  private:
    static constexpr int kAhead = 8;
    struct Slot {
        int item = -1;  // the item the slot holds, once it is done
        bool ok = false;
        std::vector<BarRecord> records;
        std::size_t bytes = 0;
    };
    static std::size_t Index(int item) { return static_cast<std::size_t>((item / 2) % kAhead); }

    void Help() {
        for (int i = 1; i < count_; i += 2) {
            Slot& slot = slots_[Index(i)];
            {
                std::unique_lock lock(mutex_);
                // Its slot is free once the item kAhead odd items back has been taken.
                changed_.wait(lock, [&] { return stop_ || taken_ > i - 2 * kAhead; });
                if (stop_) break;
            }
            bool ok = false;
            try {
                const ZipItem* item = zip_.Item(i);
                slot.bytes = static_cast<std::size_t>(item->size);
                slot.records.resize((slot.bytes + kRecordBytes - 1) / kRecordBytes);
                ok =
                    InflateZipItem(zip_.Data(), *item, slot.records.data(), slot.bytes, *inflater_);
            } catch (...) {
                ok = false;  // no memory: the item reads as broken, and the walk ends there
            }
            {
                std::lock_guard lock(mutex_);
                slot.ok = ok;
                slot.item = i;
            }
            changed_.notify_all();
            if (!ok) break;
        }
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (helper_.joinable()) helper_.join();
    }

    ZipReader& zip_;
    const int count_;
    ZipInflater inflater_;  // the helper's
    std::thread helper_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Slot slots_[kAhead];
    int taken_ = 0;  // items handed to `take` so far
    bool stop_ = false;
};

// Sharing pays only when there is a fair amount to inflate.
constexpr std::uint64_t kSharedUnpackBytes = 256 * 1024;

}  // namespace

bool UnpackHistory(const void* archive, std::size_t size, const Take& take, UnpackThreads threads) {
    ZipReader zip;
    if (!zip.Open(archive, size)) return false;
    const int count = ItemsWithinBounds(zip);
    bool shareable = threads == UnpackThreads::Two && count >= 2;
    std::uint64_t total = 0;
    for (int i = 0; i < count && shareable; ++i) {
        shareable = zip.Item(i)->Plain();  // the zip library serves one thread only
        total += zip.Item(i)->size;
    }
    if (!shareable || total < kSharedUnpackBytes) return UnpackInOrder(zip, count, take);
    SharedUnpack shared(zip, count);
    return shared.Run(take);
}

HistoryLink::HistoryLink(Options options)
    : options_(WithDefaults(std::move(options))), keyA_(NoBarKey()), keyB_(NoBarKey()) {}

void HistoryLink::StopLocked() {
    ++current_;
    if (socket_) socket_->Shutdown();  // wakes its reader, which closes it
    socket_.reset();
}

void HistoryLink::BeginReload() {
    std::lock_guard lock(mutex_);
    StopLocked();
    busy_ = false;
    loaded_ = false;
}

HistoryLink::Job HistoryLink::Prepare(const BarKey& keyA, const BarKey& keyB,
                                      const Endpoint& endpoint) {
    std::lock_guard lock(mutex_);
    StopLocked();
    busy_ = true;
    keyA_ = keyA;
    keyB_ = keyB;
    const KLineData& chart = *options_.chart;
    return Job{current_.load(), chart.Generation(), chart.Instrument(), chart.Period(), keyA, keyB,
               endpoint};
}

void HistoryLink::Launch(const Job& job) {
    try {
        std::thread([link = shared_from_this(), job] { link->HistoryLoader(job); }).detach();
    } catch (...) {
        Finish(job, TransferEnd::Failed);
    }
}

std::uint64_t HistoryLink::Start(const BarKey& keyA, const BarKey& keyB, const Endpoint& endpoint) {
    const Job job = Prepare(keyA, keyB, endpoint);
    Launch(job);
    return job.id;
}

std::uint64_t HistoryLink::StartFromCache(const Endpoint& endpoint) {
    Job job = Prepare(NoBarKey(), NoBarKey(), endpoint);
    job.fromCache = true;
    Launch(job);
    return job.id;
}

bool HistoryLink::TakeCache(Job& job) {
    std::deque<BarRecord> cached;
    {
        std::lock_guard one(readMutex_);
        if (!IsCurrent(job)) return false;  // a newer transfer came while an older one read
        const std::string& dir = job.endpoint.cacheDirectory;
        cached = options_.readCache ? options_.readCache(dir, job.instrument, job.period)
                                    : ReadHistoryCache(dir, job.instrument, job.period);
    }
    job.keyA = cached.empty() ? NoBarKey() : MakeBarKey(cached.front());
    if (!IsCurrent(job)) return false;
    // A reset since the job began refuses the bars; a reset after this drops them with the rest.
    if (!options_.chart->SetHistory(std::move(cached), job.generation)) return false;
    std::lock_guard lock(mutex_);
    if (!IsCurrent(job)) return false;
    keyA_ = job.keyA;
    return true;
}

TransferEnd HistoryLink::Run(const BarKey& keyA, const BarKey& keyB, const Endpoint& endpoint) {
    return HistoryLoader(Prepare(keyA, keyB, endpoint));
}

bool HistoryLink::PageHistory(const Endpoint& endpoint) {
    if (busy_.load()) return false;
    BarKey a, b;
    if (!OlderHistoryKeys(Trailer(), *options_.chart, a, b)) return false;
    Start(a, b, endpoint);
    return true;
}

BarKey HistoryLink::KeyA() const {
    std::lock_guard lock(mutex_);
    return keyA_;
}

BarKey HistoryLink::KeyB() const {
    std::lock_guard lock(mutex_);
    return keyB_;
}

BarKey HistoryLink::Trailer() const {
    std::lock_guard lock(mutex_);
    return trailer_;
}

bool HistoryLink::Register(const Job& job, const std::shared_ptr<LinkSocket>& socket) {
    std::lock_guard lock(mutex_);
    if (!IsCurrent(job)) return false;
    socket_ = socket;
    return true;
}

TransferEnd HistoryLink::Finish(const Job& job, TransferEnd end) {
    {
        std::lock_guard lock(mutex_);
        if (IsCurrent(job)) {
            // Only the current transfer owns the flags; a stale one leaves them to its successor.
            busy_ = false;
            if (end == TransferEnd::Applied) loaded_ = true;
            socket_.reset();
        } else {
            end = TransferEnd::Superseded;
        }
    }
    if (options_.ended) options_.ended(job.id, end);
    return end;
}

TransferEnd HistoryLink::HistoryLoader(Job job) {
    SocketGroup::Scope scope(options_.gate->Sockets());
    const SessionUse session;  // the session stays as it is until this worker ends
    KLineData& chart = *options_.chart;
    auto stale = [&] { return !IsCurrent(job); };
    if (job.fromCache && !TakeCache(job)) return Finish(job, TransferEnd::Superseded);

    Socket connected =
        Socket::Connect(job.endpoint.address, job.endpoint.port, timeouts::HistoryReadMs,
                        timeouts::HistoryAnswerDeadlineMs());
    if (!connected.Valid()) return Finish(job, TransferEnd::Failed);
    auto link = std::make_shared<LinkSocket>(std::move(connected));
    if (!Register(job, link)) {
        link->Close();
        return Finish(job, TransferEnd::Superseded);
    }
    Socket& s = link->Get();
    // Every end from here on closes this transfer's own socket.
    auto end = [&](TransferEnd how) {
        link->Close();
        return Finish(job, stale() ? TransferEnd::Superseded : how);
    };

    // The request. A failed send shows in the first read.
    unsigned char request[sizeof(RequestHeader) + 2 * kKeyBytes];
    RequestHeader header = MakeHeader(cmd::History(job.period, job.instrument));
    std::memcpy(request, &header, sizeof header);
    std::memcpy(request + sizeof header, job.keyA.data(), kKeyBytes);
    std::memcpy(request + sizeof header + kKeyBytes, job.keyB.data(), kKeyBytes);
    s.Send(request, sizeof request);
    if (stale()) return end(TransferEnd::Superseded);

    std::int32_t length = 0;
    if (ReceiveExact(s, &length, 4) != 4) return end(TransferEnd::Failed);
    if (stale()) return end(TransferEnd::Superseded);

    auto storeTrailer = [&] {
        BarKey trailer{};
        ReceiveExact(s, trailer.data(), kKeyBytes);  // a short trailer is taken as it came
        std::lock_guard lock(mutex_);
        if (IsCurrent(job)) trailer_ = trailer;
    };

    if (length == 0) {
        storeTrailer();
        return end(TransferEnd::Empty);
    }
    if (length < 0 || length > kMaxHistoryBytes) return end(TransferEnd::Failed);

    // The archive, received piece by piece into room set aside for the length announced: the
    // memory that counts is what arrived, and a growing buffer is never copied.
    std::vector<unsigned char> archive;
    archive.reserve(static_cast<std::size_t>(length));
    while (archive.size() < static_cast<std::size_t>(length)) {
        std::size_t want = std::min<std::size_t>(kHistoryReadChunk,
                                                 static_cast<std::size_t>(length) - archive.size());
        std::size_t at = archive.size();
        archive.resize(at + want);
        if (ReceiveExact(s, archive.data() + at, static_cast<int>(want)) != static_cast<int>(want))
            return end(TransferEnd::Failed);
        if (stale()) return end(TransferEnd::Superseded);
    }

    bool superseded = false;
    auto take = [&](const BarRecord* records, std::size_t count) {
        for (std::size_t at = 0; at < count; at += kHistoryRecordRun) {
            LinkGate::Pass pass(*options_.gate);
            if (!pass || stale()) {
                superseded = true;
                return false;
            }
            chart.AppendHistoryBars(records + at, std::min(kHistoryRecordRun, count - at),
                                    job.generation);
        }
        return true;
    };
    if (!UnpackHistory(archive.data(), archive.size(), take)) return end(TransferEnd::Failed);
    if (superseded) return end(TransferEnd::Superseded);
    // The archive's memory goes now, before the cache file's copy of the series is made
    // (assigning an empty list would keep it).
    std::vector<unsigned char>().swap(archive);

    storeTrailer();
    link->Close();
    if (stale()) return Finish(job, TransferEnd::Superseded);

    {
        LinkGate::Pass pass(*options_.gate);
        if (!pass) return Finish(job, TransferEnd::Superseded);
        const bool merged = chart.MergeHistory(job.generation);
        if (chart.Generation() != job.generation || stale())
            return Finish(job, TransferEnd::Superseded);
        chart.Layout();
        if (options_.applied) options_.applied();
        // The window repaints while the cache file is written: the file is written whole beside
        // the old one and renamed over it, so a crash leaves the old file or the new one.
        if (merged) WriteHistoryCache(job.endpoint.cacheDirectory, chart, job.generation);
    }
    return Finish(job, TransferEnd::Applied);
}

}  // namespace zq
