// Public: the quote table (20 made-up stock quotes) and the ticker that
// keeps it moving. Everything here runs on the thread that owns the table.
#pragma once

#include <cstdint>
#include <functional>

#include "RecordTable.h"

// A linear congruential generator: seed <- seed * 134775813 + 1 (mod 2^32),
// each output the new seed. Not locked: one thread draws from it.
class TRandomGenerator {
 public:
  using TCounter = std::function<std::uint64_t()>;

  // aCounter gives the 64-bit value that Reseed mixes in; by default the
  // high-resolution clock.
  explicit TRandomGenerator(TCounter aCounter = HighResolutionCounter);

  std::uint32_t Seed() const { return FSeed; }
  void SetSeed(std::uint32_t aSeed) { FSeed = aSeed; }

  std::uint32_t Next();
  // A uniform integer n with lo <= n < hi: lo + ((hi - lo) * r) div 2^32.
  // The upper bound is never produced; hi <= lo gives lo.
  std::int64_t Draw(std::int64_t aLo, std::int64_t aHi);
  // Seed <- low half of the counter XOR its high half XOR a draw below
  // 2147483647 from the old seed.
  void Reseed();

  static std::uint64_t HighResolutionCounter();

 private:
  TCounter FCounter;
  std::uint32_t FSeed = 0;
};

// The program's generator, shared by everything on the main thread.
TRandomGenerator& ProcessRandom();

// The data module: the quote table and the operations on it.
class TDMQuotes {
 public:
  // The table opens at once, empty, with its key flag set.
  explicit TDMQuotes(TRandomGenerator& aRandom = ProcessRandom());
  TDMQuotes(const TDMQuotes&) = delete;
  TDMQuotes& operator=(const TDMQuotes&) = delete;

  TClientDataSet cdsQuotes{"cdsQuotes"};
  TIntegerField* cdsQuotesID = nullptr;
  TStringField* cdsQuotesNAME = nullptr;
  TStringField* cdsQuotesEXCHANGE = nullptr;
  TFloatField* cdsQuotesOPEN = nullptr;
  TFloatField* cdsQuotesHIGH = nullptr;
  TFloatField* cdsQuotesLOW = nullptr;
  TFloatField* cdsQuotesLAST = nullptr;

  // Marks ID as the record key.
  void cdsQuotesAfterOpen(TDataSet& aDataSet);

  // Empties the table and fills it with 20 new rows, posting each.
  void FillQuotes();
  // Moves the last price of one row (never the row with ID 20) and posts it.
  void MoveQuote();

 private:
  TRandomGenerator& FRandom;
};
