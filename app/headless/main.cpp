// Console front end: fills the quote table, then moves one quote every
// 250 ms and prints each posted row, until interrupted.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "uDMQuotes.h"

namespace {

std::atomic<bool> gStop{false};

void PrintRow(TDMQuotes& aQuotes) {
  std::printf("%3d  %-10s %-8s %8.2f %8.2f %8.2f %8.2f\n", aQuotes.cdsQuotesID->AsInteger(),
              aQuotes.cdsQuotesNAME->AsString().c_str(), aQuotes.cdsQuotesEXCHANGE->AsString().c_str(),
              aQuotes.cdsQuotesOPEN->AsFloat(), aQuotes.cdsQuotesHIGH->AsFloat(),
              aQuotes.cdsQuotesLOW->AsFloat(), aQuotes.cdsQuotesLAST->AsFloat());
  std::fflush(stdout);
}

}  // namespace

int main() {
  std::signal(SIGINT, [](int) { gStop = true; });
  std::signal(SIGTERM, [](int) { gStop = true; });

  TDMQuotes quotes;
  quotes.cdsQuotes.AfterPost = [&quotes](TDataSet&) { PrintRow(quotes); };
  std::printf(" ID  NAME       EXCHANGE     OPEN     HIGH      LOW     LAST\n");
  quotes.FillQuotes();

  auto next = std::chrono::steady_clock::now();
  while (!gStop) {
    next += std::chrono::milliseconds(250);
    std::this_thread::sleep_until(next);
    quotes.MoveQuote();
  }
  return 0;
}
