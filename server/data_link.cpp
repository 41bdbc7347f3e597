#include "server/data_link.h"

#include <sys/socket.h>
#include <zip.h>

#include <cstdio>
#include <cstring>

#include "market/wire/signal_record.h"
#include "server/catalogue.h"
#include "server/link_io.h"
#include "server/log.h"

namespace zq::server {
namespace {

// After the answer the server waits this long for the client to close first.
constexpr int kDrainMs = 5000;

std::string KeyField(const char* field) {
    return std::string(field, strnlen(field, sizeof(BarKey)));
}

void Serve(Socket& socket, ServerState& state, ConnectionLog& log) {
    LimitSendStall(socket);
    const LinkClock::time_point deadline = DeadlineIn(kDataRequestMs);
    RequestHeader header;
    if (!ReadHeader(socket, header, log, deadline)) return;
    const std::optional<HistorySeries> series = DecodeHistoryCommand(header.command);
    if (!series) {
        log.Add(std::to_string(header.command) + " not a history series");
        log.SetOutcome("unknown command, closed");
        return;
    }
    char keys[2 * sizeof(BarKey)];
    const int got = ReadUpTo(socket, keys, sizeof keys, deadline);
    if (got < static_cast<int>(sizeof keys)) {
        log.Add(std::to_string(header.command) + " history");
        log.SetOutcome("short request (" + std::to_string(got) + " of 26 key bytes), closed");
        return;
    }
    const std::string keyA = KeyField(keys), keyB = KeyField(keys + sizeof(BarKey));
    std::string item = std::to_string(header.command) + " history A \"" + Printable(keyA) +
                       "\" B \"" + Printable(keyB) + "\"";
    // History is for members: the header must carry the key of an open session.
    const Key key = KeyOf(header);
    if (!state.sessions.Contains(key)) {
        log.Add(item + ": no session " + KeyTag(key));
        log.SetOutcome("closed");
        return;
    }
    std::optional<HistoryAnswer> answer =
        state.bars.History(series->instrument, series->periodMinutes, keyA, keyB);
    if (!answer) {
        log.Add(item);
        log.SetOutcome("no history, closed");
        return;
    }
    // From now on the session's push link serves this chart.
    state.push.NoteHistoryRequest(KeyOf(header), series->instrument,
                                  PeriodIndex(series->periodMinutes));

    // The instrument's active signals ride along with every answer that brings the live bar,
    // after the oldest bar: the client takes them out by their marker.
    std::size_t signals = 0;
    if (!answer->bars.empty() && IsLiveBar(answer->bars.front())) {
        for (const SignalRecord& s : state.signals.Active(series->instrument)) {
            answer->bars.push_back(AsBar(s));
            ++signals;
        }
    }
    std::string archive;
    if (!answer->bars.empty()) {
        std::optional<std::string> zipped = ZipBarRecords(answer->bars);
        if (!zipped) {
            log.Add(item);
            log.SetOutcome("cannot make the archive, closed");
            return;
        }
        archive = std::move(*zipped);
    }
    std::string out;
    const auto length = static_cast<std::int32_t>(archive.size());
    out.append(reinterpret_cast<const char*>(&length), sizeof length);
    out += archive;
    out.append(answer->trailer.data(), answer->trailer.size());
    item += " -> " + std::to_string(answer->bars.size() - signals) + " bars" +
            (signals ? " and " + std::to_string(signals) + " signals" : std::string()) + " in " +
            std::to_string(archive.size()) + " bytes, trailer \"" +
            std::string(KeyText(answer->trailer)) + "\"";
    log.Add(item);
    if (socket.Send(out.data(), out.size()) != static_cast<int>(out.size())) {
        log.SetOutcome("send failed, closed");
        return;
    }
    // Let the client read everything and close first: a close with unread bytes could
    // reset the connection under the answer.
    ::shutdown(socket.Fd(), SHUT_WR);
    const LinkClock::time_point drained = DeadlineIn(kDrainMs);
    char junk[256];
    while (RecvBefore(socket, junk, sizeof junk, drained) > 0) {
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

void ServeDataConnection(Socket socket, const std::string& peer, ServerState& state) {
    ServeLink(socket, "data", peer, [&](Socket& s, ConnectionLog& log) { Serve(s, state, log); });
}

}  // namespace zq::server
