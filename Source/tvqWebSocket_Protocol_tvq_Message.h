// Public: the envelope of the base sub-protocol (JSON-RPC 2.0 shaped texts)
// and the QoS records its server keeps.
//
// Reading decodes one text into string fields; writing encodes the fields
// into one compact text, members in a fixed order. Values are neither
// validated nor escaped by the envelope; a value that begins with "{" or
// "[" travels as raw JSON.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tvqWebSocket_Protocol_Base_Message.h"

// The method vocabulary of the base sub-protocol.
namespace tvqMethod {
inline constexpr const char* Session = "tvq@session";
inline constexpr const char* Subscribe = "tvq@subscribe";
inline constexpr const char* UnSubscribe = "tvq@unsubscribe";
inline constexpr const char* UnSubscribeAll = "tvq@unsubscribe_all";
inline constexpr const char* Publish = "tvq@publish";
inline constexpr const char* Event = "tvq@event";
inline constexpr const char* Broadcast = "tvq@broadcast";
inline constexpr const char* Message = "tvq@message";
inline constexpr const char* Acknowledgment = "tvq@acknowledgment";
inline constexpr const char* PubRec = "tvq@pubrec";
inline constexpr const char* PubRel = "tvq@pubrel";
inline constexpr const char* Transaction = "tvq@transaction";
inline constexpr const char* Commit = "tvq@commit";
inline constexpr const char* Rollback = "tvq@rollback";
inline constexpr const char* Protocol = "tvq@protocol";
}  // namespace tvqMethod

// A client's question what it may do (answered by the server with its user,
// "edit" and "publish"); named apart from the methods above, whose list
// belongs to the protocol as it always was.
inline constexpr const char* tvqMethodAccess = "tvq@access";

// The one error the base sub-protocol makes itself.
inline constexpr int tvqMethodNotFoundCode = -32601;
inline constexpr const char* tvqMethodNotFoundMessage =
    "Method not found. The method does not exist / is not available.";

// The answer to a request that the connection may not make (a read-only
// connection's edit, a publish where clients may not publish).
inline constexpr int tvqNotAllowedCode = -32001;
inline constexpr const char* tvqNotAllowedMessage = "Not allowed: read-only access";
// A request refused because it would pass one of the server's limits, and
// one whose arguments are not of the right kind; the messages say what
// ("Limit reached: 256 channels per connection", "Invalid params: ID must
// be an integer").
inline constexpr int tvqLimitReachedCode = -32002;
inline constexpr const char* tvqLimitReachedPrefix = "Limit reached: ";
inline constexpr int tvqInvalidParamsCode = -32602;
inline constexpr const char* tvqInvalidParamsPrefix = "Invalid params: ";

enum TwsQoS { qosLevel0, qosLevel1, qosLevel2 };
enum TwsQueue { queueLevel0, queueLevel1, queueLevel2 };

// The wire names: "qosLevel0".."qosLevel2", "queueLevel0".."queueLevel2".
std::string tvqQoSName(TwsQoS aLevel);
std::string tvqQueueName(TwsQueue aLevel);

struct TtvqWSQoS_Options {
  TwsQoS Level = qosLevel0;
  int Interval = 60;  // seconds
  int Timeout = 300;  // seconds
};

// A message sent at QoS level 1 or 2 and not yet acknowledged.
struct TtvqWSQoSItem {
  std::string Guid;  // the receiving connection
  std::chrono::system_clock::time_point Date;
  std::string ID;
  std::string Text;
};
using TtvqWSQoSList = std::vector<std::unique_ptr<TtvqWSQoSItem>>;

class TtvqWSMessage : public TtvqWSMessage_Base {
 public:
  std::int32_t errorcode = 0;
  std::string errordata;
  std::string errormessage;
  std::string Guid;  // the connection the message concerns; never written
  std::string id;
  std::string method;
  std::string params;  // the raw JSON text of "params"
  // Reading: the raw text of "result". Writing: selects the result form.
  std::string result;
  std::string Text;  // "message"
  std::string version = "2.0";
  std::string QoS;
  std::string Queue;
  std::string Channel;

  // An optional structured result, made on first use.
  const ItvqJSON& JSONResult();

  void Clear(bool aForceClear = false) override;
  // Raises TtvqWSException "Error decoding message." for a text that is not
  // JSON-RPC 2.0, or whose strings hold raw control characters; the
  // envelope is then idle again.
  void Read(const std::string& aMessage) override;
  std::string Write() override;
  // Copies the members of params that the method uses.
  virtual void ReadParams();

 protected:
  // The members of a request's params, in their fixed order.
  void WriteParams();
  // The result object of a known method; false for any other method.
  bool WriteResultObject();

 private:
  ItvqJSON FJSONResult;
};
