// The instrument catalogue and its charges, the simulated market, and the server's calendar.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "net/wire/ansi_text.h"
#include "server/market/catalogue.h"
#include "server/market/market.h"
#include "server/trading/accounts.h"

namespace zq::server {
namespace {

TEST(CatalogueTest, FortyTwoInstrumentsWithSoundRules) {
    auto all = Catalogue();
    ASSERT_EQ(all.size(), 42u);
    std::set<std::string> names, codes;
    for (std::size_t n = 0; n < all.size(); ++n) {
        const InstrumentRules& r = all[n];
        SCOPED_TRACE(r.code);
        EXPECT_EQ(r.id, static_cast<std::int32_t>(n + 1));
        EXPECT_EQ(FindRules(r.id), &r);
        EXPECT_TRUE(names.insert(r.name).second);
        EXPECT_TRUE(codes.insert(r.code).second);
        EXPECT_LT(ToAnsi(r.name).size(), sizeof(InstrumentRecord::name));
        EXPECT_EQ(r.tradable, r.id < 20 || r.id > 28);
        EXPECT_GT(r.buySpread, 0);
        EXPECT_GT(r.sellSpread, 0);
        // A pending order or stop can never sit inside the spread.
        EXPECT_GE(r.pendingDistance, r.buySpread + r.sellSpread);
        EXPECT_GE(r.stopDistance, r.buySpread + r.sellSpread);
        // The spread is a whole number of price points.
        const double spreadPoints = r.buySpread * PriceScale(r);
        EXPECT_NEAR(spreadPoints, std::round(spreadPoints), 1e-3);
        // The smallest order is a whole number of lot steps.
        const double minUnits = r.minLots * std::pow(10.0, r.lotDecimals) / r.lotStep;
        EXPECT_NEAR(minUnits, std::round(minUnits), 1e-4);
        EXPECT_GE(minUnits, 1.0 - 1e-4);
        EXPECT_LE(r.minLots, static_cast<float>(r.maxLots));
        EXPECT_LE(r.maxLots, r.maxPosition);
        // Margin is a fraction of what a lot is worth; the opening price fits a market record.
        EXPECT_GT(MarginFor(r, r.openingPrice, 1), 0);
        EXPECT_LT(MarginFor(r, r.openingPrice, 1), NotionalValue(r, r.openingPrice, 1) * 0.5);
        EXPECT_LT(r.openingPrice * PriceScale(r), 1e8);
        EXPECT_GT(r.dailyVolatility, 0);
        EXPECT_LT(r.dailyVolatility, 0.05);
    }
    EXPECT_EQ(FindRules(0), nullptr);
    EXPECT_EQ(FindRules(43), nullptr);
    EXPECT_STREQ(FindRules(1)->name, "伦敦金(T+0)");
    EXPECT_STREQ(FindRules(39)->name, "美元/人民币");
}

TEST(CatalogueTest, InstrumentRecordCarriesTheRulesAndThePrices) {
    const InstrumentRules& gold = *FindRules(1);
    InstrumentRecord r = MakeInstrumentRecord(gold, 165012);
    EXPECT_EQ(r.id, 1);
    EXPECT_EQ(FieldToUtf8(r.name, sizeof r.name), "伦敦金(T+0)");
    EXPECT_EQ(FieldToUtf8(r.code, sizeof r.code), "XAUUSD");
    EXPECT_EQ(r.decimals, 2);
    EXPECT_FLOAT_EQ(r.last, 1650.12f);
    EXPECT_FLOAT_EQ(r.ask, 1650.37f);
    EXPECT_FLOAT_EQ(r.bid, 1649.87f);
    EXPECT_EQ(r.marginMethod, gold.marginMethod);
    EXPECT_EQ(r.maxLots, gold.maxLots);
    EXPECT_EQ(r.tradable, 1);
    std::int32_t deferralMethod = 0;
    std::memcpy(&deferralMethod, reinterpret_cast<const char*>(&r) + kDeferralMethodOffset, 4);
    EXPECT_EQ(deferralMethod, gold.deferralMethod);
    EXPECT_EQ(MakeInstrumentRecord(*FindRules(24)).tradable, 0);
}

TEST(CatalogueTest, ChargesFollowTheirMethods) {
    const InstrumentRules& gold = *FindRules(1);  // proportional: 1 %, 0.03 %, 0.02 % a day
    // 1 lot at 1650.00 is worth 1650 x 100 x 6.25 = 1,031,250 yuan.
    EXPECT_DOUBLE_EQ(NotionalValue(gold, 1650.00, 1), 1031250.00);
    EXPECT_DOUBLE_EQ(MarginFor(gold, 1650.00, 0.5), 5156.25);
    EXPECT_DOUBLE_EQ(SideFee(gold, 1650.00, 1), 309.38);  // 309.375 rounded to the fen
    EXPECT_DOUBLE_EQ(ClosingFee(gold, 1650.00, 1), 0);    // collected at opening only
    EXPECT_DOUBLE_EQ(DailyDeferral(gold, 1650.00, 1), 206.25);

    const InstrumentRules& index = *FindRules(3);  // per lot: 5,000 margin, 30 fee, 15 a day
    EXPECT_DOUBLE_EQ(MarginFor(index, 80.25, 0.3), 1500);
    EXPECT_DOUBLE_EQ(SideFee(index, 80.25, 2), 60);
    EXPECT_DOUBLE_EQ(ClosingFee(index, 80.25, 2), 60);  // both sides
    EXPECT_DOUBLE_EQ(DailyDeferral(index, 80.25, 2), 30);

    // Half a fen goes up, whatever the double's last bit: every 纽约原油 fee (0.03 % of
    // price x 100 x 62.5 x lots, i.e. points x tenths of a lot x 0.1875 fen) against whole-fen
    // arithmetic, 0.4 lot at 88.30 (66.225) among them.
    const InstrumentRules& crude = *FindRules(13);
    EXPECT_DOUBLE_EQ(SideFee(crude, 88.30, 0.4), 66.23);
    int halves = 0;
    for (std::int64_t points = 8000; points <= 9600; ++points) {
        for (std::int64_t tenths = 1; tenths <= 20; ++tenths) {
            const std::int64_t tenThousandthsOfFen = points * tenths * 1875;
            halves += tenThousandthsOfFen % 10000 == 5000 ? 1 : 0;
            const double expected = static_cast<double>((tenThousandthsOfFen + 5000) / 10000) / 100;
            ASSERT_DOUBLE_EQ(
                SideFee(crude, static_cast<double>(points) / 100, static_cast<double>(tenths) / 10),
                expected)
                << points << " points, " << tenths << " tenths";
        }
    }
    EXPECT_GT(halves, 100);
    // A day's deferral of 伦敦金 (0.02 %): points x hundredths of a lot x 0.00125 fen, half a
    // fen up.
    const InstrumentRules& gold2 = *FindRules(1);
    for (std::int64_t points = 150000; points <= 170000; points += 7) {
        for (std::int64_t hundredths = 1; hundredths <= 100; ++hundredths) {
            const std::int64_t fen = (points * hundredths * 125 * 2 + 100000) / 200000;
            ASSERT_DOUBLE_EQ(DailyDeferral(gold2, static_cast<double>(points) / 100,
                                           static_cast<double>(hundredths) / 100),
                             static_cast<double>(fen) / 100)
                << points << " points, " << hundredths << " hundredths";
        }
    }
    EXPECT_DOUBLE_EQ(RoundMoney(2.675), 2.68);
    EXPECT_DOUBLE_EQ(RoundMoney(-2.675), -2.68);
    EXPECT_DOUBLE_EQ(RoundMoney(2.6749), 2.67);

    const InstrumentRules& rebar = *FindRules(32);  // futures: no deferral
    EXPECT_DOUBLE_EQ(DailyDeferral(rebar, 3700, 10), 0);
    EXPECT_DOUBLE_EQ(MarginFor(rebar, 3700, 10), 33300);  // 9 % of 370,000
}

std::vector<std::int32_t> Prices(const Market& m) {
    std::vector<std::int32_t> out;
    for (const Tick& t : m.Snapshot()) out.push_back(t.price);
    return out;
}

TEST(MarketTest, SameSeedWalksTheSameWayAndPricesStayPositiveAndNearby) {
    SeededRandom r1(7), r2(7), r3(8);
    Market a(r1), b(r2), c(r3);
    const std::vector<std::int32_t> opening = Prices(a);
    for (const InstrumentRules& r : Catalogue())
        EXPECT_EQ(opening[static_cast<std::size_t>(r.id - 1)], ToScaled(r, r.openingPrice));
    for (int n = 0; n < 2000; ++n) {
        a.Step();
        b.Step();
        c.Step();
    }
    EXPECT_EQ(Prices(a), Prices(b));
    EXPECT_NE(Prices(a), Prices(c));
    int moved = 0;
    // Some fourteen hours of half-second steps later.
    for (int n = 0; n < 100000; ++n) a.Step();
    for (const Tick& t : a.Snapshot()) {
        const InstrumentRules& r = *FindRules(t.instrument);
        SCOPED_TRACE(r.code);
        EXPECT_GT(t.price, 0);
        EXPECT_EQ(t.decimals, r.decimals);
        const double change = FromScaled(r, t.price) / r.openingPrice;
        EXPECT_GT(change, 0.8);
        EXPECT_LT(change, 1.25);
        moved += t.price != opening[static_cast<std::size_t>(t.instrument - 1)];
    }
    EXPECT_GE(moved, 40);
}

TEST(MarketTest, ListenersHearEveryNewPriceInOrder) {
    SeededRandom random(1);
    Market market(random);
    std::vector<Tick> heard;
    const auto id = market.AddListener([&](const Tick& t) {
        // The price is already current when the listener hears it.
        EXPECT_EQ(market.Price(t.instrument), t.price);
        heard.push_back(t);
    });
    std::vector<std::int32_t> before = Prices(market);
    for (int n = 0; n < 20; ++n) market.Step();
    std::vector<std::int32_t> after = Prices(market);
    ASSERT_FALSE(heard.empty());
    for (std::size_t n = 1; n < heard.size(); ++n)
        EXPECT_EQ(heard[n].sequence, heard[n - 1].sequence + 1);
    // The last tick of every instrument that moved is its current price.
    std::map<std::int32_t, std::int32_t> last;
    for (const Tick& t : heard) last[t.instrument] = t.price;
    for (std::size_t n = 0; n < after.size(); ++n) {
        auto it = last.find(static_cast<std::int32_t>(n + 1));
        if (it == last.end())
            EXPECT_EQ(after[n], before[n]);
        else
            EXPECT_EQ(it->second, after[n]);
    }

    heard.clear();
    market.SetPrice(13, 9012);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].instrument, 13);
    EXPECT_EQ(heard[0].price, 9012);
    EXPECT_EQ(market.Current(13)->price, 9012);
    EXPECT_FLOAT_EQ(market.QuotedRecord(13).last, 90.12f);
    market.SetPrice(13, 0);   // ignored
    market.SetPrice(99, 10);  // ignored
    EXPECT_EQ(heard.size(), 1u);
    EXPECT_EQ(market.Price(13), 9012);
    EXPECT_EQ(market.Price(99), 0);

    market.RemoveListener(id);
    market.SetPrice(13, 9100);
    for (int n = 0; n < 5; ++n) market.Step();
    EXPECT_EQ(heard.size(), 1u);
}

TEST(MarketTest, RestoreTakesOnlySensiblePrices) {
    SeededRandom random(1);
    Market market(random);
    int heard = 0;
    market.AddListener([&](const Tick&) { ++heard; });
    market.Restore({{1, 170000}, {2, -5}, {5, 1}, {77, 100}, {14, 13200}});
    EXPECT_EQ(heard, 0);
    EXPECT_EQ(market.Price(1), 170000);
    EXPECT_EQ(market.Price(2), ToScaled(*FindRules(2), 30.5));
    EXPECT_EQ(market.Price(5), ToScaled(*FindRules(5), 335.0));  // far from the opening price
    EXPECT_EQ(market.Price(14), 13200);
}

TEST(MarketTest, RunsOnItsOwnThreadUntilStopped) {
    SeededRandom random(3);
    Market market(random);
    std::mutex mutex;
    std::condition_variable ticked;
    int ticks = 0;
    market.AddListener([&](const Tick&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++ticks;
        ticked.notify_all();
    });
    market.Start(std::chrono::milliseconds(5));
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(ticked.wait_for(lock, std::chrono::seconds(30), [&] { return ticks >= 50; }));
    }
    market.Stop();  // joins the market's thread: no tick comes after it
    const int stopped = ticks;
    market.Stop();                               // idempotent
    market.Start(std::chrono::milliseconds(0));  // 0: nothing runs
    // A price set by hand is the only tick from here on: had a thread started, its steps would
    // come before the one Stop() below waits for.
    market.SetPrice(14, market.Price(14) + 1);
    market.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(ticks, stopped + 1);
}

TEST(ClockTextTest, BeijingTimeAndTradingDays) {
    EXPECT_EQ(BeijingTimeText(0), "1970-01-01 08:00:00");
    // 2012-12-31 23:30 UTC is already 2013-01-01 in Beijing.
    EXPECT_EQ(BeijingTimeText(1356996600), "2013-01-01 07:30:00");
    EXPECT_EQ(TradingDayOf(1356996600), "2013-01-01");
    EXPECT_EQ(DayNumber("1970-01-01"), 0);
    EXPECT_EQ(DayNumber("2013-01-01"), 15706);
    EXPECT_EQ(DayNumber("2000-03-01"), 11017);
    EXPECT_FALSE(DayNumber(""));
    EXPECT_FALSE(DayNumber("2013-13-01"));
    EXPECT_FALSE(DayNumber("yesterday!"));
}

TEST(ClockTextTest, WeeksStartOnMondayAndNightsCountBeijingDays) {
    // 2024-01-07 is a Sunday, 2024-01-08 a Monday.
    const std::int64_t sunday = *DayNumber("2024-01-07"), monday = sunday + 1;
    EXPECT_NE(WeekNumber(sunday), WeekNumber(monday));
    EXPECT_EQ(WeekNumber(monday), WeekNumber(monday + 6));
    EXPECT_NE(WeekNumber(monday + 6), WeekNumber(monday + 7));
    EXPECT_EQ(WeekNumber(*DayNumber("1970-01-04")), WeekNumber(0)) << "Thursday to Sunday";

    // 2024-01-10 15:59:59 UTC is 23:59:59 in Beijing; two seconds later it is the next day.
    const std::int64_t lateEvening = 1704902399;
    EXPECT_EQ(NightsBetween(lateEvening - 12 * 3600, lateEvening), 0);
    EXPECT_EQ(NightsBetween(lateEvening, lateEvening + 2), 1);
    EXPECT_EQ(NightsBetween(lateEvening, lateEvening + 3 * 86400), 3);
    EXPECT_EQ(NightsBetween(lateEvening + 2, lateEvening), 0) << "never backwards";
}

}  // namespace
}  // namespace zq::server
