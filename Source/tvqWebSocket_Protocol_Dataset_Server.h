// Public: the dataset sub-protocol server. It binds one record table to the
// base sub-protocol server: every posted record goes to the subscribers of
// "tvq@dataset@update", every record about to be deleted to those of
// "tvq@dataset@delete"; a connection that opens the sub-protocol receives
// the session, the field descriptions and all records; clients' record
// messages are applied to the table.
//
// Everything here runs on the thread that owns the table, the main thread
// in the program: the component must run in the asynchronous (or
// synchronous) notification mode, which its server gives it.
#pragma once

#include <memory>
#include <string>

#include "RecordTable.h"
#include "tvqWebSocket_Protocol_Dataset_Message.h"
#include "tvqWebSocket_Protocol_tvq_Server.h"

// "dataset." followed by the base sub-protocol identifier.
inline const std::string tvqDatasetSubProtocol = std::string("dataset.") + tvqBaseSubProtocol;

class TtvqWSProtocol_dataset_server : public TtvqWSProtocol_tvq_Server {
 public:
  TtvqWSProtocol_dataset_server();
  ~TtvqWSProtocol_dataset_server() override;

  bool AutoSynchronize = true;
  bool NotifyUpdates = true;
  bool NotifyDeletes = true;
  bool ApplyUpdates = true;
  // Copied into the envelope when it is made (at the first binding).
  TwsDatasetUpdateMode UpdateMode = upWhereAll;
  bool AutoEscapeText = false;
  bool EncodeBase64 = false;
  TtvqWSDatasetFormatSettings FormatSettings;
  // The rows clients' new records may fill the table to (0: no limit); the
  // record that would pass it is refused with tvqLimitReachedCode.
  int MaxRows = 0;

  TtvqWSBeforeRecordEvent OnBeforeNewRecord, OnBeforeUpdateRecord, OnBeforeDeleteRecord;
  TtvqWSAfterRecordEvent OnAfterNewRecord, OnAfterUpdateRecord, OnAfterDeleteRecord;
  TtvqWSBeforeDatasetUpdateEvent OnBeforeDatasetUpdate;

  TDataSet* DataSet() const { return FDataSet; }
  // Binds the table (none unbinds); the table's own AfterPost, BeforeDelete
  // and AfterRefresh handlers keep running first, and are given back when
  // it is unbound. Unbind before the table is destroyed.
  void SetDataSet(TDataSet* aDataSet);
  // The envelope every dataset text is written with (made on first use).
  TtvqWSMessageDataset& DatasetMessage();

  // The current record on the update channel, whatever NotifyUpdates says.
  void BroadcastRecord();
  void MetaData(TtvqWSConnection* aConnection) { DoMetaData(aConnection); }
  void Synchronize(TtvqWSConnection* aConnection) { DoSynchronize(aConnection); }

  virtual void DoSendRecordsStart(TtvqWSConnection* aConnection);
  virtual void DoSendRecordsEnd(TtvqWSConnection* aConnection);
  virtual void DoSynchronize(TtvqWSConnection* aConnection);
  virtual void DoMetaData(TtvqWSConnection* aConnection);
  virtual void DoDataSetAfterPost(TDataSet& aDataSet);
  virtual void DoDataSetBeforeDelete(TDataSet& aDataSet);
  virtual void DoDataSetAfterRefresh(TDataSet& aDataSet);
  // Raise the record events of the same name.
  virtual void DoBeforeNewRecord(TtvqWSConnection*, TDataSet&, const ItvqObjectJSON&, bool& aHandled);
  virtual void DoBeforeUpdateRecord(TtvqWSConnection*, TDataSet&, const ItvqObjectJSON&, bool& aHandled);
  virtual void DoBeforeDeleteRecord(TtvqWSConnection*, TDataSet&, const ItvqObjectJSON&, bool& aHandled);
  virtual void DoAfterNewRecord(TtvqWSConnection*, TDataSet&);
  virtual void DoAfterUpdateRecord(TtvqWSConnection*, TDataSet&);
  virtual void DoAfterDeleteRecord(TtvqWSConnection*, TDataSet&);

  void DoBrokerConnect(TtvqWSConnection* aConnection) override;
  void DoBroadcastMessage(TtvqWSMessage& aMessage, const std::string& aChannel, const std::string& aExclude,
                          const std::string& aInclude) override;
  void DoDispatchMessage(TtvqWSConnection* aConnection, const std::string& aText) override;
  // A read-only connection's record messages (new, update, delete) are
  // refused besides what the base refuses.
  bool IsEditAllowed(TtvqWSConnection* aConnection, const TtvqWSMessage& aMessage) override;

 private:
  // Writes the envelope for aMethod and sends it to one connection.
  void SendTo(TtvqWSConnection* aConnection, const char* aMethod, const std::string& aChannel = {});
  void BroadcastCurrentRecord(const std::string& aChannel);
  void Unhook();

  TDataSet* FDataSet = nullptr;
  TDataSetNotifyEvent FKeptAfterPost, FKeptBeforeDelete, FKeptAfterRefresh;
  bool FHooked = false;
  std::unique_ptr<TtvqWSMessageDataset> FMessage;
};

// The component the server window places.
class TtvqWSPServer_Dataset : public TtvqWSProtocol_dataset_server {};
