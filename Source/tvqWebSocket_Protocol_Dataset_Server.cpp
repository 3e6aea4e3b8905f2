#include "tvqWebSocket_Protocol_Dataset_Server.h"

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
    m.OnBeforeNewRecord = [this](TtvqWSConnection* c, TDataSet& d, const ItvqObjectJSON& j, bool& h) {
      if (OnBeforeNewRecord) OnBeforeNewRecord(c, d, j, h);
    };
    m.OnBeforeUpdateRecord = [this](TtvqWSConnection* c, TDataSet& d, const ItvqObjectJSON& j, bool& h) {
      if (OnBeforeUpdateRecord) OnBeforeUpdateRecord(c, d, j, h);
    };
    m.OnBeforeDeleteRecord = [this](TtvqWSConnection* c, TDataSet& d, const ItvqObjectJSON& j, bool& h) {
      if (OnBeforeDeleteRecord) OnBeforeDeleteRecord(c, d, j, h);
    };
    m.OnAfterNewRecord = [this](TtvqWSConnection* c, TDataSet& d) {
      if (OnAfterNewRecord) OnAfterNewRecord(c, d);
    };
    m.OnAfterUpdateRecord = [this](TtvqWSConnection* c, TDataSet& d) {
      if (OnAfterUpdateRecord) OnAfterUpdateRecord(c, d);
    };
    m.OnAfterDeleteRecord = [this](TtvqWSConnection* c, TDataSet& d) {
      if (OnAfterDeleteRecord) OnAfterDeleteRecord(c, d);
    };
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

// Every text starts from an empty envelope: nothing of the last text it
// read (an "id", a "qos") is carried into it.
void TtvqWSProtocol_dataset_server::BroadcastCurrentRecord(const std::string& aChannel) {
  if (!FDataSet) return;
  TtvqWSMessageDataset& message = DatasetMessage();
  message.DoEnterWrite(true);
  message.method = Record;
  message.Channel = aChannel;
  message.Guid = Guid;
  message.Text.clear();
  TtvqWSProtocol_tvq_Server::DoBroadcastMessage(message, aChannel, "", "");
}

// Only the dataset envelope carries records: any other envelope (a client's
// "tvq@broadcast", a publish) is broadcast as the base server writes it.
void TtvqWSProtocol_dataset_server::DoBroadcastMessage(TtvqWSMessage& aMessage, const std::string& aChannel,
                                                       const std::string& aExclude, const std::string& aInclude) {
  if (FMessage && &aMessage == FMessage.get()) {
    TtvqWSMessageDataset& message = *FMessage;
    message.DoEnterWrite(false);
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
    ~End() noexcept(false) {
      server.DatasetMessage().WholeRecords = false;
      if (std::uncaught_exceptions() > 0) {
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
void TtvqWSProtocol_dataset_server::DoEventConnect(TtvqWSConnection* aConnection) {
  DoBrokerConnect(aConnection);
  TtvqWSProtocol_Subscription_Server_Base::DoEventConnect(aConnection);  // OnConnect
}

void TtvqWSProtocol_dataset_server::DoBrokerConnect(TtvqWSConnection* aConnection) {
  TtvqWSProtocol_tvq_Server::DoBrokerConnect(aConnection);
  if (!AutoSynchronize) return;
  DoMetaData(aConnection);
  DoSynchronize(aConnection);
}

TtvqWSMessage* TtvqWSProtocol_dataset_server::GetConnectionMessage(TtvqWSConnection* aConnection) {
  FLastMessage = TtvqWSProtocol_tvq_Server::GetConnectionMessage(aConnection);
  return FLastMessage;
}

void TtvqWSProtocol_dataset_server::DoDispatchMessage(TtvqWSConnection* aConnection, const std::string& aText) {
  if (ApplyUpdates && FDataSet) DatasetMessage().Read(aConnection, aText);
  const std::string method = GetConnectionMessage(aConnection)->method;
  if (method == ReqRecords)
    DoSynchronize(aConnection);
  else if (method == ReqMetaData)
    DoMetaData(aConnection);
  else
    TtvqWSProtocol_tvq_Server::DoDispatchMessage(aConnection, aText);
}
