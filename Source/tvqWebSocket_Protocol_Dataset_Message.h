// Public: the envelope of the dataset sub-protocol. Bound to a record
// table, it writes the table's current record, its field descriptions and
// the two markers around a sequence of records as "tvq@dataset" texts, and
// it reads a client's record message and applies it to the table (a new, a
// changed or a deleted record).
//
// Table values are data, never JSON: every text value is written as a JSON
// string, escaped and valid UTF-8, whatever it begins with; received string
// values are decoded before they reach the table.
//
// The envelope has no lock: it is used on the thread that owns the table
// (the main thread in the program).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "RecordTable.h"
#include "tvqWebSocket_Classes.h"
#include "tvqWebSocket_Protocol_tvq_Message.h"

class TtvqWSConnection;

namespace tvqDatasetMethod {
inline constexpr const char* Record = "tvq@dataset";
inline constexpr const char* MetaData = "tvq@metadata";
inline constexpr const char* ReqRecords = "tvq@dataset@req@records";
inline constexpr const char* ReqMetaData = "tvq@dataset@req@metadata";
inline constexpr const char* RecordsStart = "tvq@dataset@req@records@start";
inline constexpr const char* RecordsEnd = "tvq@dataset@req@records@end";
inline constexpr const char* ChannelNew = "tvq@dataset@new";
inline constexpr const char* ChannelUpdate = "tvq@dataset@update";
inline constexpr const char* ChannelDelete = "tvq@dataset@delete";
}  // namespace tvqDatasetMethod

enum TwsDatasetUpdateMode { upWhereAll, upWhereChanged, upRefreshAll };
// "upWhereAll", "upWhereChanged", "upRefreshAll".
std::string tvqUpdateModeName(TwsDatasetUpdateMode aMode);

struct TtvqWSDatasetFormatSettings {
  char DecimalSeparator = ',';
  char ThousandSeparator = '.';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "dd/mm/yyyy hh:nn:ss:zzz";
};

// ---- value conversions of the wire (public for their tests)

// The pattern "0.00": at least one integer digit, two decimals, no
// thousand separators, the given decimal separator.
std::string tvqFormatPrice(double aValue, char aDecimalSeparator);
// A received price: with a comma, the comma is the decimal separator; with a
// point and no comma, the point is; plain digits are a whole number.
// Raises EConvertError "'%s' is not a valid floating point value".
double tvqReadPrice(const std::string& aText, const TtvqWSDatasetFormatSettings& aSettings);
// A date-time in ShortDateFormat with the settings' separators, followed by
// one blank unless the time of day is midnight.
std::string tvqFormatDateTime(TDateTime aValue, const TtvqWSDatasetFormatSettings& aSettings);
// The reverse (trailing blanks allowed; the time may be left out from any
// unit on). Raises EConvertError "'%s' is not a valid date and time".
TDateTime tvqReadDateTime(const std::string& aText, const TtvqWSDatasetFormatSettings& aSettings);
// The reverse of tvqBase64Encode; raises EConvertError for text that is not
// base64.
std::string tvqBase64Decode(std::string_view aText);
// "{", "}", "[", "]" with a backslash before each, and back.
std::string tvqEscapeBraces(std::string aText);
std::string tvqUnescapeBraces(std::string aText);
// A text as the content of a JSON string: quotes, backslashes and control
// characters escaped; bytes that are not UTF-8 become U+FFFD.
std::string tvqJSONStringContent(std::string_view aText);
// The content of a received JSON string decoded: escapes resolved (\uXXXX
// to UTF-8); an escape that is not JSON is kept as it stands.
std::string tvqJSONDecodeString(std::string_view aContent);

// A client's record refused before anything of it is applied (a key that
// is not an integer, a new row past MaxRows): the server answers a request
// that has an id with this JSON-RPC error.
class EtvqWSRecordRefused : public TtvqWSException {
 public:
  EtvqWSRecordRefused(int aCode, const std::string& aMessage) : TtvqWSException(aMessage), Code(aCode) {}
  int Code;
};

using TtvqWSBeforeRecordEvent =
    std::function<void(TtvqWSConnection*, TDataSet&, const ItvqObjectJSON& aRecord, bool& aHandled)>;
using TtvqWSAfterRecordEvent = std::function<void(TtvqWSConnection*, TDataSet&)>;
using TtvqWSMetaDataEvent = std::function<void(TtvqWSConnection*, const ItvqObjectJSON&)>;
using TtvqWSSynchronizeEvent = std::function<void(TtvqWSConnection*, const ItvqObjectJSON&)>;
using TtvqWSBeforeDatasetUpdateEvent =
    std::function<void(TtvqWSConnection*, const ItvqObjectJSON&, bool& aHandled)>;

class TtvqWSMessageDataset : public TtvqWSMessage {
 public:
  TtvqWSMessageDataset();
  ~TtvqWSMessageDataset() override;

  TDataSet* DataSet() const { return FDataSet; }
  // Binds a table (none unbinds). In upWhereChanged the envelope watches the
  // table's inserts, edits and posts; the handlers it found are given back
  // when the table is unbound. Unbind before the table is destroyed.
  virtual void SetDataSet(TDataSet* aDataSet);

  TtvqWSDatasetFormatSettings FormatSettings;
  TwsDatasetUpdateMode UpdateMode = upWhereAll;
  bool AutoEscapeText = false;
  // The connection whose text is being read.
  TtvqWSConnection* WSConnection = nullptr;
  // While true, record messages carry every field (a synchronisation).
  bool WholeRecords = false;
  // The rows a client's new record may fill the table to (0: no limit);
  // the record that would pass it is refused (EtvqWSRecordRefused with
  // tvqLimitReachedCode). Changes and deletes of rows are never refused.
  int MaxRows = 0;

  TtvqWSBeforeRecordEvent OnBeforeNewRecord, OnBeforeUpdateRecord, OnBeforeDeleteRecord;
  TtvqWSAfterRecordEvent OnAfterNewRecord, OnAfterUpdateRecord, OnAfterDeleteRecord;
  TtvqWSMetaDataEvent OnMetaData;
  TtvqWSSynchronizeEvent OnBeforeSynchronize, OnAfterSynchronize;
  TtvqWSBeforeDatasetUpdateEvent OnBeforeDatasetUpdate;

  // The key fields of the bound table, in field order.
  const std::vector<TField*>& KeyFields();
  // The fields of the last change (upWhereChanged).
  const std::vector<std::string>& ChangedFields() const { return FChangedFields; }

  // The text for the current method: field descriptions, a marker or the
  // current record; any other method as the base envelope writes it.
  std::string Write() override;
  // Reads a client text and applies a record message to the table. A text
  // that is not JSON-RPC 2.0 raises "Error decoding message." before
  // anything is applied.
  using TtvqWSMessage::Read;
  void Read(TtvqWSConnection* aConnection, const std::string& aMessage);

  virtual void DoWriteRecord();
  virtual void DoWriteMetaData();
  virtual void DoWriteRecordsStart();
  virtual void DoWriteRecordsEnd();
  virtual bool DoLocateRecord(const ItvqObjectJSON& aRecord);
  virtual void DoApplyRecord(const ItvqObjectJSON& aRecord, bool aBase64);
  virtual void DoNewRecord(const ItvqObjectJSON& aRecord, bool aBase64);
  virtual void DoUpdateRecord(const ItvqObjectJSON& aRecord, bool aBase64);
  virtual void DoDeleteRecord(const ItvqObjectJSON& aRecord);
  virtual void DoRefreshDataSet();
  virtual bool DoBeforeDatasetUpdate(const ItvqObjectJSON& aResult);

 private:
  // The table's text value as it travels.
  std::string TextValue(const TField& aField) const;
  void WriteFieldValue(const TField& aField, const ItvqJSON& aTarget) const;
  void ApplyField(TField& aField, const ItvqObjectJSON& aValue, bool aBase64);
  // Raises when the received record has no member for a key field, and
  // EtvqWSRecordRefused (tvqInvalidParamsCode) when the member of an
  // integer key is not an integer of the field's range: a number without
  // fraction or exponent, or a string holding one ("7").
  void CheckKey(const ItvqObjectJSON& aRecord);
  void Hook();
  void Unhook();
  void TakeSnapshot(bool aBlobAsBase64);
  void AddChanged(const std::string& aName);
  static Variant Comparable(const TField& aField);

  TDataSet* FDataSet = nullptr;
  bool FKeyFieldsBuilt = false;
  std::vector<TField*> FKeyFields;
  std::vector<std::string> FChangedFields;
  std::vector<Variant> FSnapshot;
  bool FHooked = false;
  TDataSetNotifyEvent FKeptBeforeInsert, FKeptBeforeEdit, FKeptAfterPost;
};
