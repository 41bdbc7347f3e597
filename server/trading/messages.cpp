#include "server/trading/messages.h"

#include "server/market/trading_day.h"

namespace zq::server {
namespace {

std::int64_t Insert(sqlite3* db, std::int64_t memberId, std::int64_t time,
                    const std::string& text) {
    Statement st(db, "INSERT INTO messages (member_id, time, text) VALUES (?, ?, ?)");
    st.Bind(1, memberId).Bind(2, time).Bind(3, std::string_view(text));
    return st.Run() ? sqlite3_last_insert_rowid(db) : 0;
}

struct SeedMessage {
    bool toEveryone;
    std::int64_t age;  // seconds before seeding
    const char* text;
};

constexpr SeedMessage kSeedMessages[] = {
    {true, 4 * 86400,
     "欢迎使用ZelvanQuorvex模拟交易系统！您的模拟账户已开通，可交易贵金属、外汇、原油及国内期货共33"
     "个品种。"},
    {false, 3 * 86400,
     "系统通知：本周五晚将公布美国非农就业数据，届时伦敦金、纽约原油及主要货币对波动可能加剧，请注"
     "意控制仓位、设置止损。"},
    {false, 2 * 86400,
     "活动公告：上期模拟交易大赛结果已揭晓，您获得三等奖，恭喜！奖品将于三个工作日内发放。"},
    {false, 5 * 3600,
     "交易提示：您的欧元/美元空单已设置止损1.3300，当前市场波动较大，请留意风险。"},
};

}  // namespace

std::vector<ServerMessage> MessagesFor(Store& store, std::int64_t memberId, int limit) {
    return store.WithDb([&](sqlite3* db) {
        Statement st(db,
                     "SELECT id, time, text FROM messages WHERE member_id IN (?, ?)"
                     " ORDER BY time DESC, id DESC LIMIT ?");
        st.Bind(1, memberId).Bind(2, kEveryMember).Bind(3, std::int64_t{limit});
        std::vector<ServerMessage> out;
        while (st.Step()) out.push_back({st.Int(0), st.Int(1), st.Text(2)});
        return out;
    });
}

std::int64_t AddMessage(Store& store, std::int64_t memberId, std::int64_t time,
                        const std::string& text) {
    return store.WithDb([&](sqlite3* db) { return Insert(db, memberId, time, text); });
}

bool CreateMessageTables(Store& /*store*/, sqlite3* db, std::string* error) {
    if (!Exec(db,
              "CREATE TABLE messages ("
              " id INTEGER PRIMARY KEY,"
              " member_id INTEGER NOT NULL,"
              " time INTEGER NOT NULL,"
              " text TEXT NOT NULL);"
              "CREATE INDEX messages_by_member ON messages (member_id, time);",
              error))
        return false;
    std::int64_t demo = -1;
    {
        Statement find(db, "SELECT id FROM members WHERE name = 'demo'");
        if (find.Step()) demo = find.Int(0);
    }
    const std::int64_t now = NowSeconds();
    for (const SeedMessage& m : kSeedMessages) {
        if (!m.toEveryone && demo < 0) continue;
        if (Insert(db, m.toEveryone ? kEveryMember : demo, now - m.age, m.text) == 0) {
            if (error) *error = sqlite3_errmsg(db);
            return false;
        }
    }
    return true;
}

}  // namespace zq::server
