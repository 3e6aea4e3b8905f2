#include "tvqWebSocket_Protocol_Base_Message.h"

const ItvqJSON& TtvqWSMessage_Base::JSON() {
  if (!FJSON) FJSON = CreateJSONDocument();
  return FJSON;
}

TtvqJSON& TtvqWSMessage_Base::Target(const ItvqObjectJSON& aNode) { return aNode ? *aNode->JSONObject() : *JSON(); }

void TtvqWSMessage_Base::Clear(bool aForceClear) {
  if ((IsReading || IsWriting) && !aForceClear) return;
  if (FJSON) FJSON->Clear();
  IsWriting = true;
}

TtvqJSONValue TtvqWSMessage_Base::ReadJSONValue(const std::string& aName, const ItvqObjectJSON& aNode) {
  try {
    ItvqObjectJSON node = Target(aNode).GetNode(aName);
    return node ? node->GetValue() : TtvqJSONValue{};
  } catch (...) {
    return std::string();
  }
}

TtvqJSONValue TtvqWSMessage_Base::ReadJSONItem(int aIndex, const ItvqObjectJSON& aNode) {
  try {
    ItvqObjectJSON node = Target(aNode).GetItem(aIndex);
    return node ? node->GetValue() : TtvqJSONValue{};
  } catch (...) {
    return std::string();
  }
}

void TtvqWSMessage_Base::WriteJSONValue(const std::string& aName, const std::string& aValue,
                                        const ItvqObjectJSON& aNode) {
  Target(aNode).AddPair(aName, aValue);
}
void TtvqWSMessage_Base::WriteJSONValue(const std::string& aName, std::int32_t aValue, const ItvqObjectJSON& aNode) {
  Target(aNode).AddPair(aName, aValue);
}
void TtvqWSMessage_Base::WriteJSONValue(const std::string& aName, std::int64_t aValue, const ItvqObjectJSON& aNode) {
  Target(aNode).AddPair(aName, aValue);
}
void TtvqWSMessage_Base::WriteJSONValue(const std::string& aName, double aValue, const ItvqObjectJSON& aNode) {
  Target(aNode).AddPair(aName, aValue);
}
void TtvqWSMessage_Base::WriteJSONValue(const std::string& aName, bool aValue, const ItvqObjectJSON& aNode) {
  Target(aNode).AddPair(aName, aValue);
}

ItvqObjectJSON TtvqWSMessage_Base::WriteJSONObject(const std::string& aName, const std::string& aText,
                                                   const ItvqObjectJSON& /*aNode*/) {
  if (ItvqObjectJSON node = JSON()->GetNode(aName)) {
    node->JSONObject()->Read(aText);
    return node;
  }
  return JSON()->AddObject(aName, aText);
}

void TtvqWSMessage_Base::Read(const std::string& /*aMessage*/) { DoLeaveRead(); }

std::string TtvqWSMessage_Base::Write() {
  struct Leave {
    TtvqWSMessage_Base& message;
    ~Leave() { message.DoLeaveWrite(); }
  } leave{*this};
  return JSON()->GetText();
}

// Every read starts from empty fields: a member that the text does not carry
// must not keep the value of an earlier message (a stale "qos" or "channel"
// would change what the next message does).
void TtvqWSMessage_Base::DoEnterRead(const std::string& aText) {
  if (IsReading) return;
  Clear(true);
  IsReading = true;
  JSON()->Read(aText);
}

void TtvqWSMessage_Base::DoLeaveRead() {
  IsReading = false;
  if (FJSON) FJSON->Clear();
}

void TtvqWSMessage_Base::DoEnterWrite(bool aForceClear) {
  if (IsWriting && !aForceClear) return;
  Clear(aForceClear);
  IsWriting = true;
}

void TtvqWSMessage_Base::DoLeaveWrite() {
  IsWriting = false;
  Clear(false);
}
