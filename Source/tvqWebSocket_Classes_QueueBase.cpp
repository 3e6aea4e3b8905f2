#include "tvqWebSocket_Classes_QueueBase.h"

#include <algorithm>

std::string TtvqDelimitedText(const std::vector<std::string>& aNames) {
  std::string text;
  for (std::size_t i = 0; i < aNames.size(); ++i) {
    if (i > 0) text.push_back(',');
    const std::string& name = aNames[i];
    const bool quote = name.find_first_of(",\"") != std::string::npos ||
                       std::any_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) <= ' '; });
    if (!quote) {
      text += name;
      continue;
    }
    text.push_back('"');
    for (char c : name) {
      if (c == '"') text.push_back('"');
      text.push_back(c);
    }
    text.push_back('"');
  }
  return text;
}
