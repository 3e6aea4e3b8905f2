#include "uDMQuotes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kMultiplier = 134775813u;

// The multiplicative inverse of the generator's (odd) multiplier mod 2^32.
std::uint32_t InverseMultiplier() {
  std::uint32_t x = kMultiplier;
  for (int i = 0; i < 5; ++i) x *= 2u - kMultiplier * x;
  return x;
}

// The seed whose next output is r.
std::uint32_t SeedBefore(std::uint32_t r) { return (r - 1u) * InverseMultiplier(); }

TEST(TRandomGenerator, StepsAsALinearCongruentialGenerator) {
  TRandomGenerator g;
  g.SetSeed(0);
  EXPECT_EQ(g.Next(), 1u);
  EXPECT_EQ(g.Next(), 134775814u);
  EXPECT_EQ(g.Seed(), 134775814u);
  g.SetSeed(0xFFFFFFFFu);
  EXPECT_EQ(g.Next(), 0xFFFFFFFFu * kMultiplier + 1u);  // wraps mod 2^32
  EXPECT_EQ(SeedBefore(12345u) * kMultiplier + 1u, 12345u);
}

TEST(TRandomGenerator, DrawsNeverReachTheUpperBound) {
  struct Case {
    std::int64_t lo, hi;
    std::uint32_t r;
    std::int64_t expected;
  };
  for (const Case& c : {Case{1, 20, 0u, 1}, Case{1, 20, 0xFFFFFFFFu, 19},
                        Case{-5000, 5000, 0u, -5000}, Case{-5000, 5000, 0xFFFFFFFFu, 4999},
                        Case{-5000, 5000, 0x80000000u, 0}, Case{8300, 8320, 0xFFFFFFFFu, 8319},
                        Case{8281, 8321, 0x40000000u, 8291}, Case{5, 5, 7u, 5}}) {
    TRandomGenerator g;
    g.SetSeed(SeedBefore(c.r));
    EXPECT_EQ(g.Draw(c.lo, c.hi), c.expected) << c.lo << ".." << c.hi << " r=" << c.r;
  }
}

TEST(TRandomGenerator, ReseedMixesBothHalvesOfTheCounterWithADraw) {
  TRandomGenerator g([] { return std::uint64_t{0x0000000100000002}; });
  g.SetSeed(1);
  g.Reseed();
  // The draw below 2147483647 from seed 1 is 67387906; 2 XOR 1 XOR it:
  EXPECT_EQ(g.Seed(), 67387905u);
}

// A quote table whose generator reseeds from a counter the test sets.
class QuotesTest : public ::testing::Test {
 protected:
  QuotesTest() {
    quotes.cdsQuotes.AfterPost = [this](TDataSet& d) { posted.push_back(d.FieldByName("ID").AsInteger()); };
  }

  struct Row {
    int id;
    std::string name, exchange;
    double open, high, low, last;
  };

  Row RowOf(int id) {
    EXPECT_TRUE(quotes.cdsQuotes.FindKey({id}));
    return Current();
  }
  Row Current() {
    return {quotes.cdsQuotesID->AsInteger(), quotes.cdsQuotesNAME->AsString(),
            quotes.cdsQuotesEXCHANGE->AsString(), quotes.cdsQuotesOPEN->AsFloat(),
            quotes.cdsQuotesHIGH->AsFloat(), quotes.cdsQuotesLOW->AsFloat(),
            quotes.cdsQuotesLAST->AsFloat()};
  }
  std::map<int, Row> Rows() {
    std::map<int, Row> rows;
    for (quotes.cdsQuotes.First(); !quotes.cdsQuotes.Eof(); quotes.cdsQuotes.Next()) rows[Current().id] = Current();
    return rows;
  }

  // Sets the counter so that the next tick's reseed leads it to draw aKey.
  void NextTickDraws(int aKey) {
    TRandomGenerator twin;
    twin.SetSeed(random.Seed());
    const auto mix = static_cast<std::uint32_t>(twin.Draw(0, 2147483647));
    // An output r with (19 * r) >> 32 == aKey - 1, in the middle of its span.
    const auto r = static_cast<std::uint32_t>(((2 * (aKey - 1) + 1) * (std::uint64_t{1} << 32)) / 38);
    counter = SeedBefore(r) ^ mix;
  }

  std::uint64_t counter = 0;
  TRandomGenerator random{[this] { return counter; }};
  TDMQuotes quotes{random};
  std::vector<int> posted;
};

TEST_F(QuotesTest, OpensEmptyWithIdAsTheOnlyKey) {
  EXPECT_TRUE(quotes.cdsQuotes.Active());
  EXPECT_EQ(quotes.cdsQuotes.RecordCount(), 0);
  EXPECT_EQ(quotes.cdsQuotes.Name, "cdsQuotes");
  EXPECT_EQ(quotes.cdsQuotes.IndexName(), "cdsQuotesIndex1");
  std::vector<std::string> names, kinds, keys;
  std::vector<int> sizes;
  for (const auto& field : quotes.cdsQuotes.Fields()) {
    names.push_back(field->FieldName());
    kinds.emplace_back(FieldTypeName(field->DataType()));
    sizes.push_back(field->DataSize());
    if (field->ProviderFlags.Contains(pfInKey)) keys.push_back(field->FieldName());
  }
  EXPECT_THAT(names, ::testing::ElementsAre("ID", "NAME", "EXCHANGE", "OPEN", "HIGH", "LOW", "LAST"));
  EXPECT_THAT(kinds, ::testing::ElementsAre("ftInteger", "ftString", "ftString", "ftFloat", "ftFloat",
                                            "ftFloat", "ftFloat"));
  EXPECT_THAT(sizes, ::testing::ElementsAre(4, 31, 31, 8, 8, 8, 8));
  EXPECT_THAT(keys, ::testing::ElementsAre("ID"));
}

TEST_F(QuotesTest, FillPostsTwentyRowsWithOneOffsetPerRow) {
  for (int fill = 0; fill < 50; ++fill) {
    counter = TRandomGenerator::HighResolutionCounter() + static_cast<std::uint64_t>(fill);
    posted.clear();
    quotes.FillQuotes();
    EXPECT_EQ(posted.size(), 20u);  // one post, so one row update, per row
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 20u);
    int expectedId = 1;
    for (const auto& [id, row] : rows) {
      SCOPED_TRACE(id);
      EXPECT_EQ(id, expectedId++);
      EXPECT_EQ(row.name, "Symbol " + std::to_string(id));
      EXPECT_EQ(row.exchange, "Nasdaq");
      // Some offset a in -5000..4999 explains all four prices at once.
      const double lo = std::max({row.open - 8319, row.high - 8399, row.low - 8299, row.last - 8279, -5000.0});
      const double hi = std::min({row.open - 8300, row.high - 8300, row.low - 8200, row.last - 8250, 4999.0});
      EXPECT_LE(lo, hi);
      for (double price : {row.open, row.high, row.low, row.last}) EXPECT_EQ(price, std::floor(price));
    }
  }
}

TEST_F(QuotesTest, FillTakesItsDrawsInRowOrder) {
  counter = 0x0123456789ABCDEFu;
  random.SetSeed(99);
  TRandomGenerator twin([this] { return counter; });
  twin.SetSeed(99);
  twin.Reseed();
  quotes.FillQuotes();
  for (int id = 1; id <= 20; ++id) {
    const std::int64_t a = twin.Draw(-5000, 5000);
    const double open = double(twin.Draw(8300, 8320) + a), high = double(twin.Draw(8300, 8400) + a);
    const double low = double(twin.Draw(8200, 8300) + a), last = double(twin.Draw(8250, 8280) + a);
    const Row row = RowOf(id);
    EXPECT_EQ(row.open, open) << id;
    EXPECT_EQ(row.high, high) << id;
    EXPECT_EQ(row.low, low) << id;
    EXPECT_EQ(row.last, last) << id;
  }
}

TEST_F(QuotesTest, FillReplacesWhatWasThere) {
  quotes.FillQuotes();
  ASSERT_TRUE(quotes.cdsQuotes.FindKey({3}));
  quotes.cdsQuotes.Delete();
  quotes.cdsQuotes.Append();
  quotes.cdsQuotesID->SetAsInteger(99);
  quotes.cdsQuotes.Post();
  quotes.FillQuotes();
  const auto rows = Rows();
  EXPECT_EQ(rows.size(), 20u);
  EXPECT_EQ(rows.count(3), 1u);
  EXPECT_EQ(rows.count(99), 0u);
}

TEST_F(QuotesTest, TicksMoveOneLastPriceAndKeepTheRowConsistent) {
  quotes.FillQuotes();
  const Row twenty = RowOf(20);
  auto before = Rows();
  for (int tick = 0; tick < 2000; ++tick) {
    counter = TRandomGenerator::HighResolutionCounter() * 7919u + static_cast<std::uint64_t>(tick);
    posted.clear();
    quotes.MoveQuote();
    ASSERT_EQ(posted.size(), 1u);
    const int id = posted[0];
    ASSERT_GE(id, 1);
    ASSERT_LE(id, 19);
    const Row was = before[id], now = RowOf(id);
    const double c = std::nearbyint(was.last);
    EXPECT_GE(now.last, c - 20);
    EXPECT_LE(now.last, c + 19);
    EXPECT_LE(now.low, now.last);
    EXPECT_LE(now.last, now.high);
    EXPECT_EQ(now.open, was.open);
    EXPECT_EQ(now.name, was.name);
    EXPECT_EQ(now.exchange, was.exchange);
    EXPECT_EQ(now.high, std::max(was.high, now.last));
    EXPECT_EQ(now.low, std::min(was.low, now.last));
    before[id] = now;
  }
  const Row after = RowOf(20);
  EXPECT_EQ(after.last, twenty.last);
  EXPECT_EQ(after.high, twenty.high);
  EXPECT_EQ(after.low, twenty.low);
}

TEST_F(QuotesTest, ATickOnADeletedRowChangesNothing) {
  quotes.FillQuotes();
  ASSERT_TRUE(quotes.cdsQuotes.FindKey({7}));
  quotes.cdsQuotes.Delete();
  const auto before = Rows();
  posted.clear();
  NextTickDraws(7);
  quotes.MoveQuote();
  EXPECT_TRUE(posted.empty());
  const auto after = Rows();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [id, row] : before) EXPECT_EQ(after.at(id).last, row.last) << id;
}

TEST_F(QuotesTest, ATickDrawsAroundTheLastPriceRoundedTiesToEven) {
  quotes.FillQuotes();
  ASSERT_TRUE(quotes.cdsQuotes.FindKey({4}));
  quotes.cdsQuotes.Edit();
  quotes.cdsQuotesLAST->SetAsFloat(8300.5);  // as a client may set it
  quotes.cdsQuotesHIGH->SetAsFloat(9000);
  quotes.cdsQuotesLOW->SetAsFloat(100);
  quotes.cdsQuotes.Post();

  NextTickDraws(4);
  TRandomGenerator twin([this] { return counter; });
  twin.SetSeed(random.Seed());
  twin.Reseed();
  ASSERT_EQ(twin.Draw(1, 20), 4);
  const auto expected = static_cast<double>(twin.Draw(8300 - 20, 8300 + 20));  // 8300, not 8301

  quotes.MoveQuote();
  EXPECT_EQ(RowOf(4).last, expected);
}

TEST_F(QuotesTest, ATickRepairsHighAndLowAroundTheNewLast) {
  quotes.FillQuotes();
  ASSERT_TRUE(quotes.cdsQuotes.FindKey({2}));
  quotes.cdsQuotes.Edit();
  quotes.cdsQuotesLAST->SetAsFloat(5000);
  quotes.cdsQuotesHIGH->Clear();  // a null high reads 0, below any last
  quotes.cdsQuotesLOW->SetAsFloat(9000);
  quotes.cdsQuotes.Post();
  NextTickDraws(2);
  quotes.MoveQuote();
  const Row row = RowOf(2);
  EXPECT_EQ(row.high, row.last);
  EXPECT_EQ(row.low, row.last);
}

}  // namespace
