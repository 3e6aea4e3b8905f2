// Fuzz target of the JSON reader: any bytes are read without a crash, and
// writing what was read (and reading and writing that again) terminates.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tvqJSON.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string_view text(reinterpret_cast<const char*>(aData), aSize);
  TtvqJSON document;
  document.Read(text);
  const std::string written = document.GetText();
  for (int i = 0; i < document.GetCount(); ++i) (void)document.GetItem(i)->GetValue();
  TtvqJSON again;
  again.Read(written);
  (void)again.GetText();
  return 0;
}
