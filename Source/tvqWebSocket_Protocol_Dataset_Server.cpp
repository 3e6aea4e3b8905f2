#include "tvqWebSocket_Protocol_Dataset_Server.h"

#include <functional>

using namespace tvqDatasetMethod;

TtvqWSProtocol_dataset_server::TtvqWSProtocol_dataset_server() { Protocol = tvqDatasetSubProtocol; }

TtvqWSProtocol_dataset_server::~TtvqWSProtocol_dataset_server() {
  StopDeliveries();
  SetServer(nullptr);
  SetDataSet(nullptr);
}

TtvqWSMessageDataset& TtvqWSProtocol_dataset_server::DatasetMessage() {
  if (!FMessage) {
    FMessage = std::make_unique<TtvqWSMessageDataset>();
    TtvqWSMessageDataset& m = *FMessage;
    using namespace std::placeholders;
    m.OnBeforeNewRecord = std::bind(&TtvqWSProtocol_dataset_server::DoBeforeNewRecord, this, _1, _2, _3, _4);
    m.OnBeforeUpdateRecord = std::bind(&TtvqWSProtocol_dataset_server::DoBeforeUpdateRecord, this, _1, _2, _3, _4);
    m.OnBeforeDeleteRecord = std::bind(&TtvqWSProtocol_dataset_server::DoBeforeDeleteRecord, this, _1, _2, _3, _4);
    m.OnAfterNewRecord = std::bind(&TtvqWSProtocol_dataset_server::DoAfterNewRecord, this, _1, _2);
    m.OnAfterUpdateRecord = std::bind(&TtvqWSProtocol_dataset_server::DoAfterUpdateRecord, this, _1, _2);
    m.OnAfterDeleteRecord = std::bind(&TtvqWSProtocol_dataset_server::DoAfterDeleteRecord, this, _1, _2);
    m.OnBeforeDatasetUpdate = [this](TtvqWSConnection* c, const ItvqObjectJSON& j, bool& h) {
      if (OnBeforeDatasetUpdate) OnBeforeDatasetUpdate(c, j, h);
    };
    m.UpdateMode = UpdateMode;
    m.AutoEscapeText = AutoEscapeText;
    m.EncodeBase64 = EncodeBase64;
    m.FormatSettings = FormatSettings;
  }
  return *FMessage;
}

#define TVQ_RAISE_BEFORE(Name)                                                                                 \
  void TtvqWSProtocol_dataset_server::Do##Name(TtvqWSConnection* aConnection, TDataSet& aDataSet,              \
                                               const ItvqObjectJSON& aRecord, bool& aHandled) {                \
    if (On##Name) On##Name(aConnection, aDataSet, aRecord, aHandled);                                          \
  }
#define TVQ_RAISE_AFTER(Name)                                                                                  \
  void TtvqWSProtocol_dataset_server::Do##Name(TtvqWSConnection* aConnection, TDataSet& aDataSet) {            \
    if (On##Name) On##Name(aConnection, aDataSet);                                                             \
  }
TVQ_RAISE_BEFORE(BeforeNewRecord)
TVQ_RAISE_BEFORE(BeforeUpdateRecord)
TVQ_RAISE_BEFORE(BeforeDeleteRecord)
TVQ_RAISE_AFTER(AfterNewRecord)
TVQ_RAISE_AFTER(AfterUpdateRecord)
TVQ_RAISE_AFTER(AfterDeleteRecord)
#undef TVQ_RAISE_BEFORE
#undef TVQ_RAISE_AFTER

// ---------------------------------------------------------------- the table

void TtvqWSProtocol_dataset_server::SetDataSet(TDataSet* aDataSet) {
  if (aDataSet == FDataSet) return;
  // The envelope watches the table on top of this component's hooks: it
  // lets go first.
  if (FMessage) FMessage->SetDataSet(nullptr);
  Unhook();
  FDataSet = aDataSet;
  if (!FDataSet) return;
  FKeptAfterPost = FDataSet->AfterPost;
  FKeptBeforeDelete = FDataSet->BeforeDelete;
  FKeptAfterRefresh = FDataSet->AfterRefresh;
  FDataSet->AfterPost = [this](TDataSet& d) { DoDataSetAfterPost(d); };
  FDataSet->BeforeDelete = [this](TDataSet& d) { DoDataSetBeforeDelete(d); };
  FDataSet->AfterRefresh = [this](TDataSet& d) { DoDataSetAfterRefresh(d); };
  FHooked = true;
  DatasetMessage().SetDataSet(FDataSet);
}

void TtvqWSProtocol_dataset_server::Unhook() {
  if (!FHooked || !FDataSet) return;
  FDataSet->AfterPost = std::move(FKeptAfterPost);
  FDataSet->BeforeDelete = std::move(FKeptBeforeDelete);
  FDataSet->AfterRefresh = std::move(FKeptAfterRefresh);
  FHooked = false;
}

void TtvqWSProtocol_dataset_server::DoDataSetAfterPost(TDataSet& aDataSet) {
  if (FKeptAfterPost) FKeptAfterPost(aDataSet);
  if (NotifyUpdates) BroadcastCurrentRecord(ChannelUpdate);
}

void TtvqWSProtocol_dataset_server::DoDataSetBeforeDelete(TDataSet& aDataSet) {
  if (FKeptBeforeDelete) FKeptBeforeDelete(aDataSet);
  if (NotifyDeletes) BroadcastCurrentRecord(ChannelDelete);
}

void TtvqWSProtocol_dataset_server::DoDataSetAfterRefresh(TDataSet& aDataSet) {
  if (FKeptAfterRefresh) FKeptAfterRefresh(aDataSet);
  if (NotifyUpdates && UpdateMode == upRefreshAll) BroadcastCurrentRecord(ChannelUpdate);
}

void TtvqWSProtocol_dataset_server::BroadcastRecord() { BroadcastCurrentRecord(ChannelUpdate); }

// ---------------------------------------------------------------- sending

void TtvqWSProtocol_dataset_server::BroadcastCurrentRecord(const std::string& aChannel) {
  if (FDataSet) DoBroadcastMessage(DatasetMessage(), aChannel, "", "");
}

// Only the dataset envelope carries records: any other envelope (a client's
// "tvq@broadcast", a publish) is broadcast as the base server writes it.
// A record starts from an empty envelope: nothing of the last text it read
// (an "id", a "qos") is carried into it.
void TtvqWSProtocol_dataset_server::DoBroadcastMessage(TtvqWSMessage& aMessage, const std::string& aChannel,
                                                       const std::string& aExclude, const std::string& aInclude) {
  if (FMessage && &aMessage == FMessage.get()) {
    TtvqWSMessageDataset& message = *FMessage;
    message.DoEnterWrite(true);
    message.method = Record;
    message.Channel = aChannel;
    message.Guid = Guid;
    message.Text.clear();
  }
  TtvqWSProtocol_tvq_Server::DoBroadcastMessage(aMessage, aChannel, aExclude, aInclude);
}

void TtvqWSProtocol_dataset_server::SendTo(TtvqWSConnection* aConnection, const char* aMethod,
                                           const std::string& aChannel) {
  TtvqWSMessageDataset& message = DatasetMessage();
  message.DoEnterWrite(true);
  message.method = aMethod;
  message.Channel = aChannel;
  WriteToConnection(aConnection, message.Write());
}

void TtvqWSProtocol_dataset_server::DoMetaData(TtvqWSConnection* aConnection) {
  if (!FDataSet || !FDataSet->Active()) return;
  SendTo(aConnection, ReqMetaData);
}

void TtvqWSProtocol_dataset_server::DoSendRecordsStart(TtvqWSConnection* aConnection) {
  SendTo(aConnection, RecordsStart);
}

void TtvqWSProtocol_dataset_server::DoSendRecordsEnd(TtvqWSConnection* aConnection) {
  SendTo(aConnection, RecordsEnd);
}

// The end marker follows also when sending the records fails.
void TtvqWSProtocol_dataset_server::DoSynchronize(TtvqWSConnection* aConnection) {
  if (!FDataSet) return;
  DoSendRecordsStart(aConnection);
  struct End {
    TtvqWSProtocol_dataset_server& server;
    TtvqWSConnection* connection;
    const int unwinding = std::uncaught_exceptions();
    ~End() noexcept(false) {
      server.DatasetMessage().WholeRecords = false;
      if (std::uncaught_exceptions() > unwinding) {
        try {
          server.DoSendRecordsEnd(connection);
        } catch (...) {
        }
      } else {
        server.DoSendRecordsEnd(connection);
      }
    }
  } end{*this, aConnection};
  DatasetMessage().WholeRecords = true;
  FDataSet->First();
  while (!FDataSet->Eof()) {
    SendTo(aConnection, Record, ChannelUpdate);
    FDataSet->Next();
  }
}

// ---------------------------------------------------------------- connections

// The session is sent once, before the field descriptions.
void TtvqWSProtocol_dataset_server::DoBrokerConnect(TtvqWSConnection* aConnection) {
  TtvqWSProtocol_tvq_Server::DoBrokerConnect(aConnection);
  if (!AutoSynchronize) return;
  DoMetaData(aConnection);
  DoSynchronize(aConnection);
}

bool TtvqWSProtocol_dataset_server::IsEditAllowed(TtvqWSConnection* aConnection, const TtvqWSMessage& aMessage) {
  if (aConnection && aConnection->ReadOnly() && aMessage.method == Record) return false;
  return TtvqWSProtocol_tvq_Server::IsEditAllowed(aConnection, aMessage);
}

// A read-only connection's texts never reach the table, whatever they say.
// A refused record is answered with its error (a request without an id
// gets none) and goes no further: nothing of it is applied or broadcast.
void TtvqWSProtocol_dataset_server::DoDispatchMessage(TtvqWSConnection* aConnection, const std::string& aText) {
  if (ApplyUpdates && FDataSet && !(aConnection && aConnection->ReadOnly())) {
    TtvqWSMessageDataset& message = DatasetMessage();
    message.MaxRows = MaxRows;
    try {
      message.Read(aConnection, aText);
    } catch (const EtvqWSRecordRefused& refused) {
      RefuseRequest(aConnection, GetConnectionMessage(aConnection)->id, refused.Code, refused.what());
      return;
    }
  }
  const std::string method = GetConnectionMessage(aConnection)->method;
  if (method == ReqRecords)
    DoSynchronize(aConnection);
  else if (method == ReqMetaData)
    DoMetaData(aConnection);
  else
    TtvqWSProtocol_tvq_Server::DoDispatchMessage(aConnection, aText);
}
