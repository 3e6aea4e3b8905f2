#include "tvqWebSocket_Protocol_tvq_Message.h"

#include <cerrno>
#include <cstdlib>

#include "tvqWebSocket_Classes.h"

std::string tvqQoSName(TwsQoS aLevel) { return "qosLevel" + std::to_string(static_cast<int>(aLevel)); }
std::string tvqQueueName(TwsQueue aLevel) { return "queueLevel" + std::to_string(static_cast<int>(aLevel)); }

namespace {

bool IsOneOf(const std::string& aMethod, std::initializer_list<const char*> aMethods) {
  for (const char* m : aMethods)
    if (aMethod == m) return true;
  return false;
}

// The error code as an integer: the leading integer of its text, 0 when
// there is none; out-of-range values are clamped.
std::int32_t ToCode(const std::string& aText) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(aText.c_str(), &end, 10);
  if (end == aText.c_str()) return 0;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace

const ItvqJSON& TtvqWSMessage::JSONResult() {
  if (!FJSONResult) FJSONResult = CreateJSONDocument();
  return FJSONResult;
}

void TtvqWSMessage::Clear(bool aForceClear) {
  if ((IsReading || IsWriting) && !aForceClear) return;
  Text.clear();
  Channel.clear();
  errorcode = 0;
  errordata.clear();
  errormessage.clear();
  Guid.clear();
  id.clear();
  method.clear();
  params.clear();
  result.clear();
  QoS.clear();
  Queue.clear();
  if (FJSONResult) FJSONResult->Clear();
  TtvqWSMessage_Base::Clear(aForceClear);
}

void TtvqWSMessage::Read(const std::string& aMessage) {
  // The reading state is left on every way out, so that a failure never
  // keeps the next text from being read.
  try {
    DoEnterRead(aMessage);
    // A raw control character inside a string is not JSON either: relayed
    // as it stands, it would reach the other clients as text they cannot
    // read.
    if (ReadJSONText("jsonrpc") != "2.0" || tvqJSONHasRawControl(*JSON()))
      throw TtvqWSException("Error decoding message.");
    const TtvqJSON& root = *JSON();
    if (const ItvqObjectJSON node = root.GetNode("result")) {
      result = ReadJSONText("result");
      if (node->JSONType == tvqJSONObject) {
        method = ReadJSONText("method", node);
        Text = ReadJSONText("message", node);
        Channel = ReadJSONText("channel", node);
      }
    } else if (const ItvqObjectJSON error = root.GetNode("error")) {
      method.clear();
      if (error->JSONType == tvqJSONObject) {
        errorcode = ToCode(ReadJSONText("code", error));
        errormessage = ReadJSONText("message", error);
        errordata = ReadJSONText("data", error);
      }
    } else {
      method = ReadJSONText("method");
      params = ReadJSONText("params");
      ReadParams();
    }
    if (QoS.empty()) QoS = ReadJSONText("qos");
    id = ReadJSONText("id");
  } catch (...) {
    DoLeaveRead();
    throw;
  }
  TtvqWSMessage_Base::Read(aMessage);
}

// Object params are taken from the tree the text was read into: reading
// their text again would hold a second tree of the same values at once
// (one text of a large params array cost twice its tree). Params that are
// a list name nothing; only a string is read on its own.
void TtvqWSMessage::ReadParams() {
  ItvqJSON document;
  const ItvqObjectJSON node = IsReading ? JSON()->GetNode("params") : nullptr;
  if (node && node->JSONType == tvqJSONList) return;
  if (node && node->JSONType == tvqJSONObject) {
    document = node->JSONObject();
  } else {
    document = CreateJSONDocument();
    document->Read(params);
  }
  const auto copy = [&](const char* aName, std::string& aField) {
    if (const ItvqObjectJSON node = document->GetNode(aName)) aField = tvqJSONValueText(node->GetValue());
  };
  using namespace tvqMethod;
  if (IsOneOf(method, {Broadcast, Message})) {
    copy("message", Text);
    copy("channel", Channel);
  } else if (IsOneOf(method, {Publish, Event})) {
    copy("message", Text);
    copy("channel", Channel);
    copy("qos", QoS);
    copy("queue", Queue);
  } else if (IsOneOf(method, {Subscribe, UnSubscribe, UnSubscribeAll, Transaction, Commit, Rollback})) {
    copy("channel", Channel);
  } else {
    copy("qos", QoS);
    copy("queue", Queue);
  }
}

bool TtvqWSMessage::WriteResultObject() {
  using namespace tvqMethod;
  const auto object = [&] { return JSON()->AddObject("result", ""); };
  if (IsOneOf(method, {Subscribe, UnSubscribe})) {
    const ItvqObjectJSON node = object();
    WriteJSONValue("method", method, node);
    WriteJSONValue("channel", Channel, node);
  } else if (method == UnSubscribeAll) {
    const ItvqObjectJSON node = object();
    WriteJSONValue("method", method, node);
    WriteJSONValue("channel", "", node);
  } else if (IsOneOf(method, {Broadcast, Message})) {
    const ItvqObjectJSON node = object();
    WriteJSONValue("method", tvqMethod::Message, node);
    WriteJSONValue("channel", Channel, node);
    WriteJSONValue("message", Text, node);
  } else if (IsOneOf(method, {Publish, Event})) {
    const ItvqObjectJSON node = object();
    WriteJSONValue("method", method, node);
    WriteJSONValue("channel", Channel, node);
    WriteJSONValue("message", Text, node);
    if (!QoS.empty()) WriteJSONValue("qos", QoS, node);
    if (!Queue.empty()) WriteJSONValue("queue", Queue, node);
  } else if (method == Session) {
    const ItvqObjectJSON node = object();
    WriteJSONValue("method", method, node);
    WriteJSONValue("message", Text, node);
  } else if (method == PubRec) {
    WriteJSONValue("method", method, object());
  } else {
    return false;
  }
  return true;
}

void TtvqWSMessage::WriteParams() {
  if (!params.empty()) {
    WriteJSONValue("params", params);
    return;
  }
  if (Text.empty() && Channel.empty() && QoS.empty()) return;
  const ItvqObjectJSON node = JSON()->AddObject("params", "");
  if (!Text.empty()) WriteJSONValue("message", Text, node);
  if (!Channel.empty()) WriteJSONValue("channel", Channel, node);
  if (!QoS.empty()) WriteJSONValue("qos", QoS, node);
  if (!Queue.empty()) WriteJSONValue("queue", Queue, node);
}

std::string TtvqWSMessage::Write() {
  try {
    DoEnterWrite(false);
    WriteJSONValue("jsonrpc", version);
    if (errorcode != 0) {
      const ItvqObjectJSON node = JSON()->AddObject("error", "");
      WriteJSONValue("code", errorcode, node);
      WriteJSONValue("message", errormessage, node);
      if (!errordata.empty()) WriteJSONValue("data", errordata, node);
    } else if (FJSONResult && FJSONResult->GetCount() > 0) {
      // The document itself, not its text read again: its strings are
      // written exactly as they were added.
      JSON()->AddObject("result", "")->SetJSONObject(FJSONResult);
    } else if (!result.empty()) {
      if (!WriteResultObject()) WriteJSONValue("result", result);
    } else {
      WriteJSONValue("method", method);
      WriteParams();
    }
    if (!QoS.empty()) WriteJSONValue("qos", QoS);
    if (!id.empty()) WriteJSONValue("id", id);
  } catch (...) {
    DoLeaveWrite();
    throw;
  }
  return TtvqWSMessage_Base::Write();
}
