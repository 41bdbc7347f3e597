// The bar record: classification, bar keys and price texts.
#include <gtest/gtest.h>

#include <cstring>

#include "market/wire/bar_record.h"
#include "tests/market_fixtures.h"

namespace zq {
namespace {

using test::FinishedBar;
using test::LiveBar;

TEST(BarRecordTest, SignalMarkerWinsOverLiveMarkerAndColonMakesLive) {
    BarRecord live = LiveBar(1, 1, 1, 1, 1, "09:45");
    EXPECT_EQ(Classify(live), BarKind::Live);

    BarRecord signal = live;
    signal.time[0] = static_cast<char>(255);  // the third character is still ':'
    EXPECT_EQ(Classify(signal), BarKind::Signal);

    BarRecord finished = FinishedBar(1, 1, 1, 1, 1);
    EXPECT_EQ(Classify(finished), BarKind::Finished);
    std::strcpy(finished.time, "9:45");  // ':' as second character: not live
    EXPECT_EQ(Classify(finished), BarKind::Finished);
}

TEST(BarRecordTest, BarKeyPutsTimeTextAtPositionFour) {
    BarRecord r = FinishedBar(0, 1, 1, 1, 1);
    r.keyNumber = 2024;
    std::strcpy(r.time, "03151430");
    BarKey k = MakeBarKey(r);
    EXPECT_EQ(KeyText(k), "202403151430");
    EXPECT_EQ(k[12], '\0');

    EXPECT_EQ(KeyText(NoBarKey()), "0");
}

TEST(BarRecordTest, BarKeyStaysInsideItsBufferWhateverTheServerSent) {
    BarRecord r = FinishedBar(0, 1, 1, 1, 1);
    r.keyNumber = -2147483647 - 1;            // eleven characters
    std::memset(r.time, 'x', sizeof r.time);  // no NUL in the 12-byte field
    BarKey k = MakeBarKey(r);
    EXPECT_EQ(k[12], '\0');
    EXPECT_EQ(KeyText(k), "-214xxxxxxxx");
}

TEST(BarRecordTest, KeysCompareAsTextsNotBytes) {
    BarKey a = NoBarKey();
    BarKey b = NoBarKey();
    b[5] = 'z';  // a server trailer may carry anything after its NUL
    EXPECT_TRUE(SameKeyText(a, b));

    BarKey full{};
    std::memset(full.data(), '7', full.size());  // no NUL at all: read as 13 characters
    EXPECT_EQ(KeyText(full).size(), 13u);
    EXPECT_FALSE(SameKeyText(full, a));
}

TEST(BarRecordTest, SameBarComparesKeyNumberAndTimeText) {
    BarRecord a = FinishedBar(7, 1, 2, 3, 1);
    BarRecord b = FinishedBar(7, 9, 9, 9, 9);
    b.time[10] = 'q';  // after the NUL
    EXPECT_TRUE(SameBar(a, b));
    b.keyNumber = 2025;
    EXPECT_FALSE(SameBar(a, b));
    EXPECT_FALSE(SameBar(a, FinishedBar(8, 1, 2, 3, 1)));
}

TEST(BarRecordTest, ChartTakesOnlyItsInstrumentWithPositivePrices) {
    EXPECT_TRUE(ChartAccepts(FinishedBar(1, 10, 11, 12, 9, 5), 5));
    EXPECT_FALSE(ChartAccepts(FinishedBar(1, 10, 11, 12, 9, 4), 5));
    EXPECT_FALSE(ChartAccepts(FinishedBar(1, 10, 11, 12, 0, 5), 5));
    EXPECT_FALSE(ChartAccepts(FinishedBar(1, 0, 11, 12, 9, 5), 5));
    EXPECT_FALSE(ChartAccepts(FinishedBar(1, 10, -1, 12, 9, 5), 5));
}

TEST(BarRecordTest, PriceTextUsesTheRecordsDecimals) {
    EXPECT_EQ(PriceFormat(2), "%.2f");
    EXPECT_EQ(PriceText(165050, 2), "1650.50");
    EXPECT_EQ(PriceText(1234567, 3), "1234.567");
    EXPECT_EQ(PriceText(-5, 1), "-0.5");
    EXPECT_EQ(PriceText(42, 0), "42");
    // A bad decimals field never builds a broken format.
    EXPECT_EQ(PriceFormat(-3), "%.0f");
    EXPECT_EQ(PriceFormat(40), "%.9f");
}

}  // namespace
}  // namespace zq
