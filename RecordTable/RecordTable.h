// Public: the in-memory record table that holds the quotes, seen through the
// cursor-and-buffer model: ordered records, one current record, an edit
// buffer with a state, typed fields and notification events.
//
// The table has no lock: every use comes from the thread that owns it (the
// main thread in the program).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// ------------------------------------------------------------------ kinds

// Field kinds. The order and the enumerator names are fixed: the names
// travel on the wire in the field descriptions.
enum TFieldType {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
  ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
  ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString,
  ftLargeint, ftADT, ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob, ftVariant,
  ftInterface, ftIDispatch, ftGuid, ftTimeStamp, ftFMTBcd, ftFixedWideChar, ftWideMemo,
  ftOraTimeStamp, ftOraInterval, ftLongWord, ftShortint, ftByte, ftExtended, ftConnection,
  ftParams, ftStream, ftTimeStampOffset, ftObject, ftSingle,
};

// The enumerator's name, for example "ftInteger"; empty for a value outside
// the enumeration.
std::string_view FieldTypeName(TFieldType aType);

enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

enum TProviderFlag { pfInUpdate, pfInWhere, pfInKey, pfHidden };

class TProviderFlags {
 public:
  constexpr TProviderFlags() = default;
  constexpr TProviderFlags(std::initializer_list<TProviderFlag> aFlags) {
    for (TProviderFlag f : aFlags) Include(f);
  }
  constexpr bool Contains(TProviderFlag aFlag) const { return (FBits >> aFlag) & 1u; }
  constexpr void Include(TProviderFlag aFlag) { FBits |= 1u << aFlag; }
  constexpr void Exclude(TProviderFlag aFlag) { FBits &= ~(1u << aFlag); }
  friend constexpr bool operator==(TProviderFlags, TProviderFlags) = default;

 private:
  unsigned FBits = 0;
};

// A date and time as a serial number: days since 30 December 1899, the time
// of day as the fraction.
struct TDateTime {
  double Value = 0;
  friend bool operator==(TDateTime, TDateTime) = default;
};

// ------------------------------------------------------------------ errors

// An operation the table cannot perform (unknown field, empty table, ...).
class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value that does not convert to the kind asked for.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ------------------------------------------------------------------ text to numbers

// A whole decimal integer, with an optional sign and surrounding blanks.
bool TryStrToInt64(std::string_view aText, std::int64_t& aOut);
// A decimal number with "." as separator, an optional sign and exponent and
// surrounding blanks; no infinities, NaN or values out of range.
bool TryStrToFloat(std::string_view aText, double& aOut);

// ------------------------------------------------------------------ Variant

// A tagged value: null, or one integer, floating value, string, boolean or
// date-time, or an array of variants (the values of a key of several fields).
class Variant {
 public:
  using TArray = std::vector<Variant>;

  Variant() = default;
  Variant(int aValue) : FValue(std::int64_t{aValue}) {}
  Variant(std::int64_t aValue) : FValue(aValue) {}
  Variant(double aValue) : FValue(aValue) {}
  Variant(std::string aValue) : FValue(std::move(aValue)) {}
  Variant(const char* aValue) : FValue(std::string(aValue)) {}
  Variant(bool aValue) : FValue(aValue) {}
  Variant(TDateTime aValue) : FValue(aValue) {}
  Variant(TArray aValue) : FValue(std::move(aValue)) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(FValue); }
  bool IsInteger() const { return std::holds_alternative<std::int64_t>(FValue); }
  bool IsFloat() const { return std::holds_alternative<double>(FValue); }
  bool IsString() const { return std::holds_alternative<std::string>(FValue); }
  bool IsBoolean() const { return std::holds_alternative<bool>(FValue); }
  bool IsDateTime() const { return std::holds_alternative<TDateTime>(FValue); }
  bool IsArray() const { return std::holds_alternative<TArray>(FValue); }

  // Conversions; each raises EConvertError for a value that does not convert.
  // Null converts to 0, 0.0, "" and false.
  std::int64_t ToInt64() const;  // a floating value rounds, ties to even
  double ToDouble() const;
  std::string ToString() const;
  bool ToBoolean() const;
  TDateTime ToDateTime() const;
  const TArray& Elements() const;  // raises unless IsArray

  // The name of the value's kind, as conversion errors quote it.
  std::string_view TypeName() const;

  // Equal kinds compare by value; numbers of different kinds by number; a
  // string against a number by the string's number (unequal when it has
  // none); null equals only null.
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  std::variant<std::monostate, std::int64_t, double, std::string, bool, TDateTime, TArray> FValue;
};

// ------------------------------------------------------------------ fields

class TDataSet;

using TBlobBytes = std::vector<std::uint8_t>;

// A typed accessor of one column of the table's current record (or its edit
// buffer while an edit or insert is pending).
class TField {
 public:
  TField(TDataSet& aDataSet, std::string aFieldName, TFieldType aDataType, int aSize, int aIndex);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;
  virtual ~TField() = default;

  const std::string& FieldName() const { return FFieldName; }
  TFieldType DataType() const { return FDataType; }
  int Size() const { return FSize; }
  int DataSize() const;
  int Index() const { return FIndex; }  // position from 0
  TDataSet& DataSet() const { return FDataSet; }

  TProviderFlags ProviderFlags{pfInUpdate, pfInWhere};

  bool IsNull() const;
  void Clear();

  int AsInteger() const;
  void SetAsInteger(int aValue);
  double AsFloat() const;
  void SetAsFloat(double aValue);
  std::string AsString() const;
  void SetAsString(const std::string& aValue);
  bool AsBoolean() const;
  void SetAsBoolean(bool aValue);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime aValue);
  Variant AsVariant() const;
  // Converts the value to the field's kind; a value that does not convert
  // raises and leaves the buffer as it was.
  void SetAsVariant(const Variant& aValue);

  // The raw bytes of a blob value.
  void SaveToStream(TBlobBytes& aStream) const;
  void LoadFromStream(const TBlobBytes& aStream);

 private:
  const Variant& Value() const;
  void Store(Variant aValue);

  TDataSet& FDataSet;
  const std::string FFieldName;
  const TFieldType FDataType;
  const int FSize;
  const int FIndex;
};

class TIntegerField : public TField { using TField::TField; };
class TStringField : public TField { using TField::TField; };
class TFloatField : public TField { using TField::TField; };
class TBlobField : public TField { using TField::TField; };

// A table's field list, by position.
class TFields {
 public:
  int Count() const { return static_cast<int>(FFields.size()); }
  TField& operator[](int aIndex) const { return *FFields.at(static_cast<std::size_t>(aIndex)); }
  TField* FindField(const std::string& aFieldName) const;
  auto begin() const { return FFields.begin(); }
  auto end() const { return FFields.end(); }

 private:
  friend class TDataSet;
  std::vector<std::unique_ptr<TField>> FFields;
};

struct TFieldDef {
  std::string Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;
};

struct TIndexDef {
  std::string Name;
  std::string Fields;  // field names separated by ";"
};

// ------------------------------------------------------------------ table

using TDataSetNotifyEvent = std::function<void(TDataSet&)>;

class TDataSource;

// The table: cursor, state, fields, events. Records are kept in memory, in
// the order that PlaceRecord gives them (appended, unless a subclass sorts).
class TDataSet {
 public:
  explicit TDataSet(std::string aName = {});
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;
  virtual ~TDataSet();

  std::string Name;
  std::vector<TFieldDef> FieldDefs;

  // Event slots; a watcher keeps the handler it finds and calls it from its own.
  TDataSetNotifyEvent AfterOpen;
  TDataSetNotifyEvent BeforeInsert;
  TDataSetNotifyEvent BeforeEdit;
  TDataSetNotifyEvent AfterPost;
  TDataSetNotifyEvent BeforeDelete;
  TDataSetNotifyEvent AfterRefresh;

  bool Active() const { return FState != dsInactive; }
  void SetActive(bool aValue) { aValue ? Open() : Close(); }
  void Open();
  void Close();
  TDataSetState State() const { return FState; }

  TFields& Fields() { return FFields; }
  const TFields& Fields() const { return FFields; }
  TField& FieldByName(const std::string& aFieldName) const;
  TField* FindField(const std::string& aFieldName) const { return FFields.FindField(aFieldName); }

  void First();
  void Next();
  bool Eof() const { return FEof; }
  int RecNo() const;
  int RecordCount() const { return static_cast<int>(FRecords.size()); }
  bool IsEmpty() const { return FRecords.empty(); }

  void Edit();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Exact match (case counts, whole values) on the fields named in
  // aKeyFields, separated by ";" and trimmed; one value, or an array of one
  // value per field. A value is taken in the field's kind only when that
  // keeps it whole ("7" for 7 matches; 7.5 matches no integer).
  bool Locate(const std::string& aKeyFields, const Variant& aKeyValues);

  void DisableControls() { ++FDisableCount; }
  void EnableControls();
  bool ControlsDisabled() const { return FDisableCount > 0; }

  // A stored value, for views that show every row (the grid): the record at
  // aRecord (from 0, in table order), field aField. The cursor does not move.
  const Variant& RecordValue(int aRecord, int aField) const;

 protected:
  using TRecord = std::vector<Variant>;

  // Where a posted record belongs: its position in FRecords once placed.
  // aCurrent is its present position for an edit, or -1 for a new record.
  virtual std::size_t PlaceRecord(const TRecord& aRecord, std::ptrdiff_t aCurrent) const;
  // Posts a pending edit or insert; nothing in browse state.
  void CheckBrowseMode() { Post(); }
  void CheckActive() const;
  void MoveTo(std::ptrdiff_t aRecord);
  void RemoveAllRecords();
  void DataChanged() noexcept;

  std::vector<TRecord> FRecords;
  std::ptrdiff_t FCursor = -1;  // -1 when the table is empty

 private:
  friend class TField;
  friend class TDataSource;

  void CreateFields();
  const Variant& CurrentValue(int aField) const;
  void SetBufferValue(int aField, Variant aValue);
  void Fire(const TDataSetNotifyEvent& aEvent) {
    if (aEvent) aEvent(*this);
  }

  TFields FFields;
  TDataSetState FState = dsInactive;
  bool FEof = true;
  TRecord FBuffer;                   // the edit buffer in dsEdit and dsInsert
  std::ptrdiff_t FInsertFrom = -1;   // the cursor before a pending insert
  int FDisableCount = 0;
  std::vector<TDataSource*> FDataSources;  // not owned; they unlink themselves
};

// The in-memory table with its index: records are kept in ascending order
// of the active index's fields.
class TClientDataSet : public TDataSet {
 public:
  using TDataSet::TDataSet;

  std::vector<TIndexDef> IndexDefs;

  const std::string& IndexName() const { return FIndexName; }
  // Makes the named index active and reorders the records by it.
  void SetIndexName(const std::string& aIndexName);

  // Seeks the record whose active-index fields equal aValues exactly (a
  // pending edit is posted first). Found: it becomes current. Not found: the
  // cursor stays.
  bool FindKey(const std::vector<Variant>& aValues);

  // Removes every record at once; no per-record event fires.
  void EmptyDataSet();

 protected:
  std::size_t PlaceRecord(const TRecord& aRecord, std::ptrdiff_t aCurrent) const override;

 private:
  std::vector<int> IndexFields() const;
  int CompareByIndex(const TRecord& a, const TRecord& b) const;

  std::string FIndexName;
  std::vector<int> FIndexFields;  // positions of the active index's fields
};

// The link through which a view (the grid) shows a table: OnDataChange runs
// after each change of the table's rows, unless DisableControls is in force,
// and once when EnableControls lifts it. An error it raises is dropped: a
// view never interrupts a change of the table.
class TDataSource {
 public:
  TDataSource() = default;
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;
  ~TDataSource() { SetDataSet(nullptr); }

  TDataSet* DataSet() const { return FDataSet; }
  void SetDataSet(TDataSet* aDataSet);

  std::function<void(TDataSet&)> OnDataChange;

 private:
  friend class TDataSet;
  TDataSet* FDataSet = nullptr;  // not owned
};
