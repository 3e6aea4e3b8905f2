// Fuzz target of the dataset record reader: any text, read as a client's
// message by the envelope bound to the quote table, is applied or refused
// with an error, never a crash, and the table stays usable.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tvqWebSocket_Protocol_Dataset_Message.h"
#include "uDMQuotes.h"

namespace {

std::uint64_t FixedCounter() { return 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  static TRandomGenerator random{FixedCounter};
  static TDMQuotes quotes{random};
  static TtvqWSMessageDataset message;
  static const bool ready = [] {
    quotes.FillQuotes();
    message.SetDataSet(&quotes.cdsQuotes);
    return true;
  }();
  (void)ready;
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  try {
    message.Read(nullptr, text);
  } catch (...) {
    // refused: an answer, not a fault
  }
  // The table is in browse state and can be written again.
  if (quotes.cdsQuotes.State() != dsBrowse) __builtin_trap();
  message.DoEnterWrite(true);
  message.method = "tvq@dataset";
  message.Channel = "tvq@dataset@update";
  (void)message.Write();
  if (quotes.cdsQuotes.RecordCount() > 10000) quotes.FillQuotes();  // keep each run small
  return 0;
}
