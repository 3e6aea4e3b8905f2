#include "tvqWebSocket_Protocol_Dataset_Message.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "tvqWebSocket_Classes.h"

using namespace tvqDatasetMethod;

std::string tvqUpdateModeName(TwsDatasetUpdateMode aMode) {
  switch (aMode) {
    case upWhereAll: return "upWhereAll";
    case upWhereChanged: return "upWhereChanged";
    case upRefreshAll: return "upRefreshAll";
  }
  return {};
}

// ---------------------------------------------------------------- numbers

// Rounded half away from zero at the second decimal, written without regard
// to the process's locale.
std::string tvqFormatPrice(double aValue, char aDecimalSeparator) {
  const double rounded = std::isfinite(aValue) && std::fabs(aValue) < 1e15 ? std::round(aValue * 100) / 100 : aValue;
  char text[400];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, rounded, std::chars_format::fixed, 2);
  std::string out(text, ec == std::errc() ? end : text);
  // A value that rounds to zero carries no sign.
  if (out.front() == '-' && out.find_first_not_of("-0.") == std::string::npos) out.erase(0, 1);
  if (const std::size_t point = out.find('.'); point != std::string::npos) out[point] = aDecimalSeparator;
  return out;
}

namespace {

[[noreturn]] void NotAFloat(const std::string& aText) {
  throw EConvertError("'" + aText + "' is not a valid floating point value");
}

}  // namespace

double tvqReadPrice(const std::string& aText, const TtvqWSDatasetFormatSettings& aSettings) {
  std::string text(tvqTrimBlanks(aText));
  const char separator = aSettings.DecimalSeparator;
  if (separator != '.' && text.find(separator) != std::string::npos) {
    // The settings' separator: a point as well would be a thousand
    // separator, which a price never carries.
    if (text.find('.') != std::string::npos) NotAFloat(aText);
    std::replace(text.begin(), text.end(), separator, '.');
  }
  double value = 0;
  if (!TryStrToFloat(text, value)) NotAFloat(aText);
  return value;
}

// ---------------------------------------------------------------- dates

namespace {

constexpr double kMsPerDay = 86400000.0;

struct TParts {
  int Year = 1899, Month = 12, Day = 30, Hour = 0, Minute = 0, Second = 0, Milli = 0;
};

TParts Decode(TDateTime aValue) {
  using namespace std::chrono;
  if (!(aValue.Value >= -693593.0 && aValue.Value < 2958466.0))
    throw EConvertError("Invalid date-time value");
  // The whole days count from the epoch; the time of day is the fraction's
  // size also before it (-1.25 is 29 December 1899, 06:00).
  const double days = std::trunc(aValue.Value);
  long ms = std::lround(std::fabs(aValue.Value - days) * kMsPerDay);
  if (ms >= 86400000L) ms = 86399999L;
  const year_month_day date{sys_days{1899y / December / 30} + std::chrono::days{static_cast<long>(days)}};
  return {int(date.year()), int(unsigned(date.month())), int(unsigned(date.day())), int(ms / 3600000),
          int(ms / 60000 % 60), int(ms / 1000 % 60), int(ms % 1000)};
}

// The letter run of a format at aAt: its letter and length.
std::size_t RunLength(const std::string& aFormat, std::size_t aAt) {
  std::size_t n = 1;
  while (aAt + n < aFormat.size() && std::tolower(static_cast<unsigned char>(aFormat[aAt + n])) ==
                                         std::tolower(static_cast<unsigned char>(aFormat[aAt])))
    ++n;
  return n;
}

}  // namespace

std::string tvqFormatDateTime(TDateTime aValue, const TtvqWSDatasetFormatSettings& aSettings) {
  const TParts p = Decode(aValue);
  const std::string& format = aSettings.ShortDateFormat;
  std::string out;
  const auto number = [&](int aValue, std::size_t aWidth) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", static_cast<int>(aWidth), aValue);
    out += text;
  };
  for (std::size_t i = 0; i < format.size();) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    const std::size_t n = RunLength(format, i);
    switch (c) {
      case 'd': number(p.Day, std::min<std::size_t>(n, 2)); break;
      case 'm': number(p.Month, std::min<std::size_t>(n, 2)); break;
      case 'y': n <= 2 ? number(p.Year % 100, 2) : number(p.Year, 4); break;
      case 'h': number(p.Hour, std::min<std::size_t>(n, 2)); break;
      case 'n': number(p.Minute, std::min<std::size_t>(n, 2)); break;
      case 's': number(p.Second, std::min<std::size_t>(n, 2)); break;
      case 'z': number(p.Milli, n >= 3 ? 3 : 1); break;
      case '/': out += std::string(n, aSettings.DateSeparator); break;
      case ':': out += std::string(n, aSettings.TimeSeparator); break;
      default: out += format.substr(i, n);
    }
    i += n;
  }
  if (p.Hour != 0 || p.Minute != 0 || p.Second != 0 || p.Milli != 0) out += ' ';
  return out;
}

TDateTime tvqReadDateTime(const std::string& aText, const TtvqWSDatasetFormatSettings& aSettings) {
  const auto fail = [&]() -> TDateTime { throw EConvertError("'" + aText + "' is not a valid date and time"); };
  // The numbers of the text in order, matched to the format's units in order.
  std::vector<int> numbers;
  const std::string_view text = tvqTrimBlanks(aText);
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] >= '0' && text[i] <= '9') {
      int value = 0;
      const auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
      if (ec != std::errc()) return fail();
      i = static_cast<std::size_t>(end - text.data());
      numbers.push_back(value);
      continue;
    }
    const char c = text[i];
    if (c != aSettings.DateSeparator && c != aSettings.TimeSeparator && c != ' ') return fail();
    ++i;
  }
  TParts p;
  std::size_t next = 0, dateUnits = 0;
  const std::string& format = aSettings.ShortDateFormat;
  for (std::size_t i = 0; i < format.size() && next < numbers.size();) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    const std::size_t n = RunLength(format, i);
    int* unit = c == 'd' ? &p.Day : c == 'm' ? &p.Month : c == 'y' ? &p.Year : c == 'h' ? &p.Hour
              : c == 'n' ? &p.Minute : c == 's' ? &p.Second : c == 'z' ? &p.Milli : nullptr;
    if (unit) {
      *unit = numbers[next++];
      if (c == 'd' || c == 'm' || c == 'y') ++dateUnits;
      if (c == 'y' && n <= 2) *unit += 2000;
    }
    i += n;
  }
  if (dateUnits < 3 || next != numbers.size()) return fail();
  using namespace std::chrono;
  const year_month_day date{year{p.Year}, month{unsigned(p.Month)}, day{unsigned(p.Day)}};
  if (!date.ok() || p.Year < 1 || p.Year > 9999 || p.Hour > 23 || p.Minute > 59 || p.Second > 59 || p.Milli > 999)
    return fail();
  const double days = static_cast<double>((sys_days{date} - sys_days{1899y / December / 30}).count());
  const double time = ((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.Milli;
  return TDateTime{days + (days < 0 ? -time : time) / kMsPerDay};
}

// ---------------------------------------------------------------- base64 and texts

std::string tvqBase64Decode(std::string_view aText) {
  const auto invalid = [&] { return EConvertError("'" + std::string(aText) + "' is not valid base64"); };
  if (aText.size() % 4 != 0) throw invalid();
  std::size_t padding = 0;
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char c = aText[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (c == '=' && i + 2 >= aText.size()) {
      ++padding;
      continue;
    }
    if (!letter || padding > 0) throw invalid();
  }
  std::string bytes(3 * (aText.size() / 4), '\0');
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(aText.data()),
                                      static_cast<int>(aText.size()));
  if (written < 0) throw invalid();
  bytes.resize(static_cast<std::size_t>(written) - padding);
  return bytes;
}

std::string tvqEscapeBraces(std::string aText) {
  std::string out;
  for (char c : aText) {
    if (c == '{' || c == '}' || c == '[' || c == ']') out += '\\';
    out += c;
  }
  return out;
}

std::string tvqUnescapeBraces(std::string aText) {
  for (const char* pair : {"\\{", "\\}", "\\[", "\\]"}) {
    for (std::size_t at = 0; (at = aText.find(pair, at)) != std::string::npos; ++at) aText.erase(at, 1);
  }
  return aText;
}

namespace {

void AppendUtf8(std::string& aOut, std::uint32_t aPoint) {
  if (aPoint < 0x80) {
    aOut += static_cast<char>(aPoint);
  } else if (aPoint < 0x800) {
    aOut += static_cast<char>(0xC0 | (aPoint >> 6));
    aOut += static_cast<char>(0x80 | (aPoint & 0x3F));
  } else if (aPoint < 0x10000) {
    aOut += static_cast<char>(0xE0 | (aPoint >> 12));
    aOut += static_cast<char>(0x80 | ((aPoint >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aPoint & 0x3F));
  } else {
    aOut += static_cast<char>(0xF0 | (aPoint >> 18));
    aOut += static_cast<char>(0x80 | ((aPoint >> 12) & 0x3F));
    aOut += static_cast<char>(0x80 | ((aPoint >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aPoint & 0x3F));
  }
}

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Four hexadecimal digits at aAt; false when they are not there.
bool Hex4(std::string_view aText, std::size_t aAt, std::uint32_t& aOut) {
  if (aAt + 4 > aText.size()) return false;
  aOut = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const char c = aText[aAt + k];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    aOut = aOut * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

}  // namespace

std::string tvqJSONStringContent(std::string_view aText) {
  std::string out;
  out.reserve(aText.size());
  for (std::size_t i = 0; i < aText.size();) {
    const auto b = static_cast<unsigned char>(aText[i]);
    if (b >= 0x80) {
      const std::size_t length =
          tvqUTF8SequenceLength(reinterpret_cast<const std::uint8_t*>(aText.data()) + i, aText.size() - i);
      if (length == 0) {
        out += kReplacement;
        ++i;
      } else {
        out.append(aText.substr(i, length));
        i += length;
      }
      continue;
    }
    ++i;
    switch (b) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", b);
          out += escape;
        } else {
          out += static_cast<char>(b);
        }
    }
  }
  return out;
}

std::string tvqJSONDecodeString(std::string_view aContent) {
  std::string out;
  out.reserve(aContent.size());
  for (std::size_t i = 0; i < aContent.size();) {
    const char c = aContent[i];
    if (c != '\\' || i + 1 >= aContent.size()) {
      out += c;
      ++i;
      continue;
    }
    const char e = aContent[i + 1];
    switch (e) {
      case '"': case '\\': case '/': out += e; i += 2; continue;
      case 'b': out += '\b'; i += 2; continue;
      case 'f': out += '\f'; i += 2; continue;
      case 'n': out += '\n'; i += 2; continue;
      case 'r': out += '\r'; i += 2; continue;
      case 't': out += '\t'; i += 2; continue;
      case 'u': {
        std::uint32_t unit = 0;
        if (!Hex4(aContent, i + 2, unit)) break;
        i += 6;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          std::uint32_t low = 0;
          if (i + 1 < aContent.size() && aContent[i] == '\\' && aContent[i + 1] == 'u' && Hex4(aContent, i + 2, low) &&
              low >= 0xDC00 && low <= 0xDFFF) {
            i += 6;
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            continue;
          }
          out += kReplacement;
          continue;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
          out += kReplacement;
          continue;
        }
        AppendUtf8(out, unit);
        continue;
      }
      default: break;
    }
    out += c;  // not a JSON escape: the backslash stays, the next character follows
    ++i;
  }
  return out;
}

// ---------------------------------------------------------------- the envelope

namespace {

bool IsIntegerKind(TFieldType aType) {
  return aType == ftSmallint || aType == ftInteger || aType == ftWord || aType == ftAutoInc || aType == ftLargeint;
}
bool IsFloatKind(TFieldType aType) { return aType == ftFloat || aType == ftCurrency; }
bool IsDateKind(TFieldType aType) { return aType == ftDate || aType == ftDateTime || aType == ftTimeStamp; }
bool IsTextKind(TFieldType aType) {
  return aType == ftString || aType == ftMemo || aType == ftWideString || aType == ftWideMemo;
}

std::string BlobBase64(const TField& aField) {
  TBlobBytes bytes;
  aField.SaveToStream(bytes);
  return tvqBase64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// A string member whose content is already escaped: always in quotes.
void AddString(TtvqJSON& aDocument, const std::string& aName, const std::string& aContent) {
  aDocument.AddPair(aName, aContent)->Quoted = true;
}

// A received value as text: strings decoded, anything else as read.
std::string ReceivedText(const ItvqObjectJSON& aNode) {
  const std::string raw = tvqJSONValueText(aNode->GetValue());
  return aNode->JSONType == tvqJSONString ? tvqJSONDecodeString(raw) : raw;
}

// A received value as a variant of its JSON kind.
Variant ReceivedVariant(const ItvqObjectJSON& aNode) {
  switch (aNode->JSONType) {
    case tvqJSONNull: return {};
    case tvqJSONBoolean: return Variant(aNode->ValueText() == "true");
    case tvqJSONNumber: {
      const std::string text = aNode->ValueText();
      std::int64_t whole = 0;
      double value = 0;
      if (TryStrToInt64(text, whole)) return Variant(whole);
      if (TryStrToFloat(text, value)) return Variant(value);
      return Variant(text);
    }
    default: return Variant(ReceivedText(aNode));
  }
}

}  // namespace

TtvqWSMessageDataset::TtvqWSMessageDataset() { EncodeBase64 = false; }

TtvqWSMessageDataset::~TtvqWSMessageDataset() { Unhook(); }

void TtvqWSMessageDataset::SetDataSet(TDataSet* aDataSet) {
  if (aDataSet == FDataSet) return;
  Unhook();
  FDataSet = aDataSet;
  FKeyFieldsBuilt = false;
  FKeyFields.clear();
  FChangedFields.clear();
  FSnapshot.clear();
  if (FDataSet && UpdateMode == upWhereChanged) Hook();
}

const std::vector<TField*>& TtvqWSMessageDataset::KeyFields() {
  if (!FKeyFieldsBuilt && FDataSet) {
    FKeyFields.clear();
    for (const auto& field : FDataSet->Fields())
      if (field->ProviderFlags.Contains(pfInKey)) FKeyFields.push_back(field.get());
    FKeyFieldsBuilt = FDataSet->Active();  // the fields exist only while it is open
  }
  return FKeyFields;
}

// ---- watching changes (upWhereChanged)

void TtvqWSMessageDataset::Hook() {
  TDataSet& table = *FDataSet;
  FKeptBeforeInsert = table.BeforeInsert;
  FKeptBeforeEdit = table.BeforeEdit;
  FKeptAfterPost = table.AfterPost;
  const auto begin = [this](bool aBlobAsBase64) {
    FChangedFields.clear();
    for (TField* key : KeyFields()) AddChanged(key->FieldName());
    TakeSnapshot(aBlobAsBase64);
  };
  table.BeforeInsert = [this, begin](TDataSet& aTable) {
    if (FKeptBeforeInsert) FKeptBeforeInsert(aTable);
    begin(false);
  };
  table.BeforeEdit = [this, begin](TDataSet& aTable) {
    if (FKeptBeforeEdit) FKeptBeforeEdit(aTable);
    begin(true);
  };
  table.AfterPost = [this](TDataSet& aTable) {
    const TFields& fields = aTable.Fields();
    for (int i = 0; i < fields.Count() && static_cast<std::size_t>(i) < FSnapshot.size(); ++i)
      if (!(Comparable(fields[i]) == FSnapshot[static_cast<std::size_t>(i)])) AddChanged(fields[i].FieldName());
    if (FKeptAfterPost) FKeptAfterPost(aTable);
  };
  FHooked = true;
}

void TtvqWSMessageDataset::Unhook() {
  if (!FHooked || !FDataSet) return;
  FDataSet->BeforeInsert = std::move(FKeptBeforeInsert);
  FDataSet->BeforeEdit = std::move(FKeptBeforeEdit);
  FDataSet->AfterPost = std::move(FKeptAfterPost);
  FHooked = false;
}

Variant TtvqWSMessageDataset::Comparable(const TField& aField) {
  return aField.DataType() == ftBlob ? Variant(BlobBase64(aField)) : aField.AsVariant();
}

void TtvqWSMessageDataset::TakeSnapshot(bool aBlobAsBase64) {
  FSnapshot.clear();
  if (FDataSet->IsEmpty()) {
    FSnapshot.resize(static_cast<std::size_t>(FDataSet->Fields().Count()));
    return;
  }
  for (const auto& field : FDataSet->Fields())
    FSnapshot.push_back(aBlobAsBase64 ? Comparable(*field) : field->AsVariant());
}

void TtvqWSMessageDataset::AddChanged(const std::string& aName) {
  if (std::find(FChangedFields.begin(), FChangedFields.end(), aName) == FChangedFields.end())
    FChangedFields.push_back(aName);
}

// ---- writing

std::string TtvqWSMessageDataset::Write() {
  try {
    if (FDataSet) {
      if (method == ReqMetaData) DoWriteMetaData();
      else if (method == RecordsStart) DoWriteRecordsStart();
      else if (method == RecordsEnd) DoWriteRecordsEnd();
      else if (method == Record) DoWriteRecord();
    }
  } catch (...) {
    DoLeaveWrite();  // nothing of a half-written message stays
    throw;
  }
  return TtvqWSMessage::Write();
}

std::string TtvqWSMessageDataset::TextValue(const TField& aField) const {
  std::string text = aField.AsString();
  if (EncodeBase64) text = tvqBase64Encode(text);
  if (AutoEscapeText) text = tvqEscapeBraces(std::move(text));
  return tvqJSONStringContent(text);
}

void TtvqWSMessageDataset::WriteFieldValue(const TField& aField, const ItvqJSON& aTarget) const {
  const std::string name = tvqJSONStringContent(aField.FieldName());
  const TFieldType type = aField.DataType();
  if (IsIntegerKind(type)) {
    aTarget->AddPair(name, static_cast<std::int32_t>(aField.AsInteger()));
  } else if (type == ftBoolean) {
    aTarget->AddPair(name, aField.AsBoolean());
  } else if (IsFloatKind(type)) {
    AddString(*aTarget, name, tvqFormatPrice(aField.AsFloat(), FormatSettings.DecimalSeparator));
  } else if (IsDateKind(type)) {
    AddString(*aTarget, name,
              aField.IsNull() ? "0" : tvqJSONStringContent(tvqFormatDateTime(aField.AsDateTime(), FormatSettings)));
  } else if (type == ftBlob) {
    AddString(*aTarget, name, aField.IsNull() ? std::string() : BlobBase64(aField));
  } else {
    AddString(*aTarget, name, TextValue(aField));
  }
}

void TtvqWSMessageDataset::DoWriteRecord() {
  id.clear();
  TtvqJSON& result = *JSONResult();
  result.AddPair("method", Record);
  result.AddPair("channel", tvqJSONStringContent(Channel));
  if (Channel == ChannelUpdate) result.AddPair("updatemode", tvqUpdateModeName(UpdateMode));
  AddString(result, "dataset_name", tvqJSONStringContent(FDataSet->Name));
  result.AddPair("dataset_recno", static_cast<std::int32_t>(FDataSet->RecNo()));
  result.AddPair("dataset_encode_base64", EncodeBase64);
  const ItvqJSON values = result.AddObject("dataset", "")->JSONObject();
  const bool onlyChanged =
      UpdateMode == upWhereChanged && Channel == ChannelUpdate && !FChangedFields.empty() && !WholeRecords;
  for (const auto& field : FDataSet->Fields()) {
    if (onlyChanged &&
        std::find(FChangedFields.begin(), FChangedFields.end(), field->FieldName()) == FChangedFields.end())
      continue;
    WriteFieldValue(*field, values);
  }
}

void TtvqWSMessageDataset::DoWriteMetaData() {
  TtvqJSON& result = *JSONResult();
  result.AddPair("method", tvqDatasetMethod::MetaData);
  result.AddPair("channel", tvqJSONStringContent(Channel));
  AddString(result, "dataset_name", tvqJSONStringContent(FDataSet->Name));
  const ItvqJSON metadata = result.AddObject("metadata", "")->JSONObject();
  const TFields& fields = FDataSet->Fields();
  for (int i = 0; i < fields.Count(); ++i) {
    const TField& field = fields[i];
    const ItvqJSON description = metadata->AddObject("field" + std::to_string(i), "")->JSONObject();
    AddString(*description, "fieldname", tvqJSONStringContent(field.FieldName()));
    description->AddPair("datatype", FieldTypeName(field.DataType()));
    description->AddPair("datasize", static_cast<std::int32_t>(field.DataSize()));
    description->AddPair("keyfield", field.ProviderFlags.Contains(pfInKey));
  }
}

void TtvqWSMessageDataset::DoWriteRecordsStart() {
  TtvqJSON& result = *JSONResult();
  result.AddPair("method", RecordsStart);
  AddString(result, "dataset_name", tvqJSONStringContent(FDataSet->Name));
  result.AddPair("dataset_recordcount", static_cast<std::int32_t>(FDataSet->RecordCount()));
}

void TtvqWSMessageDataset::DoWriteRecordsEnd() {
  TtvqJSON& result = *JSONResult();
  result.AddPair("method", RecordsEnd);
  AddString(result, "dataset_name", tvqJSONStringContent(FDataSet->Name));
}

// ---- reading

void TtvqWSMessageDataset::Read(TtvqWSConnection* aConnection, const std::string& aMessage) {
  WSConnection = aConnection;
  struct Forget {
    TtvqWSConnection*& connection;
    ~Forget() { connection = nullptr; }  // the connection may go after this text
  } forget{WSConnection};
  TtvqWSMessage::Read(aMessage);  // raises for a text that is not JSON-RPC 2.0
  if (!FDataSet) return;
  // The record is applied from a document of its own: a post that the
  // application causes writes this envelope meanwhile.
  const ItvqJSON document = CreateJSONDocument();
  document->Read(aMessage);
  const ItvqObjectJSON result = document->GetNode("result");
  if (!result || result->JSONType != tvqJSONObject) return;
  const auto member = [&](const char* aName) {
    const ItvqObjectJSON node = result->GetNode(aName);
    return node ? ReceivedText(node) : std::string();
  };
  const std::string kind = member("method");
  const std::string channel = member("channel");
  if (kind == RecordsStart) {
    if (!DoBeforeDatasetUpdate(result) && OnBeforeSynchronize) OnBeforeSynchronize(WSConnection, result);
  } else if (kind == RecordsEnd) {
    if (!DoBeforeDatasetUpdate(result) && OnAfterSynchronize) OnAfterSynchronize(WSConnection, result);
  } else if (kind == tvqDatasetMethod::MetaData) {
    if (DoBeforeDatasetUpdate(result)) return;
    if (const ItvqObjectJSON metadata = result->GetNode("metadata"); metadata && OnMetaData)
      OnMetaData(WSConnection, metadata);
  } else if (kind == Record) {
    if (DoBeforeDatasetUpdate(result)) return;
    const ItvqObjectJSON record = result->GetNode("dataset");
    if (!record || record->JSONType != tvqJSONObject) return;
    const ItvqObjectJSON base64Node = result->GetNode("dataset_encode_base64");
    const bool base64 = base64Node && base64Node->ValueText() == "true";
    if (channel == ChannelNew) {
      CheckKey(record);
      DoNewRecord(record, base64);
    } else if (channel == ChannelUpdate) {
      CheckKey(record);
      DoUpdateRecord(record, base64);
    } else if (channel == ChannelDelete) {
      CheckKey(record);
      DoDeleteRecord(record);
    }
  }
}

bool TtvqWSMessageDataset::DoBeforeDatasetUpdate(const ItvqObjectJSON& aResult) {
  bool handled = false;
  if (OnBeforeDatasetUpdate) OnBeforeDatasetUpdate(WSConnection, aResult, handled);
  return handled;
}

namespace {

// The range of an integer field's values.
void IntegerRange(TFieldType aType, std::int64_t& aLow, std::int64_t& aHigh) {
  switch (aType) {
    case ftSmallint: aLow = INT16_MIN, aHigh = INT16_MAX; break;
    case ftWord: aLow = 0, aHigh = UINT16_MAX; break;
    case ftLargeint: aLow = INT64_MIN, aHigh = INT64_MAX; break;
    default: aLow = INT32_MIN, aHigh = INT32_MAX;
  }
}

// An optional sign and decimal digits, nothing else. aTooLarge tells a
// whole number that does not fit 64 bits (2^63) from one that is none.
bool ReadWhole(const std::string& aText, std::int64_t& aValue, bool& aTooLarge) {
  const char* first = aText.data();
  const char* last = first + aText.size();
  if (first != last && *first == '+') ++first;  // the reader takes a leading "+"
  if (first == last || *first == '+') return false;
  const auto [end, ec] = std::from_chars(first, last, aValue);
  aTooLarge = ec == std::errc::result_out_of_range && end == last;
  return ec == std::errc() && end == last;
}

}  // namespace

// A record without its key could not be found again, and a key that is
// not what the field holds would find, add or drop the wrong row (1.5 read
// as 2, true as -1, null as 0): both are refused before anything is
// applied.
void TtvqWSMessageDataset::CheckKey(const ItvqObjectJSON& aRecord) {
  for (TField* key : KeyFields()) {
    const ItvqObjectJSON node = aRecord->JSONObject()->GetNode(key->FieldName());
    if (!node) throw EDatabaseError("Record without a value for the key field '" + key->FieldName() + "'");
    if (!IsIntegerKind(key->DataType())) continue;
    const std::string name = tvqJSONStringContent(key->FieldName());
    std::int64_t value = 0, low = 0, high = 0;
    bool tooLarge = false;
    const bool whole = (node->JSONType == tvqJSONNumber || node->JSONType == tvqJSONString) &&
                       ReadWhole(ReceivedText(node), value, tooLarge);
    if (!whole && !tooLarge)
      throw EtvqWSRecordRefused(tvqInvalidParamsCode, tvqInvalidParamsPrefix + name + " must be an integer");
    IntegerRange(key->DataType(), low, high);
    if (tooLarge || value < low || value > high)
      throw EtvqWSRecordRefused(tvqInvalidParamsCode, tvqInvalidParamsPrefix + name + " must be an integer from " +
                                                          std::to_string(low) + " to " + std::to_string(high));
  }
}

bool TtvqWSMessageDataset::DoLocateRecord(const ItvqObjectJSON& aRecord) {
  const std::vector<TField*>& keys = KeyFields();
  if (keys.empty()) return false;
  std::string names;
  Variant::TArray values;
  for (TField* key : keys) {
    names += (names.empty() ? "" : ";") + key->FieldName();
    const ItvqObjectJSON node = aRecord->JSONObject()->GetNode(key->FieldName());
    values.push_back(node ? ReceivedVariant(node) : Variant());
  }
  return FDataSet->Locate(names, Variant(std::move(values)));
}

// A failing value leaves nothing behind: the pending edit or insert is
// cancelled before the error goes on, so the next operation of the table
// cannot post half a record.
void TtvqWSMessageDataset::DoApplyRecord(const ItvqObjectJSON& aRecord, bool aBase64) {
  try {
    for (const auto& field : FDataSet->Fields())
      if (const ItvqObjectJSON value = aRecord->JSONObject()->GetNode(field->FieldName()))
        ApplyField(*field, value, aBase64);
  } catch (...) {
    if (FDataSet->State() == dsEdit || FDataSet->State() == dsInsert) FDataSet->Cancel();
    throw;
  }
}

void TtvqWSMessageDataset::ApplyField(TField& aField, const ItvqObjectJSON& aValue, bool aBase64) {
  const bool always = UpdateMode != upWhereChanged;
  const TFieldType type = aField.DataType();
  if (aValue->JSONType == tvqJSONNull) {
    if (always || !aField.IsNull()) aField.Clear();
    return;
  }
  if (IsTextKind(type)) {
    std::string text = ReceivedText(aValue);
    if (aBase64) text = tvqBase64Decode(text);
    if (AutoEscapeText) text = tvqUnescapeBraces(std::move(text));
    if (always || text != aField.AsString()) aField.SetAsString(text);
  } else if (IsFloatKind(type)) {
    const double value = tvqReadPrice(ReceivedText(aValue), FormatSettings);
    if (always || aField.IsNull() || value != aField.AsFloat()) aField.SetAsFloat(value);
  } else if (IsDateKind(type)) {
    const std::string text = ReceivedText(aValue);
    if (text.empty()) return;
    if (text == "0") {
      if (always || !aField.IsNull()) aField.Clear();
      return;
    }
    const TDateTime value = tvqReadDateTime(text, FormatSettings);
    if (always || aField.IsNull() || !(value == aField.AsDateTime())) aField.SetAsDateTime(value);
  } else if (type == ftBlob) {
    const std::string text = ReceivedText(aValue);
    if (!always && text == BlobBase64(aField)) return;
    const std::string bytes = tvqBase64Decode(text);
    aField.LoadFromStream(TBlobBytes(bytes.begin(), bytes.end()));
  } else {
    const Variant value = ReceivedVariant(aValue);
    if (always || !(value == aField.AsVariant())) aField.SetAsVariant(value);
  }
}

void TtvqWSMessageDataset::DoNewRecord(const ItvqObjectJSON& aRecord, bool aBase64) {
  // Checked before the application hears of the record: a refused one is
  // neither added nor broadcast.
  if (MaxRows > 0 && UpdateMode != upRefreshAll && FDataSet->RecordCount() >= MaxRows)
    throw EtvqWSRecordRefused(tvqLimitReachedCode, tvqLimitReachedPrefix + std::to_string(MaxRows) + " rows");
  bool handled = false;
  if (OnBeforeNewRecord) OnBeforeNewRecord(WSConnection, *FDataSet, aRecord, handled);
  if (handled) return;
  if (UpdateMode == upRefreshAll) {
    DoRefreshDataSet();
  } else {
    FDataSet->Append();
    DoApplyRecord(aRecord, aBase64);
    FDataSet->Post();
  }
  if (OnAfterNewRecord) OnAfterNewRecord(WSConnection, *FDataSet);
}

void TtvqWSMessageDataset::DoUpdateRecord(const ItvqObjectJSON& aRecord, bool aBase64) {
  if (!DoLocateRecord(aRecord)) {
    DoNewRecord(aRecord, aBase64);  // an unknown key adds the record
    return;
  }
  bool handled = false;
  if (OnBeforeUpdateRecord) OnBeforeUpdateRecord(WSConnection, *FDataSet, aRecord, handled);
  if (handled) return;
  if (UpdateMode == upRefreshAll) {
    DoRefreshDataSet();
  } else {
    FDataSet->Edit();
    DoApplyRecord(aRecord, aBase64);
    FDataSet->Post();
  }
  if (OnAfterUpdateRecord) OnAfterUpdateRecord(WSConnection, *FDataSet);
}

void TtvqWSMessageDataset::DoDeleteRecord(const ItvqObjectJSON& aRecord) {
  bool handled = false;
  if (OnBeforeDeleteRecord) OnBeforeDeleteRecord(WSConnection, *FDataSet, aRecord, handled);
  if (handled) return;
  if (UpdateMode == upRefreshAll)
    DoRefreshDataSet();
  else if (DoLocateRecord(aRecord))
    FDataSet->Delete();
  if (OnAfterDeleteRecord) OnAfterDeleteRecord(WSConnection, *FDataSet);
}

void TtvqWSMessageDataset::DoRefreshDataSet() {
  FDataSet->DisableControls();
  struct Enable {
    TDataSet& table;
    ~Enable() { table.EnableControls(); }
  } enable{*FDataSet};
  FDataSet->Refresh();
}
