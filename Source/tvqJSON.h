// Public: the small JSON document model every sub-protocol message is read
// into and written from. Tolerant on input (comments with "#", optional
// commas, a leading "+", TRUE/FALSE/NULL in any case), compact on output
// (no whitespace, members in insertion order). Strings are kept exactly as
// they stood between their quotes and numbers as the text read. Nothing
// raises: a text that cannot be read leaves a partial document.
//
// Documents and nodes are shared (reference counted): a node a caller
// holds stays valid after its document was cleared. A document is used by
// one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

enum TtvqJSONtype : std::uint8_t {
  tvqJSONUndefined,
  tvqJSONObject,
  tvqJSONList,
  tvqJSONString,
  tvqJSONNumber,
  tvqJSONBoolean,
  tvqJSONNull,
};

class TtvqJSON;
class TtvqObjectJSON;
using ItvqJSON = std::shared_ptr<TtvqJSON>;
using ItvqObjectJSON = std::shared_ptr<TtvqObjectJSON>;

// Empty, string, 32-bit integer, 64-bit integer, double or boolean.
using TtvqJSONValue = std::variant<std::monostate, std::string, std::int32_t, std::int64_t, double, bool>;

// The text of a value as the writer puts it (numbers in the general
// format, booleans lower case).
std::string tvqJSONValueText(const TtvqJSONValue& aValue);

// One node: a member of an object or an element of a list.
class TtvqObjectJSON {
 public:
  bool Quoted = true;  // whether a string value is written in double quotes
  std::string Name;
  TtvqJSONtype JSONType = tvqJSONUndefined;

  // The child document, made on first use; making it turns a node that is
  // not a list into an object.
  ItvqJSON JSONObject();
  void SetJSONObject(ItvqJSON aDocument);
  bool HasJSONObject() const { return FChild != nullptr; }
  // Drops the child document.
  void Clear() { FChild.reset(); }

  // The child document's nodes (made if needed).
  ItvqObjectJSON GetNode(std::string_view aName);
  void SetNode(std::string_view aName, ItvqObjectJSON aNode);
  ItvqObjectJSON GetItem(int aIndex);
  void SetItem(int aIndex, ItvqObjectJSON aNode);
  int GetCount() const;

  // An object yields its child's text; a list its child's text in
  // brackets; anything else the stored value.
  TtvqJSONValue GetValue();
  void SetValue(TtvqJSONValue aValue) { FValue = std::move(aValue); }
  // The stored value as text ("" when empty).
  std::string ValueText() const { return tvqJSONValueText(FValue); }
  const TtvqJSONValue& Value() const { return FValue; }

  // The node's JSON text, with its name or without.
  std::string Text(bool aNamed);

 private:
  TtvqJSONValue FValue;
  ItvqJSON FChild;
};

class TtvqJSON {
 public:
  bool IsArray = false;
  bool EscapeStrings = false;

  int GetCount() const { return static_cast<int>(FNodes.size()); }
  // The first node of that name (exact), or none.
  ItvqObjectJSON GetNode(std::string_view aName) const;
  // Replaces the first node of that name in place; nothing when none.
  void SetNode(std::string_view aName, ItvqObjectJSON aNode);
  ItvqObjectJSON GetItem(int aIndex) const;
  void SetItem(int aIndex, ItvqObjectJSON aNode);

  // Each add stores into the first node of that name when there is one
  // (its kind and place stay); otherwise it appends a new node.
  ItvqObjectJSON AddPair(std::string_view aName, std::string_view aText);
  ItvqObjectJSON AddPair(std::string_view aName, const char* aText) { return AddPair(aName, std::string_view(aText)); }
  ItvqObjectJSON AddPair(std::string_view aName, std::int32_t aValue);
  ItvqObjectJSON AddPair(std::string_view aName, std::int64_t aValue);
  ItvqObjectJSON AddPair(std::string_view aName, double aValue);
  ItvqObjectJSON AddPair(std::string_view aName, bool aValue);
  // A child document read from aJSON ("" gives an empty one).
  ItvqObjectJSON AddObject(std::string_view aName, std::string_view aJSON);
  ItvqObjectJSON AddArray(std::string_view aName, std::string_view aJSON);

  void Clear() { FNodes.clear(); }
  // Replaces the whole content with what can be read of aText.
  void Read(std::string_view aText);
  // The document as compact JSON.
  std::string GetText() const;

  // Appends a node as it is (the reader's way in).
  void Append(ItvqObjectJSON aNode) { FNodes.push_back(std::move(aNode)); }

 private:
  ItvqObjectJSON Add(std::string_view aName, TtvqJSONtype aType, TtvqJSONValue aValue);
  ItvqObjectJSON AddDocument(std::string_view aName, std::string_view aJSON, TtvqJSONtype aType);

  std::vector<ItvqObjectJSON> FNodes;
};

// The deepest nesting of objects and lists the reader takes; a deeper
// value ends the reading there (the document keeps what was complete).
inline constexpr int tvqJSONMaxDepth = 512;

// A new empty document.
ItvqJSON CreateJSONDocument();

// Whether a member name or a string value anywhere in the document holds a
// raw control character (U+0000..U+001F). JSON allows them only escaped:
// the reader keeps strings as they stood, so such a text would be written
// out again as text that is not JSON.
bool tvqJSONHasRawControl(const TtvqJSON& aDocument);

// The escaping of names and strings when EscapeStrings is on.
std::string tvqJSONEscape(std::string_view aText);
