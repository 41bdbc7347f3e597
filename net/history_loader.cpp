#include "net/history_loader.h"

#include <algorithm>
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

bool UnpackHistory(const void* archive, std::size_t size,
                   const std::function<bool(const BarRecord*, std::size_t)>& take) {
    ZipReader zip;
    if (!zip.Open(archive, size)) return false;
    std::vector<BarRecord> records;
    std::uint64_t total = 0;
    for (int i = 0; i < zip.Count(); ++i) {
        std::optional<std::size_t> bytes = zip.ItemSize(i);
        if (!bytes) break;
        total += *bytes;
        if (total > kMaxHistoryUnpackedBytes) break;  // no real series is this long
        // Unpacked straight into record storage, rounded up to whole records.
        records.resize((*bytes + kRecordBytes - 1) / kRecordBytes);
        if (!zip.Unpack(i, records.data(), *bytes)) break;
        if (!take(records.data(), *bytes / kRecordBytes)) break;
    }
    return true;
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

std::uint64_t HistoryLink::Start(const BarKey& keyA, const BarKey& keyB, const Endpoint& endpoint) {
    Job job = Prepare(keyA, keyB, endpoint);
    try {
        std::thread([link = shared_from_this(), job] { link->HistoryLoader(job); }).detach();
    } catch (...) {
        Finish(job, TransferEnd::Failed);
    }
    return job.id;
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

TransferEnd HistoryLink::HistoryLoader(const Job& job) {
    SocketGroup::Scope scope(options_.gate->Sockets());
    const SessionUse session;  // the session stays as it is until this worker ends
    KLineData& chart = *options_.chart;
    auto stale = [&] { return !IsCurrent(job); };

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

    // The archive, received piece by piece.
    std::vector<unsigned char> archive;
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
    archive = {};

    storeTrailer();
    link->Close();
    if (stale()) return Finish(job, TransferEnd::Superseded);

    {
        LinkGate::Pass pass(*options_.gate);
        if (!pass) return Finish(job, TransferEnd::Superseded);
        if (chart.MergeHistory(job.generation))
            WriteHistoryCache(job.endpoint.cacheDirectory, chart, job.generation);
        if (chart.Generation() != job.generation || stale())
            return Finish(job, TransferEnd::Superseded);
        chart.Layout();
        if (options_.applied) options_.applied();
    }
    return Finish(job, TransferEnd::Applied);
}

}  // namespace zq
