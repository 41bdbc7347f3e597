#include "net/wire/request.h"

#include "base/config.h"
#include "net/wire/session.h"

namespace zq {

Socket ConnectRequestPort() {
    return Socket::Connect(Session().serverAddress, Config().requestPort, timeouts::RequestAnswerMs,
                           timeouts::RequestAnswerDeadlineMs());
}

Socket OpenRequestConnection(WindowHandle owner) {
    Socket s = ConnectRequestPort();
    if (!s.Valid()) ShowMessage(owner, kConnectFailedText);
    return s;
}

bool SendRequest(Socket& s, const RequestHeader& header, const void* payload,
                 std::size_t payloadSize) {
    if (s.Send(&header, sizeof header) <= 0) return false;
    if (payload && payloadSize > 0 && s.Send(payload, payloadSize) <= 0) return false;
    return true;
}

std::uint8_t ReadByteAnswer(Socket& s) {
    std::uint8_t b = 0;
    if (ReceiveExact(s, &b, 1) != 1) return 0;
    return b;
}

std::int32_t ReadInt32Answer(Socket& s) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    ReceiveExact(s, bytes, 4);  // what arrived before a failure stays
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::optional<std::int32_t> RequestInt32Answer(WindowHandle owner, std::int32_t command,
                                               const void* payload, std::size_t payloadSize,
                                               const char* sendFailedText) {
    Socket s = OpenRequestConnection(owner);
    if (!s.Valid()) return std::nullopt;
    if (!SendRequest(s, MakeHeader(command), payload, payloadSize)) {
        ShowMessage(owner, sendFailedText);
        s.Close();
        return std::nullopt;
    }
    const std::int32_t answer = ReadInt32Answer(s);
    s.ShutdownClose();
    return answer;
}

ListResult ReadCountedList(Socket& s, std::size_t recordSize, std::vector<unsigned char>& out) {
    ListResult r;
    std::int32_t count = 0;
    if (ReceiveExact(s, &count, 4) != 4) return r;
    r.announced = count;
    if (count < 1) {
        r.complete = true;
        return r;
    }
    if (count > kMaxListCount) {
        // The records beyond the cap would be left on the connection for the next answer to
        // read: nothing of the list is taken, and the connection is shut so that nothing more
        // is read from it.
        r.refused = true;
        s.Shutdown();
        return r;
    }
    std::vector<unsigned char> rec(recordSize);
    for (int i = 0; i < count; ++i) {
        if (ReceiveExact(s, rec.data(), static_cast<int>(recordSize)) !=
            static_cast<int>(recordSize))
            return r;
        out.insert(out.end(), rec.begin(), rec.end());
    }
    r.complete = true;
    return r;
}

}  // namespace zq
