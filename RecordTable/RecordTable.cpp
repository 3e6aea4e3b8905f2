#include "RecordTable.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

namespace {

constexpr std::array<std::string_view, 52> kFieldTypeNames{
    "ftUnknown", "ftString", "ftSmallint", "ftInteger", "ftWord", "ftBoolean", "ftFloat",
    "ftCurrency", "ftBCD", "ftDate", "ftTime", "ftDateTime", "ftBytes", "ftVarBytes",
    "ftAutoInc", "ftBlob", "ftMemo", "ftGraphic", "ftFmtMemo", "ftParadoxOle", "ftDBaseOle",
    "ftTypedBinary", "ftCursor", "ftFixedChar", "ftWideString", "ftLargeint", "ftADT",
    "ftArray", "ftReference", "ftDataSet", "ftOraBlob", "ftOraClob", "ftVariant",
    "ftInterface", "ftIDispatch", "ftGuid", "ftTimeStamp", "ftFMTBcd", "ftFixedWideChar",
    "ftWideMemo", "ftOraTimeStamp", "ftOraInterval", "ftLongWord", "ftShortint", "ftByte",
    "ftExtended", "ftConnection", "ftParams", "ftStream", "ftTimeStampOffset", "ftObject",
    "ftSingle",
};

// The kind groups that have behaviour of their own.
enum class Group { Integer, Boolean, Text, Floating, DateTime, Blob, Other };

Group GroupOf(TFieldType aType) {
  switch (aType) {
    case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint:
      return Group::Integer;
    case ftBoolean:
      return Group::Boolean;
    case ftString: case ftMemo: case ftWideString: case ftWideMemo:
      return Group::Text;
    case ftFloat: case ftCurrency:
      return Group::Floating;
    case ftDate: case ftDateTime: case ftTimeStamp:
      return Group::DateTime;
    case ftBlob:
      return Group::Blob;
    default:
      return Group::Other;
  }
}

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

[[noreturn]] void CannotConvert(const Variant& aValue, std::string_view aTarget) {
  throw EConvertError("Could not convert variant of type (" + std::string(aValue.TypeName()) +
                      ") into type (" + std::string(aTarget) + ")");
}

}  // namespace

bool TryStrToInt64(std::string_view aText, std::int64_t& aOut) {
  std::string_view s = Trim(aText);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), aOut);
  return ec == std::errc() && end == s.data() + s.size();
}

bool TryStrToFloat(std::string_view aText, double& aOut) {
  std::string_view s = Trim(aText);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  const char lead = s.front() == '-' && s.size() > 1 ? s[1] : s.front();
  if (!(std::isdigit(static_cast<unsigned char>(lead)) || lead == '.')) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), aOut);
  return ec == std::errc() && end == s.data() + s.size() && std::isfinite(aOut);
}

namespace {

std::int64_t RoundHalfEven(double aValue) {
  const double rounded = std::nearbyint(aValue);  // the default mode rounds ties to even
  if (!std::isfinite(rounded) || rounded < -9223372036854775808.0 ||
      rounded >= 9223372036854775808.0)
    throw EConvertError("Invalid floating point operation");
  return static_cast<std::int64_t>(rounded);
}

std::string FormatDouble(double aValue) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", aValue);
  return text;
}

std::string FormatDateTime(TDateTime aValue) {
  using namespace std::chrono;
  // Years 1 to 9999 only: beyond them the calendar arithmetic has no meaning.
  if (!(aValue.Value >= -693593.0 && aValue.Value < 2958466.0))
    throw EConvertError("Invalid date-time value " + FormatDouble(aValue.Value));
  const double days = std::floor(aValue.Value);
  const auto date = year_month_day{sys_days{1899y / December / 30} + std::chrono::days{static_cast<long>(days)}};
  const long ms = std::min(std::lround((aValue.Value - days) * 86400000.0), 86399999L);
  char text[40];
  std::snprintf(text, sizeof text, "%02u/%02u/%04d %02ld:%02ld:%02ld", unsigned(date.day()),
                unsigned(date.month()), int(date.year()), ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60);
  return text;
}

// Cuts a text to at most aMax characters. Texts are UTF-8 here, so a
// character is a lead byte with its continuation bytes; the cut never splits
// one (a split character would be invalid UTF-8 on the wire).
std::string CutText(std::string aText, int aMax) {
  if (aMax <= 0 || aText.size() <= static_cast<std::size_t>(aMax)) return aText;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const bool continuation = (static_cast<unsigned char>(aText[i]) & 0xC0) == 0x80;
    if (!continuation && characters++ == static_cast<std::size_t>(aMax)) {
      aText.resize(i);
      break;
    }
  }
  return aText;
}

// aValue converted to the stored form of a field of kind aType.
Variant ConvertForField(const Variant& aValue, TFieldType aType, int aSize) {
  if (aValue.IsNull()) return {};
  switch (GroupOf(aType)) {
    case Group::Integer: {
      std::int64_t v;
      if (aValue.IsString()) {
        if (!TryStrToInt64(aValue.ToString(), v))
          throw EConvertError("'" + aValue.ToString() + "' is not a valid integer value");
      } else {
        v = aValue.ToInt64();
      }
      if (aType != ftLargeint &&
          (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()))
        throw EConvertError("'" + std::to_string(v) + "' is not a valid integer value");
      return v;
    }
    case Group::Boolean:
      return aValue.ToBoolean();
    case Group::Text:
      return aType == ftString ? CutText(aValue.ToString(), aSize) : aValue.ToString();
    case Group::Floating:
      return aValue.ToDouble();
    case Group::DateTime:
      return aValue.ToDateTime();
    case Group::Blob:
      return aValue.ToString();
    case Group::Other:
      if (aValue.IsArray()) CannotConvert(aValue, FieldTypeName(aType));
      break;
  }
  return aValue;
}

// Index order: null first, then numbers by value; texts (and a text against
// a number) by their bytes.
// aValue as a field of kind aType would store it, for a search: none when
// the conversion would change the value (a fraction rounded away, a text cut
// short), since no stored value can then equal it.
std::optional<Variant> SearchValueForField(const Variant& aValue, TFieldType aType, int aSize) {
  try {
    Variant converted = ConvertForField(aValue, aType, aSize);
    if (!(converted == aValue)) return std::nullopt;
    return converted;
  } catch (const EConvertError&) {
    return std::nullopt;
  }
}

int CompareValues(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return int(!a.IsNull()) - int(!b.IsNull());
  if (a.IsInteger() && b.IsInteger()) {
    const auto x = a.ToInt64(), y = b.ToInt64();
    return (x > y) - (x < y);
  }
  if (a.IsString() || b.IsString()) {
    const int c = a.ToString().compare(b.ToString());
    return (c > 0) - (c < 0);
  }
  const double x = a.ToDouble(), y = b.ToDouble();
  return (x > y) - (x < y);
}

std::vector<std::string> SplitFieldNames(const std::string& aNames) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = aNames.find(';', start);
    const std::string_view name =
        Trim(std::string_view(aNames).substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!name.empty()) names.emplace_back(name);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return names;
}

}  // namespace

std::string_view FieldTypeName(TFieldType aType) {
  const auto i = static_cast<std::size_t>(aType);
  return i < kFieldTypeNames.size() ? kFieldTypeNames[i] : std::string_view{};
}

// ------------------------------------------------------------------ Variant

std::string_view Variant::TypeName() const {
  static constexpr std::array<std::string_view, 7> kNames{
      "Null", "Int64", "Double", "String", "Boolean", "Date", "Array Variant"};
  return kNames[FValue.index()];
}

std::int64_t Variant::ToInt64() const {
  if (IsNull()) return 0;
  if (IsInteger()) return std::get<std::int64_t>(FValue);
  if (IsFloat()) return RoundHalfEven(std::get<double>(FValue));
  if (IsBoolean()) return std::get<bool>(FValue) ? -1 : 0;
  if (IsDateTime()) return RoundHalfEven(std::get<TDateTime>(FValue).Value);
  if (IsString()) {
    std::int64_t v;
    if (TryStrToInt64(std::get<std::string>(FValue), v)) return v;
    double d;
    if (TryStrToFloat(std::get<std::string>(FValue), d)) return RoundHalfEven(d);
    throw EConvertError("'" + std::get<std::string>(FValue) + "' is not a valid integer value");
  }
  CannotConvert(*this, "Int64");
}

double Variant::ToDouble() const {
  if (IsNull()) return 0;
  if (IsInteger()) return static_cast<double>(std::get<std::int64_t>(FValue));
  if (IsFloat()) return std::get<double>(FValue);
  if (IsBoolean()) return std::get<bool>(FValue) ? -1 : 0;
  if (IsDateTime()) return std::get<TDateTime>(FValue).Value;
  if (IsString()) {
    double d;
    if (TryStrToFloat(std::get<std::string>(FValue), d)) return d;
    throw EConvertError("'" + std::get<std::string>(FValue) + "' is not a valid floating point value");
  }
  CannotConvert(*this, "Double");
}

std::string Variant::ToString() const {
  if (IsNull()) return {};
  if (IsString()) return std::get<std::string>(FValue);
  if (IsInteger()) return std::to_string(std::get<std::int64_t>(FValue));
  if (IsFloat()) return FormatDouble(std::get<double>(FValue));
  if (IsBoolean()) return std::get<bool>(FValue) ? "True" : "False";
  if (IsDateTime()) return FormatDateTime(std::get<TDateTime>(FValue));
  CannotConvert(*this, "String");
}

bool Variant::ToBoolean() const {
  if (IsBoolean()) return std::get<bool>(FValue);
  if (IsString()) {
    std::string lower = std::get<std::string>(FValue);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (Trim(lower) == "true") return true;
    if (Trim(lower) == "false") return false;
    double d;
    if (TryStrToFloat(lower, d)) return d != 0;
    throw EConvertError("'" + std::get<std::string>(FValue) + "' is not a valid boolean value");
  }
  if (IsArray()) CannotConvert(*this, "Boolean");
  return ToDouble() != 0;
}

TDateTime Variant::ToDateTime() const {
  if (IsDateTime()) return std::get<TDateTime>(FValue);
  if (IsNull() || IsInteger() || IsFloat()) return TDateTime{ToDouble()};
  CannotConvert(*this, "Date");
}

const Variant::TArray& Variant::Elements() const {
  if (!IsArray()) CannotConvert(*this, "Array Variant");
  return std::get<TArray>(FValue);
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.FValue.index() == b.FValue.index()) return a.FValue == b.FValue;
  if (a.IsNull() || b.IsNull() || a.IsArray() || b.IsArray()) return false;
  if (a.IsString() || b.IsString()) {
    const Variant& text = a.IsString() ? a : b;
    const Variant& other = a.IsString() ? b : a;
    if (other.IsBoolean()) {
      try {
        return text.ToBoolean() == other.ToBoolean();
      } catch (const EConvertError&) {
        return false;
      }
    }
    double d;
    return TryStrToFloat(text.ToString(), d) && d == other.ToDouble();
  }
  return a.ToDouble() == b.ToDouble();
}

// ------------------------------------------------------------------ TField

TField::TField(TDataSet& aDataSet, std::string aFieldName, TFieldType aDataType, int aSize, int aIndex)
    : FDataSet(aDataSet), FFieldName(std::move(aFieldName)), FDataType(aDataType), FSize(aSize),
      FIndex(aIndex) {}

int TField::DataSize() const {
  switch (FDataType) {
    case ftString: case ftFixedChar: case ftGuid: return FSize + 1;
    case ftWideString: case ftFixedWideChar: return (FSize + 1) * 2;
    case ftShortint: case ftByte: return 1;
    case ftSmallint: case ftWord: case ftBoolean: return 2;
    case ftInteger: case ftAutoInc: case ftLongWord: case ftSingle: case ftDate: case ftTime:
      return 4;
    case ftFloat: case ftCurrency: case ftLargeint: case ftDateTime: return 8;
    case ftExtended: return 10;
    case ftTimeStamp: return 16;
    case ftBCD: case ftFMTBcd: return 34;
    default: return 0;  // blobs and the rest keep their data outside the record
  }
}

const Variant& TField::Value() const { return FDataSet.CurrentValue(FIndex); }

void TField::Store(Variant aValue) { FDataSet.SetBufferValue(FIndex, std::move(aValue)); }

bool TField::IsNull() const { return Value().IsNull(); }
void TField::Clear() { Store({}); }

int TField::AsInteger() const {
  const std::int64_t v = Value().ToInt64();
  if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    throw EConvertError("'" + std::to_string(v) + "' is not a valid integer value");
  return static_cast<int>(v);
}
void TField::SetAsInteger(int aValue) { SetAsVariant(aValue); }

double TField::AsFloat() const { return Value().ToDouble(); }
void TField::SetAsFloat(double aValue) { SetAsVariant(aValue); }

std::string TField::AsString() const { return Value().ToString(); }
void TField::SetAsString(const std::string& aValue) {
  const Group group = GroupOf(FDataType);
  if (aValue.empty() && (group == Group::Integer || group == Group::Floating)) {
    Clear();  // an empty text empties a number field
    return;
  }
  SetAsVariant(aValue);
}

bool TField::AsBoolean() const { return Value().ToBoolean(); }
void TField::SetAsBoolean(bool aValue) { SetAsVariant(aValue); }

TDateTime TField::AsDateTime() const { return Value().ToDateTime(); }
void TField::SetAsDateTime(TDateTime aValue) { SetAsVariant(aValue); }

Variant TField::AsVariant() const { return Value(); }
void TField::SetAsVariant(const Variant& aValue) { Store(ConvertForField(aValue, FDataType, FSize)); }

void TField::SaveToStream(TBlobBytes& aStream) const {
  const std::string bytes = Value().ToString();
  aStream.assign(bytes.begin(), bytes.end());
}

void TField::LoadFromStream(const TBlobBytes& aStream) {
  Store(std::string(aStream.begin(), aStream.end()));
}

TField* TFields::FindField(const std::string& aFieldName) const {
  for (const auto& field : FFields)
    if (field->FieldName() == aFieldName) return field.get();
  return nullptr;
}

// ------------------------------------------------------------------ TDataSet

TDataSet::TDataSet(std::string aName) : Name(std::move(aName)) {}

TDataSet::~TDataSet() {
  for (TDataSource* source : FDataSources) source->FDataSet = nullptr;
}

void TDataSet::CheckActive() const {
  if (FState == dsInactive) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CreateFields() {
  if (FFields.Count() > 0) return;  // fields outlive a close, as the table's columns
  int index = 0;
  for (const TFieldDef& def : FieldDefs) {
    std::unique_ptr<TField> field;
    switch (GroupOf(def.DataType)) {
      case Group::Integer: field = std::make_unique<TIntegerField>(*this, def.Name, def.DataType, def.Size, index); break;
      case Group::Floating: field = std::make_unique<TFloatField>(*this, def.Name, def.DataType, def.Size, index); break;
      case Group::Blob: field = std::make_unique<TBlobField>(*this, def.Name, def.DataType, def.Size, index); break;
      default:
        if (def.DataType == ftString)
          field = std::make_unique<TStringField>(*this, def.Name, def.DataType, def.Size, index);
        else
          field = std::make_unique<TField>(*this, def.Name, def.DataType, def.Size, index);
    }
    FFields.FFields.push_back(std::move(field));
    ++index;
  }
}

void TDataSet::Open() {
  if (Active()) return;
  CreateFields();
  FState = dsBrowse;
  MoveTo(FRecords.empty() ? -1 : 0);
  Fire(AfterOpen);
  DataChanged();
}

void TDataSet::Close() {
  if (!Active()) return;
  FState = dsInactive;
  FBuffer.clear();
  RemoveAllRecords();
  DataChanged();
}

TField& TDataSet::FieldByName(const std::string& aFieldName) const {
  if (TField* field = FindField(aFieldName)) return *field;
  throw EDatabaseError(Name + ": Field '" + aFieldName + "' not found");
}

const Variant& TDataSet::CurrentValue(int aField) const {
  CheckActive();
  static const Variant kNull;
  if (FState == dsEdit || FState == dsInsert) return FBuffer[static_cast<std::size_t>(aField)];
  if (FCursor < 0) return kNull;
  return FRecords[static_cast<std::size_t>(FCursor)][static_cast<std::size_t>(aField)];
}

void TDataSet::SetBufferValue(int aField, Variant aValue) {
  CheckActive();
  if (FState != dsEdit && FState != dsInsert)
    throw EDatabaseError(Name + ": Dataset not in edit or insert mode");
  FBuffer[static_cast<std::size_t>(aField)] = std::move(aValue);
}

const Variant& TDataSet::RecordValue(int aRecord, int aField) const {
  return FRecords.at(static_cast<std::size_t>(aRecord)).at(static_cast<std::size_t>(aField));
}

void TDataSet::MoveTo(std::ptrdiff_t aRecord) {
  FCursor = aRecord;
  FEof = FRecords.empty();
}

void TDataSet::First() {
  CheckActive();
  CheckBrowseMode();
  MoveTo(FRecords.empty() ? -1 : 0);
}

void TDataSet::Next() {
  CheckActive();
  CheckBrowseMode();
  if (FCursor + 1 < static_cast<std::ptrdiff_t>(FRecords.size()))
    MoveTo(FCursor + 1);
  else
    FEof = true;
}

int TDataSet::RecNo() const {
  if (FState == dsInsert) return -1;  // the new record has no place yet
  return static_cast<int>(FCursor + 1);
}

void TDataSet::Edit() {
  CheckActive();
  if (FState == dsEdit || FState == dsInsert) return;
  if (FRecords.empty()) {
    Append();
    return;
  }
  Fire(BeforeEdit);
  FBuffer = FRecords[static_cast<std::size_t>(FCursor)];
  FState = dsEdit;
}

void TDataSet::Append() {
  CheckActive();
  CheckBrowseMode();
  Fire(BeforeInsert);
  FInsertFrom = FCursor;
  FBuffer.assign(static_cast<std::size_t>(FFields.Count()), Variant{});
  FState = dsInsert;
}

void TDataSet::Post() {
  if (FState != dsEdit && FState != dsInsert) return;
  const std::ptrdiff_t current = FState == dsEdit ? FCursor : -1;
  const std::size_t place = PlaceRecord(FBuffer, current);
  if (current >= 0) FRecords.erase(FRecords.begin() + current);
  FRecords.insert(FRecords.begin() + static_cast<std::ptrdiff_t>(place), std::move(FBuffer));
  FBuffer.clear();
  FState = dsBrowse;
  MoveTo(static_cast<std::ptrdiff_t>(place));
  // The views redraw after AfterPost, also when a handler of it fails.
  struct Redraw {
    TDataSet& table;
    ~Redraw() { table.DataChanged(); }
  } redraw{*this};
  Fire(AfterPost);
}

void TDataSet::Cancel() {
  if (FState == dsInsert) MoveTo(FInsertFrom);
  FBuffer.clear();
  if (FState == dsEdit || FState == dsInsert) FState = dsBrowse;
}

void TDataSet::Delete() {
  CheckActive();
  if (FState == dsInsert) {
    Cancel();
    return;
  }
  if (FRecords.empty()) throw EDatabaseError("Cannot perform this operation on an empty dataset");
  Cancel();
  Fire(BeforeDelete);
  FRecords.erase(FRecords.begin() + FCursor);
  const auto count = static_cast<std::ptrdiff_t>(FRecords.size());
  MoveTo(count == 0 ? -1 : std::min(FCursor, count - 1));
  DataChanged();
}

void TDataSet::Refresh() {
  CheckActive();
  CheckBrowseMode();
  // The records live here and have no other source to be brought up to date from.
  Fire(AfterRefresh);
  DataChanged();
}

bool TDataSet::Locate(const std::string& aKeyFields, const Variant& aKeyValues) {
  CheckActive();
  CheckBrowseMode();
  const std::vector<std::string> names = SplitFieldNames(aKeyFields);
  const Variant::TArray values = aKeyValues.IsArray() ? aKeyValues.Elements() : Variant::TArray{aKeyValues};
  if (names.empty() || values.size() != names.size()) return false;

  std::vector<std::pair<int, Variant>> wanted;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const TField& field = FieldByName(names[i]);
    std::optional<Variant> value = SearchValueForField(values[i], field.DataType(), field.Size());
    if (!value) return false;
    wanted.emplace_back(field.Index(), std::move(*value));
  }
  for (std::size_t r = 0; r < FRecords.size(); ++r) {
    const TRecord& record = FRecords[r];
    const bool match = std::all_of(wanted.begin(), wanted.end(), [&](const auto& w) {
      return record[static_cast<std::size_t>(w.first)] == w.second;
    });
    if (match) {
      MoveTo(static_cast<std::ptrdiff_t>(r));
      return true;
    }
  }
  return false;
}

void TDataSet::EnableControls() {
  if (FDisableCount > 0 && --FDisableCount == 0) DataChanged();
}

void TDataSet::DataChanged() noexcept {
  if (FDisableCount > 0) return;
  // A view may unlink itself or another while being told: walk a copy, and
  // skip those no longer linked. A view's failure does not reach the table.
  const std::vector<TDataSource*> sources = FDataSources;
  for (TDataSource* source : sources) {
    if (std::find(FDataSources.begin(), FDataSources.end(), source) == FDataSources.end()) continue;
    try {
      if (source->OnDataChange) source->OnDataChange(*this);
    } catch (...) {
    }
  }
}

void TDataSet::RemoveAllRecords() {
  FRecords.clear();
  MoveTo(-1);
}

std::size_t TDataSet::PlaceRecord(const TRecord& /*aRecord*/, std::ptrdiff_t aCurrent) const {
  return aCurrent >= 0 ? static_cast<std::size_t>(aCurrent) : FRecords.size();
}

// ------------------------------------------------------------------ TClientDataSet

std::vector<int> TClientDataSet::IndexFields() const {
  if (FIndexName.empty()) return {};
  const auto def = std::find_if(IndexDefs.begin(), IndexDefs.end(),
                                [&](const TIndexDef& d) { return d.Name == FIndexName; });
  if (def == IndexDefs.end()) throw EDatabaseError(Name + ": Index '" + FIndexName + "' not found");
  std::vector<int> positions;
  for (const std::string& name : SplitFieldNames(def->Fields)) {
    const auto it = std::find_if(FieldDefs.begin(), FieldDefs.end(),
                                 [&](const TFieldDef& f) { return f.Name == name; });
    if (it == FieldDefs.end()) throw EDatabaseError(Name + ": Field '" + name + "' not found");
    positions.push_back(static_cast<int>(it - FieldDefs.begin()));
  }
  return positions;
}

void TClientDataSet::SetIndexName(const std::string& aIndexName) {
  CheckBrowseMode();
  const std::string previous = FIndexName;
  FIndexName = aIndexName;
  try {
    FIndexFields = IndexFields();
  } catch (...) {
    FIndexName = previous;
    throw;
  }
  if (FRecords.empty()) return;
  const TRecord current = FCursor >= 0 ? FRecords[static_cast<std::size_t>(FCursor)] : TRecord{};
  std::stable_sort(FRecords.begin(), FRecords.end(),
                   [this](const TRecord& a, const TRecord& b) { return CompareByIndex(a, b) < 0; });
  if (FCursor >= 0) MoveTo(std::find(FRecords.begin(), FRecords.end(), current) - FRecords.begin());
  DataChanged();
}

int TClientDataSet::CompareByIndex(const TRecord& a, const TRecord& b) const {
  for (int field : FIndexFields) {
    const int c = CompareValues(a[static_cast<std::size_t>(field)], b[static_cast<std::size_t>(field)]);
    if (c != 0) return c;
  }
  return 0;
}

std::size_t TClientDataSet::PlaceRecord(const TRecord& aRecord, std::ptrdiff_t aCurrent) const {
  if (FIndexFields.empty()) return TDataSet::PlaceRecord(aRecord, aCurrent);
  // An edited record whose key keeps it between its neighbours stays put.
  if (aCurrent >= 0) {
    const auto i = static_cast<std::size_t>(aCurrent);
    const bool afterPrevious = i == 0 || CompareByIndex(FRecords[i - 1], aRecord) <= 0;
    const bool beforeNext = i + 1 >= FRecords.size() || CompareByIndex(aRecord, FRecords[i + 1]) <= 0;
    if (afterPrevious && beforeNext) return i;
  }
  // Otherwise after every record with an equal key, counted without itself.
  std::size_t place = 0;
  for (std::size_t i = 0; i < FRecords.size(); ++i)
    if (static_cast<std::ptrdiff_t>(i) != aCurrent && CompareByIndex(FRecords[i], aRecord) <= 0) place++;
  return place;
}

bool TClientDataSet::FindKey(const std::vector<Variant>& aValues) {
  CheckActive();
  CheckBrowseMode();
  if (FIndexFields.empty()) throw EDatabaseError(Name + ": No index currently active");
  if (aValues.empty() || aValues.size() > FIndexFields.size()) return false;

  std::vector<Variant> key;
  for (std::size_t i = 0; i < aValues.size(); ++i) {
    const TField& field = Fields()[FIndexFields[i]];
    std::optional<Variant> value = SearchValueForField(aValues[i], field.DataType(), field.Size());
    if (!value) return false;
    key.push_back(std::move(*value));
  }
  const auto compareKey = [&](const TRecord& record) {
    for (std::size_t i = 0; i < key.size(); ++i) {
      const int c = CompareValues(record[static_cast<std::size_t>(FIndexFields[i])], key[i]);
      if (c != 0) return c;
    }
    return 0;
  };
  const auto it = std::partition_point(FRecords.begin(), FRecords.end(),
                                       [&](const TRecord& r) { return compareKey(r) < 0; });
  if (it == FRecords.end() || compareKey(*it) != 0) return false;
  MoveTo(it - FRecords.begin());
  return true;
}

void TClientDataSet::EmptyDataSet() {
  CheckActive();
  CheckBrowseMode();
  RemoveAllRecords();
  DataChanged();
}

// ------------------------------------------------------------------ TDataSource

void TDataSource::SetDataSet(TDataSet* aDataSet) {
  if (FDataSet == aDataSet) return;
  if (FDataSet) std::erase(FDataSet->FDataSources, this);
  FDataSet = aDataSet;
  if (FDataSet) FDataSet->FDataSources.push_back(this);
}
