#include "server/links/data_link.h"

#include <zip.h>

#include <cstdio>
#include <cstring>

#include "market/wire/signal_record.h"
#include "server/links/link_io.h"
#include "server/market/catalogue.h"
#include "server/store/log.h"

namespace zq::server {
namespace {

// After the answer the server waits this long for the client to close first.
constexpr int kDrainMs = 5000;

std::string KeyField(const char* field) {
    return std::string(field, strnlen(field, sizeof(BarKey)));
}

// The answer to one history request, or the outcome that closes the connection without one.
struct DataAnswer {
    std::string bytes;
    std::string outcome;
};

// Reads the history and zips it (on the worker pool).
DataAnswer Answer(ServerState& state, const RequestHeader& header, const HistorySeries& series,
                  const char* keys, ConnectionLog& log) {
    DataAnswer result;
    const std::string keyA = KeyField(keys), keyB = KeyField(keys + sizeof(BarKey));
    std::string item = std::to_string(header.command) + " history A \"" + Printable(keyA) +
                       "\" B \"" + Printable(keyB) + "\"";
    // History is for members: the header must carry the key of an open session.
    const Key key = KeyOf(header);
    if (!state.sessions.Contains(key)) {
        log.Add(item + ": no session " + KeyTag(key));
        result.outcome = "closed";
        return result;
    }
    std::optional<HistoryAnswer> answer =
        state.bars.History(series.instrument, series.periodMinutes, keyA, keyB);
    if (!answer) {
        log.Add(item);
        result.outcome = "no history, closed";
        return result;
    }
    // From now on the session's push link serves this chart.
    state.push.NoteHistoryRequest(KeyOf(header), series.instrument,
                                  PeriodIndex(series.periodMinutes));

    // The instrument's active signals ride along with every answer that brings the live bar,
    // after the oldest bar: the client takes them out by their marker.
    std::size_t signals = 0;
    if (!answer->bars.empty() && IsLiveBar(answer->bars.front())) {
        for (const SignalRecord& s : state.signals.Active(series.instrument)) {
            answer->bars.push_back(AsBar(s));
            ++signals;
        }
    }
    std::string archive;
    if (!answer->bars.empty()) {
        std::optional<std::string> zipped = ZipBarRecords(answer->bars);
        if (!zipped) {
            log.Add(item);
            result.outcome = "cannot make the archive, closed";
            return result;
        }
        archive = std::move(*zipped);
    }
    std::string& out = result.bytes;
    const auto length = static_cast<std::int32_t>(archive.size());
    out.append(reinterpret_cast<const char*>(&length), sizeof length);
    out += archive;
    out.append(answer->trailer.data(), answer->trailer.size());
    item += " -> " + std::to_string(answer->bars.size() - signals) + " bars" +
            (signals ? " and " + std::to_string(signals) + " signals" : std::string()) + " in " +
            std::to_string(archive.size()) + " bytes, trailer \"" +
            std::string(KeyText(answer->trailer)) + "\"";
    log.Add(item);
    return result;
}

asio::awaitable<void> Serve(Accepted& link, ServerState& state, NetLoop& loop, ConnectionLog& log) {
    Tcp::socket& socket = *link.socket;
    const LinkClock::time_point deadline = DeadlineIn(kDataRequestMs);
    RequestHeader header;
    if (!co_await ReadHeader(socket, header, log, deadline)) co_return;
    const std::optional<HistorySeries> series = DecodeHistoryCommand(header.command);
    if (!series) {
        log.Add(std::to_string(header.command) + " not a history series");
        log.SetOutcome("unknown command, closed");
        co_return;
    }
    char keys[2 * sizeof(BarKey)];
    const std::size_t got = co_await ReadBefore(socket, keys, sizeof keys, deadline);
    if (got < sizeof keys) {
        log.Add(std::to_string(header.command) + " history");
        log.SetOutcome("short request (" + std::to_string(got) + " of 26 key bytes), closed");
        co_return;
    }
    const DataAnswer answer =
        co_await OnPool(loop.Workers(), [&] { return Answer(state, header, *series, keys, log); });
    if (!answer.outcome.empty()) {
        log.SetOutcome(answer.outcome);
        co_return;
    }
    link.ticket.Authenticated();
    if (!co_await WriteBefore(socket, answer.bytes.data(), answer.bytes.size(),
                              DeadlineIn(kSendStallMs))) {
        log.SetOutcome("send failed, closed");
        co_return;
    }
    // Let the client read everything and close first: a close with unread bytes could
    // reset the connection under the answer.
    asio::error_code ignored;
    socket.shutdown(Tcp::socket::shutdown_send, ignored);
    const LinkClock::time_point drained = DeadlineIn(kDrainMs);
    char junk[256];
    while (co_await ReadBefore(socket, junk, sizeof junk, drained) == sizeof junk) {
    }
    log.SetOutcome("answered");
}

}  // namespace

std::optional<HistorySeries> DecodeHistoryCommand(std::int32_t command) {
    if (command <= 0) return std::nullopt;
    const int period = command / 1000;
    const std::int32_t instrument = command % 1000;
    if (PeriodIndex(period) < 0 || !FindRules(instrument)) return std::nullopt;
    return HistorySeries{instrument, period};
}

std::optional<std::string> ZipBarRecords(const std::vector<BarRecord>& records) {
    if (records.empty()) return std::nullopt;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* archive =
        buffer ? zip_open_from_source(buffer, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    zip_error_fini(&error);
    if (!archive) {
        if (buffer) zip_source_free(buffer);
        return std::nullopt;
    }
    // The buffer outlives the archive: the finished archive is read back from it.
    zip_source_keep(buffer);
    bool ok = true;
    std::size_t itemNumber = 1;
    for (std::size_t first = 0; ok && first < records.size(); first += kRecordsPerItem) {
        const std::size_t count = std::min(kRecordsPerItem, records.size() - first);
        zip_source_t* item =
            zip_source_buffer(archive, &records[first], count * sizeof(BarRecord), 0);
        const std::string name = "bars" + std::to_string(itemNumber++);
        if (!item || zip_file_add(archive, name.c_str(), item, ZIP_FL_ENC_UTF_8) < 0) {
            if (item) zip_source_free(item);
            ok = false;
        }
    }
    if (!ok || zip_close(archive) < 0) {
        zip_discard(archive);
        zip_source_free(buffer);
        return std::nullopt;
    }
    std::optional<std::string> out;
    if (zip_source_open(buffer) == 0) {
        if (zip_source_seek(buffer, 0, SEEK_END) == 0) {
            const zip_int64_t size = zip_source_tell(buffer);
            if (size > 0 && zip_source_seek(buffer, 0, SEEK_SET) == 0) {
                std::string bytes(static_cast<std::size_t>(size), '\0');
                if (zip_source_read(buffer, bytes.data(), static_cast<zip_uint64_t>(size)) == size)
                    out = std::move(bytes);
            }
        }
        zip_source_close(buffer);
    }
    zip_source_free(buffer);
    return out;
}

asio::awaitable<void> ServeDataConnection(Accepted link, ServerState& state, NetLoop& loop) {
    co_await ServeLink(link, "data", [&](Tcp::socket&, ConnectionLog& log) {
        return Serve(link, state, loop, log);
    });
}

}  // namespace zq::server
