#include "tvqJSON.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Doubles in the general format with 15 significant digits: fixed when the
// value is zero or at least 1E-5 with at most 15 digits before the point,
// otherwise mantissa "E" exponent; no trailing zeros, no trailing point.
std::string FormatDouble(double aValue) {
  if (aValue == 0) return "0";
  if (!std::isfinite(aValue)) return std::isnan(aValue) ? "NAN" : (aValue > 0 ? "INF" : "-INF");
  char scientific[40];
  std::snprintf(scientific, sizeof scientific, "%.14E", aValue);  // d.ddddddddddddddE±xx
  const std::string text = scientific;
  const bool negative = text[0] == '-';
  const std::size_t e = text.find('E');
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e; ++i)
    if (text[i] != '.') digits += text[i];
  const int exponent = std::atoi(text.c_str() + e + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = negative ? "-" : "";
  if (exponent >= -5 && exponent < 15) {
    if (exponent < 0) {
      out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
      const auto before = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= before) {
        out += digits + std::string(before - digits.size(), '0');
      } else {
        out += digits.substr(0, before) + "." + digits.substr(before);
      }
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  out += "E" + std::to_string(exponent);  // a sign only when negative, no leading zeros
  return out;
}

// The reader: one pass over the text, appending nodes as values complete.
class TReader {
 public:
  explicit TReader(std::string_view aText) : FText(aText) {}

  bool Object(TtvqJSON& aDocument) {
    SkipBlanks();
    if (!Take('{')) return false;
    while (true) {
      SkipBlanks();
      if (AtEnd()) return false;
      if (Take('}')) return true;
      if (Peek() != '"') return false;
      std::string name;
      if (!String(name)) return false;
      SkipBlanks();
      if (!Take(':')) return false;
      SkipBlanks();
      if (!Value(aDocument, name)) return false;
      SkipBlanks();
      Take(',');
    }
  }

  bool Array(TtvqJSON& aDocument) {
    SkipBlanks();
    if (!Take('[')) return false;
    while (true) {
      SkipBlanks();
      if (AtEnd()) return false;
      if (Take(']')) return true;
      if (!Value(aDocument, {})) return false;
      SkipBlanks();
      Take(',');
    }
  }

 private:
  bool AtEnd() const { return FAt >= FText.size(); }
  char Peek() const { return AtEnd() ? '\0' : FText[FAt]; }
  bool Take(char aChar) {
    if (Peek() != aChar || AtEnd()) return false;
    ++FAt;
    return true;
  }

  // Tab, line feed, form feed, carriage return, blank, and "#" comments to
  // the end of their line.
  void SkipBlanks() {
    while (!AtEnd()) {
      const char c = FText[FAt];
      if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') {
        ++FAt;
      } else if (c == '#') {
        while (!AtEnd() && FText[FAt] != '\n') ++FAt;
      } else {
        return;
      }
    }
  }

  // Consumes one character or one escape; false when the text ends first.
  bool Step() {
    if (AtEnd()) return false;
    if (FText[FAt] != '\\') {
      ++FAt;
      return true;
    }
    if (FAt + 1 >= FText.size()) return false;
    if (FText[FAt + 1] == 'u') {
      if (FAt + 6 > FText.size()) return false;
      FAt += 6;
      return true;
    }
    FAt += 2;
    return true;
  }

  // A quoted string, kept exactly as it stands between its quotes.
  bool String(std::string& aOut) {
    if (!Take('"')) return false;
    const std::size_t start = FAt;
    while (true) {
      if (AtEnd()) return false;
      if (FText[FAt] != '"') {
        if (!Step()) return false;
        continue;
      }
      // A quote right after a backslash (itself escaped) closes the string
      // only before "}", "]" or ","; otherwise it and one more character
      // belong to the string.
      if (FAt > start && FText[FAt - 1] == '\\') {
        const char next = FAt + 1 < FText.size() ? FText[FAt + 1] : '\0';
        if (next != '}' && next != ']' && next != ',') {
          ++FAt;
          if (!Step()) return false;
          continue;
        }
      }
      aOut.assign(FText.substr(start, FAt - start));
      ++FAt;
      return true;
    }
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  bool Number(std::string& aOut) {
    const std::size_t start = FAt;
    if (Peek() == '+' || Peek() == '-') ++FAt;
    if (!IsDigit(Peek())) return false;
    while (IsDigit(Peek())) ++FAt;
    if (Peek() == '.') {
      ++FAt;
      if (!IsDigit(Peek())) return false;
      while (IsDigit(Peek())) ++FAt;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++FAt;
      if (Peek() == '+' || Peek() == '-') ++FAt;
      if (!IsDigit(Peek())) return false;
      while (IsDigit(Peek())) ++FAt;
    }
    aOut.assign(FText.substr(start, FAt - start));
    return true;
  }

  bool Word(std::string_view aWord) {
    if (FText.size() - FAt < aWord.size()) return false;
    for (std::size_t i = 0; i < aWord.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(FText[FAt + i])) != aWord[i]) return false;
    FAt += aWord.size();
    return true;
  }

  bool Value(TtvqJSON& aDocument, const std::string& aName) {
    auto node = std::make_shared<TtvqObjectJSON>();
    node->Name = aName;
    const char c = Peek();
    std::string text;
    if (c == '"') {
      if (!String(text)) return false;
      node->JSONType = tvqJSONString;
    } else if (c == '+' || c == '-' || IsDigit(c)) {
      if (!Number(text)) return false;
      node->JSONType = tvqJSONNumber;
    } else if (c == 't' || c == 'T') {
      if (!Word("true")) return false;
      node->JSONType = tvqJSONBoolean, text = "true";
    } else if (c == 'f' || c == 'F') {
      if (!Word("false")) return false;
      node->JSONType = tvqJSONBoolean, text = "false";
    } else if (c == 'n' || c == 'N') {
      if (!Word("null")) return false;
      node->JSONType = tvqJSONNull, text = "null";
    } else if (c == '{' || c == '[') {
      // Nesting is bounded, so that a text of brackets cannot exhaust the
      // stack of the reader (or of the writer and the destructor later).
      if (FDepth >= tvqJSONMaxDepth) return false;
      ++FDepth;
      node->JSONType = c == '{' ? tvqJSONObject : tvqJSONList;
      const bool complete = c == '{' ? Object(*node->JSONObject()) : Array(*node->JSONObject());
      --FDepth;
      if (!complete) return false;
      aDocument.Append(node);
      return true;
    } else {
      return false;
    }
    node->SetValue(std::move(text));
    aDocument.Append(node);
    return true;
  }

  std::string_view FText;
  std::size_t FAt = 0;
  int FDepth = 0;
};

void AppendUnit(std::string& aOut, unsigned aUnit) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "\\u%04X", aUnit & 0xFFFFu);
  aOut += hex;
}

}  // namespace

std::string tvqJSONValueText(const TtvqJSONValue& aValue) {
  struct Text {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(std::int32_t v) const { return std::to_string(v); }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return FormatDouble(v); }
    std::string operator()(bool v) const { return v ? "true" : "false"; }
  };
  return std::visit(Text{}, aValue);
}

std::string tvqJSONEscape(std::string_view aText) {
  std::string out;
  for (std::size_t i = 0; i < aText.size();) {
    const auto b = static_cast<unsigned char>(aText[i]);
    if (b < 0x80) {
      ++i;
      switch (b) {
        case 8: out += "\\b"; break;
        case 9: out += "\\t"; break;
        case 10: out += "\\n"; break;
        case 12: out += "\\f"; break;
        case 13: out += "\\r"; break;
        case '"': case '/': case '\\': out += '\\'; out += static_cast<char>(b); break;
        default:
          if (b < 32) AppendUnit(out, b);
          else out += static_cast<char>(b);
      }
      continue;
    }
    // A UTF-8 sequence: its code point as UTF-16 code units. A byte that
    // starts no valid sequence stands for itself.
    unsigned point = b;
    std::size_t length = 1;
    if (b >= 0xC0 && b < 0xE0) point = b & 0x1F, length = 2;
    else if (b >= 0xE0 && b < 0xF0) point = b & 0x0F, length = 3;
    else if (b >= 0xF0 && b < 0xF8) point = b & 0x07, length = 4;
    bool valid = length > 1 && i + length <= aText.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto c = static_cast<unsigned char>(aText[i + k]);
      if ((c & 0xC0) != 0x80) valid = false;
      point = (point << 6) | (c & 0x3F);
    }
    if (!valid) {
      AppendUnit(out, b);
      ++i;
      continue;
    }
    i += length;
    if (point >= 0x10000) {
      point -= 0x10000;
      AppendUnit(out, 0xD800 + (point >> 10));
      AppendUnit(out, 0xDC00 + (point & 0x3FF));
    } else {
      AppendUnit(out, point);
    }
  }
  return out;
}

// ---------------------------------------------------------------- TtvqObjectJSON

ItvqJSON TtvqObjectJSON::JSONObject() {
  if (!FChild) {
    FChild = std::make_shared<TtvqJSON>();
    if (JSONType != tvqJSONList) JSONType = tvqJSONObject;
  }
  return FChild;
}

void TtvqObjectJSON::SetJSONObject(ItvqJSON aDocument) { FChild = std::move(aDocument); }

ItvqObjectJSON TtvqObjectJSON::GetNode(std::string_view aName) { return JSONObject()->GetNode(aName); }
void TtvqObjectJSON::SetNode(std::string_view aName, ItvqObjectJSON aNode) { JSONObject()->SetNode(aName, std::move(aNode)); }
ItvqObjectJSON TtvqObjectJSON::GetItem(int aIndex) { return JSONObject()->GetItem(aIndex); }
void TtvqObjectJSON::SetItem(int aIndex, ItvqObjectJSON aNode) { JSONObject()->SetItem(aIndex, std::move(aNode)); }
int TtvqObjectJSON::GetCount() const { return FChild ? FChild->GetCount() : 0; }

TtvqJSONValue TtvqObjectJSON::GetValue() {
  if (JSONType == tvqJSONObject) return JSONObject()->GetText();
  if (JSONType == tvqJSONList) {
    JSONObject()->IsArray = true;
    return FChild->GetText();
  }
  return FValue;
}

std::string TtvqObjectJSON::Text(bool aNamed) {
  const std::string name = aNamed ? "\"" + Name + "\":" : std::string();
  switch (JSONType) {
    case tvqJSONString: {
      std::string value = ValueText();
      if (Quoted && (value.empty() || value.front() != '"')) value = "\"" + value + "\"";
      return name + value;
    }
    case tvqJSONNumber: {
      std::string value = ValueText();
      for (char& c : value)
        if (c == ',') c = '.';
      return name + value;
    }
    case tvqJSONBoolean:
    case tvqJSONNull:
      return name + ValueText();
    case tvqJSONObject:
      return name + JSONObject()->GetText();
    case tvqJSONList: {
      std::string text = aNamed && !Name.empty() ? name : std::string();
      text += '[';
      const ItvqJSON child = JSONObject();
      for (int i = 0; i < child->GetCount(); ++i) {
        if (i > 0 && text.back() != ',') text += ',';
        text += child->GetItem(i)->Text(false);
      }
      return text + ']';
    }
    case tvqJSONUndefined:
      break;
  }
  return {};
}

// ---------------------------------------------------------------- TtvqJSON

ItvqObjectJSON TtvqJSON::GetNode(std::string_view aName) const {
  for (const ItvqObjectJSON& node : FNodes)
    if (node->Name == aName) return node;
  return nullptr;
}

void TtvqJSON::SetNode(std::string_view aName, ItvqObjectJSON aNode) {
  for (ItvqObjectJSON& node : FNodes)
    if (node->Name == aName) {
      node = std::move(aNode);
      return;
    }
}

ItvqObjectJSON TtvqJSON::GetItem(int aIndex) const {
  return aIndex >= 0 && aIndex < GetCount() ? FNodes[static_cast<std::size_t>(aIndex)] : nullptr;
}

void TtvqJSON::SetItem(int aIndex, ItvqObjectJSON aNode) {
  if (aIndex >= 0 && aIndex < GetCount()) FNodes[static_cast<std::size_t>(aIndex)] = std::move(aNode);
}

ItvqObjectJSON TtvqJSON::Add(std::string_view aName, TtvqJSONtype aType, TtvqJSONValue aValue) {
  if (ItvqObjectJSON existing = GetNode(aName)) {
    existing->SetValue(std::move(aValue));
    return existing;
  }
  auto node = std::make_shared<TtvqObjectJSON>();
  node->Name = EscapeStrings ? tvqJSONEscape(aName) : std::string(aName);
  node->JSONType = aType;
  node->SetValue(std::move(aValue));
  FNodes.push_back(node);
  return node;
}

ItvqObjectJSON TtvqJSON::AddPair(std::string_view aName, std::string_view aText) {
  if (ItvqObjectJSON existing = GetNode(aName)) {
    existing->SetValue(EscapeStrings ? tvqJSONEscape(aText) : std::string(aText));
    return existing;
  }
  const std::string text = EscapeStrings ? tvqJSONEscape(aText) : std::string(aText);
  ItvqObjectJSON node = Add(aName, tvqJSONString, text);
  // Text that is JSON already goes out raw.
  if (!text.empty() && (text.front() == '{' || text.front() == '[')) node->Quoted = false;
  return node;
}

ItvqObjectJSON TtvqJSON::AddPair(std::string_view aName, std::int32_t aValue) { return Add(aName, tvqJSONNumber, aValue); }
ItvqObjectJSON TtvqJSON::AddPair(std::string_view aName, std::int64_t aValue) { return Add(aName, tvqJSONNumber, aValue); }
ItvqObjectJSON TtvqJSON::AddPair(std::string_view aName, double aValue) { return Add(aName, tvqJSONNumber, aValue); }
ItvqObjectJSON TtvqJSON::AddPair(std::string_view aName, bool aValue) {
  return Add(aName, tvqJSONBoolean, std::string(aValue ? "true" : "false"));
}

// A node of an existing name only takes the text as its value; a new one
// reads it into its child document.
ItvqObjectJSON TtvqJSON::AddDocument(std::string_view aName, std::string_view aJSON, TtvqJSONtype aType) {
  if (ItvqObjectJSON existing = GetNode(aName)) {
    existing->SetValue(std::string(aJSON));
    return existing;
  }
  ItvqObjectJSON node = Add(aName, aType, {});
  node->JSONObject()->Read(aJSON);
  return node;
}

ItvqObjectJSON TtvqJSON::AddObject(std::string_view aName, std::string_view aJSON) {
  return AddDocument(aName, aJSON, tvqJSONObject);
}

ItvqObjectJSON TtvqJSON::AddArray(std::string_view aName, std::string_view aJSON) {
  return AddDocument(aName, aJSON, tvqJSONList);
}

void TtvqJSON::Read(std::string_view aText) {
  Clear();
  IsArray = false;
  TReader reader(aText);
  if (!aText.empty() && aText.front() == '[') {
    IsArray = true;
    reader.Array(*this);
  } else {
    reader.Object(*this);
  }
}

std::string TtvqJSON::GetText() const {
  if (FNodes.empty()) return IsArray ? "[]" : "{}";
  std::string text(1, IsArray ? '[' : '{');
  for (std::size_t i = 0; i < FNodes.size(); ++i) {
    if (i > 0 && text.back() != ',') text += ',';
    text += FNodes[i]->Text(!IsArray);
  }
  text += IsArray ? ']' : '}';
  return text;
}

ItvqJSON CreateJSONDocument() { return std::make_shared<TtvqJSON>(); }

namespace {

bool HasControl(std::string_view aText) {
  for (const char c : aText)
    if (static_cast<unsigned char>(c) < 0x20) return true;
  return false;
}

}  // namespace

// The reader bounds the nesting, so the walk's depth is bounded too.
bool tvqJSONHasRawControl(const TtvqJSON& aDocument) {
  for (int i = 0; i < aDocument.GetCount(); ++i) {
    const ItvqObjectJSON node = aDocument.GetItem(i);
    if (HasControl(node->Name)) return true;
    if (const auto* text = std::get_if<std::string>(&node->Value()); text && node->JSONType == tvqJSONString &&
                                                                      HasControl(*text))
      return true;
    if (node->HasJSONObject() && tvqJSONHasRawControl(*node->JSONObject())) return true;
  }
  return false;
}
