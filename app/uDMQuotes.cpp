#include "uDMQuotes.h"

#include <chrono>
#include <string>

// ------------------------------------------------------------------ generator

TRandomGenerator::TRandomGenerator(TCounter aCounter) : FCounter(std::move(aCounter)) {}

std::uint64_t TRandomGenerator::HighResolutionCounter() {
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::uint32_t TRandomGenerator::Next() {
  FSeed = FSeed * 134775813u + 1u;
  return FSeed;
}

std::int64_t TRandomGenerator::Draw(std::int64_t aLo, std::int64_t aHi) {
  if (aHi <= aLo) return aLo;
  const auto range = static_cast<std::uint64_t>(aHi - aLo);
  return aLo + static_cast<std::int64_t>((range * Next()) >> 32);
}

void TRandomGenerator::Reseed() {
  const std::uint64_t counter = FCounter();
  const auto mix = static_cast<std::uint32_t>(Draw(0, 2147483647));
  FSeed = static_cast<std::uint32_t>(counter) ^ static_cast<std::uint32_t>(counter >> 32) ^ mix;
}

TRandomGenerator& ProcessRandom() {
  static TRandomGenerator generator;
  return generator;
}

// ------------------------------------------------------------------ quote table

namespace {

template <class TFieldClass>
TFieldClass* FieldOf(TDataSet& aDataSet, const char* aName) {
  return &dynamic_cast<TFieldClass&>(aDataSet.FieldByName(aName));
}

}  // namespace

TDMQuotes::TDMQuotes(TRandomGenerator& aRandom) : FRandom(aRandom) {
  cdsQuotes.FieldDefs = {
      {"ID", ftInteger, 0},   {"NAME", ftString, 30}, {"EXCHANGE", ftString, 30},
      {"OPEN", ftFloat, 0},   {"HIGH", ftFloat, 0},   {"LOW", ftFloat, 0},
      {"LAST", ftFloat, 0},
  };
  cdsQuotes.IndexDefs = {{"cdsQuotesIndex1", "ID"}};
  cdsQuotes.SetIndexName("cdsQuotesIndex1");
  cdsQuotes.AfterOpen = [this](TDataSet& aDataSet) { cdsQuotesAfterOpen(aDataSet); };
  cdsQuotes.Open();

  cdsQuotesID = FieldOf<TIntegerField>(cdsQuotes, "ID");
  cdsQuotesNAME = FieldOf<TStringField>(cdsQuotes, "NAME");
  cdsQuotesEXCHANGE = FieldOf<TStringField>(cdsQuotes, "EXCHANGE");
  cdsQuotesOPEN = FieldOf<TFloatField>(cdsQuotes, "OPEN");
  cdsQuotesHIGH = FieldOf<TFloatField>(cdsQuotes, "HIGH");
  cdsQuotesLOW = FieldOf<TFloatField>(cdsQuotes, "LOW");
  cdsQuotesLAST = FieldOf<TFloatField>(cdsQuotes, "LAST");
}

void TDMQuotes::cdsQuotesAfterOpen(TDataSet& aDataSet) {
  aDataSet.FieldByName("ID").ProviderFlags.Include(pfInKey);
}

void TDMQuotes::FillQuotes() {
  FRandom.Reseed();
  cdsQuotes.EmptyDataSet();
  for (int i = 1; i <= 20; ++i) {
    // One offset shared by the row's four prices; the draws keep this order.
    const std::int64_t a = FRandom.Draw(-5000, 5000);
    cdsQuotes.Append();
    cdsQuotesID->SetAsInteger(i);
    cdsQuotesNAME->SetAsString("Symbol " + std::to_string(i));
    cdsQuotesEXCHANGE->SetAsString("Nasdaq");
    cdsQuotesOPEN->SetAsFloat(static_cast<double>(FRandom.Draw(8300, 8320) + a));
    cdsQuotesHIGH->SetAsFloat(static_cast<double>(FRandom.Draw(8300, 8400) + a));
    cdsQuotesLOW->SetAsFloat(static_cast<double>(FRandom.Draw(8200, 8300) + a));
    cdsQuotesLAST->SetAsFloat(static_cast<double>(FRandom.Draw(8250, 8280) + a));
    cdsQuotes.Post();
  }
}

void TDMQuotes::MoveQuote() {
  FRandom.Reseed();
  const std::int64_t k = FRandom.Draw(1, 20);  // 1 to 19: the row with ID 20 never moves
  if (!cdsQuotes.FindKey({Variant(k)})) return;  // a client deleted that row
  cdsQuotes.Edit();
  const std::int64_t c = cdsQuotesLAST->AsInteger();
  cdsQuotesLAST->SetAsFloat(static_cast<double>(FRandom.Draw(c - 20, c + 20)));
  if (!(cdsQuotesLAST->AsFloat() <= cdsQuotesHIGH->AsFloat()))
    cdsQuotesHIGH->SetAsFloat(cdsQuotesLAST->AsFloat());
  if (!(cdsQuotesLAST->AsFloat() >= cdsQuotesLOW->AsFloat()))
    cdsQuotesLOW->SetAsFloat(cdsQuotesLAST->AsFloat());
  cdsQuotes.Post();
}
