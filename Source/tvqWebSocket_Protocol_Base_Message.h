// Public: the base of every sub-protocol message envelope. An envelope
// decodes one incoming text into fields and encodes its fields into one
// outgoing text, through a JSON document it owns.
//
// States: idle; reading (from DoEnterRead until DoLeaveRead); writing (from
// a Clear or DoEnterWrite until DoLeaveWrite). An envelope is used by one
// thread at a time: EnterCS/LeaveCS take its own lock.
#pragma once

#include <cstdint>
#include <string>

#include "tvqJSON.h"
#include "tvqWebSocket_Classes_SyncObjs.h"

class TtvqWSMessage_Base {
 public:
  TtvqWSMessage_Base() = default;
  TtvqWSMessage_Base(const TtvqWSMessage_Base&) = delete;
  TtvqWSMessage_Base& operator=(const TtvqWSMessage_Base&) = delete;
  virtual ~TtvqWSMessage_Base() = default;

  bool IsReading = false;
  bool IsWriting = false;
  std::uint32_t ThreadId = 0;
  std::string ConnectionId;
  bool EncodeBase64 = true;

  virtual void EnterCS() { FCS.Acquire(); }
  virtual void LeaveCS() { FCS.Release(); }

  // Empties the document (subclasses: also their fields) when idle, or
  // always when forced; the envelope is then writing.
  virtual void Clear(bool aForceClear = false);

  // A member of aNode's child document, or of the root without a node: an
  // object or list member yields its JSON text, anything else its stored
  // value; empty when absent. Never raises.
  virtual TtvqJSONValue ReadJSONValue(const std::string& aName, const ItvqObjectJSON& aNode = nullptr);
  // The same by position.
  virtual TtvqJSONValue ReadJSONItem(int aIndex, const ItvqObjectJSON& aNode = nullptr);
  // The value of ReadJSONValue as text.
  std::string ReadJSONText(const std::string& aName, const ItvqObjectJSON& aNode = nullptr) {
    return tvqJSONValueText(ReadJSONValue(aName, aNode));
  }

  // Adds (or replaces) a pair in aNode's child document, or in the root.
  virtual void WriteJSONValue(const std::string& aName, const std::string& aValue, const ItvqObjectJSON& aNode = nullptr);
  virtual void WriteJSONValue(const std::string& aName, std::int32_t aValue, const ItvqObjectJSON& aNode = nullptr);
  virtual void WriteJSONValue(const std::string& aName, std::int64_t aValue, const ItvqObjectJSON& aNode = nullptr);
  virtual void WriteJSONValue(const std::string& aName, double aValue, const ItvqObjectJSON& aNode = nullptr);
  virtual void WriteJSONValue(const std::string& aName, bool aValue, const ItvqObjectJSON& aNode = nullptr);
  void WriteJSONValue(const std::string& aName, const char* aValue, const ItvqObjectJSON& aNode = nullptr) {
    WriteJSONValue(aName, std::string(aValue), aNode);
  }

  // Decodes aMessage (the base only leaves the reading state).
  virtual void Read(const std::string& aMessage);
  // The encoded text; the writing state is left (and the fields cleared)
  // also when the text could not be produced.
  virtual std::string Write();

  // The root document, made on first use.
  const ItvqJSON& JSON();

  void DoEnterRead(const std::string& aText);
  void DoLeaveRead();
  void DoEnterWrite(bool aForceClear);
  void DoLeaveWrite();
  // A root member holding an object: re-read from aText when the root has
  // one of that name, added otherwise.
  ItvqObjectJSON WriteJSONObject(const std::string& aName, const std::string& aText,
                                 const ItvqObjectJSON& aNode = nullptr);

 private:
  // The document a value goes to or comes from.
  TtvqJSON& Target(const ItvqObjectJSON& aNode);

  TtvqCriticalSection FCS;
  ItvqJSON FJSON;
};
