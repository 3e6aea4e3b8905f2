#include "tvqJSON.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

std::string RoundTrip(std::string_view aText) {
  TtvqJSON document;
  document.Read(aText);
  return document.GetText();
}

TEST(TtvqJSON, ReadsTolerantlyAndWritesCompactly) {
  struct Case {
    std::string name, in, out;
  };
  for (const Case& c : {
           Case{"empty text", "", "{}"},
           Case{"blank before the bracket", " [1]", "{}"},
           Case{"array without commas", "[1 2,]", "[1,2]"},
           Case{"members separated by a blank", "{\"a\":1 \"b\":2,}", "{\"a\":1,\"b\":2}"},
           Case{"comments", "{\"a\":1, # a comment\n \"b\":TRUE}", "{\"a\":1,\"b\":true}"},
           Case{"case of words", "{\"t\":True,\"f\":FALSE,\"n\":Null}", "{\"t\":true,\"f\":false,\"n\":null}"},
           Case{"strings undecoded", "{\"s\":\"a\\\"b\\u00e9\"}", "{\"s\":\"a\\\"b\\u00e9\"}"},
           Case{"numbers as read", "{\"n\":+007.50,\"e\":-1E+3}", "{\"n\":+007.50,\"e\":-1E+3}"},
           Case{"number starting with a point", "{\"a\":1,\"b\":.5,\"c\":3}", "{\"a\":1}"},
           Case{"number ending with a point", "{\"a\":1,\"b\":1.,\"c\":3}", "{\"a\":1}"},
           Case{"word cut short", "{\"a\":1,\"b\":tru}", "{\"a\":1}"},
           Case{"nested", "{\"p\":{\"q\":[1,{\"r\":\"s\"}],\"e\":[]}}", "{\"p\":{\"q\":[1,{\"r\":\"s\"}],\"e\":[]}}"},
           Case{"duplicate names kept", "{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}"},
           Case{"unterminated object keeps what came", "{\"a\":1,\"b\":", "{\"a\":1}"},
           Case{"trailing text ignored", "{\"a\":1} junk", "{\"a\":1}"},
           Case{"escaped backslash before the quote", "{\"s\":\"x\\\\\",\"t\":1}", "{\"s\":\"x\\\\\",\"t\":1}"},
       }) {
    EXPECT_EQ(RoundTrip(c.in), c.out) << c.name;
  }
}

TEST(TtvqJSON, LooksUpTheFirstNodeOfAName) {
  TtvqJSON document;
  document.Read("{\"a\":1,\"a\":2,\"A\":3}");
  ASSERT_EQ(document.GetCount(), 3);
  EXPECT_EQ(document.GetNode("a")->ValueText(), "1");
  EXPECT_EQ(document.GetNode("A")->ValueText(), "3");  // case counts
  EXPECT_EQ(document.GetNode("b"), nullptr);
  EXPECT_EQ(document.GetItem(3), nullptr);
}

TEST(TtvqJSON, BuildsMessagesInInsertionOrder) {
  TtvqJSON document;
  document.AddPair("jsonrpc", "2.0");
  document.AddObject("params", "")->JSONObject()->AddPair("channel", "a");
  document.AddPair("id", 5);
  EXPECT_EQ(document.GetText(), "{\"jsonrpc\":\"2.0\",\"params\":{\"channel\":\"a\"},\"id\":5}");
}

TEST(TtvqJSON, AddingAgainReplacesTheValueInPlace) {
  TtvqJSON document;
  document.AddPair("a", "first");
  document.AddPair("b", 1);
  document.AddPair("a", "second");
  EXPECT_EQ(document.GetText(), "{\"a\":\"second\",\"b\":1}");
}

TEST(TtvqJSON, StringsThatAreJSONGoOutRaw) {
  TtvqJSON document;
  document.AddPair("x", "[1,2]");
  document.AddPair("o", "{\"k\":1}");
  document.AddPair("q", "\"already quoted\"");
  document.AddPair("u", "say \"hi\"");
  EXPECT_EQ(document.GetText(), "{\"x\":[1,2],\"o\":{\"k\":1},\"q\":\"already quoted\",\"u\":\"say \"hi\"\"}");
}

TEST(TtvqJSON, WritesNumbersInTheGeneralFormat) {
  struct Case {
    TtvqJSONValue value;
    std::string text;
  };
  for (const Case& c : {Case{0.1, "0.1"}, Case{1e20, "1E20"}, Case{std::int32_t{-5}, "-5"}, Case{1.5, "1.5"},
                        Case{100.0, "100"}, Case{1.0 / 3.0, "0.333333333333333"}, Case{1.5e-6, "1.5E-6"},
                        Case{0.00001, "0.00001"}, Case{0.0, "0"}, Case{-2.5e-7, "-2.5E-7"},
                        Case{123456789012345.0, "123456789012345"}, Case{1234567890123456.0, "1.23456789012346E15"},
                        Case{std::int64_t{1} << 40, "1099511627776"}, Case{true, "true"}}) {
    EXPECT_EQ(tvqJSONValueText(c.value), c.text) << c.text;
  }
}

TEST(TtvqJSON, EmptyContainersAreWrittenAsSuch) {
  TtvqJSON array;
  array.IsArray = true;
  EXPECT_EQ(array.GetText(), "[]");
  TtvqJSON document;
  document.AddArray("list", "");
  document.AddObject("object", "");
  EXPECT_EQ(document.GetText(), "{\"list\":[],\"object\":{}}");
  EXPECT_EQ(std::get<std::string>(document.GetNode("list")->GetValue()), "[]");
}

TEST(TtvqJSON, EscapesWhenAsked) {
  TtvqJSON document;
  document.EscapeStrings = true;
  document.AddPair("v", "a/b\t\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(document.GetNode("v")->ValueText(), "a\\/b\\t\\u00E9\\uD83D\\uDE00");
  EXPECT_EQ(tvqJSONEscape(std::string("\x01\x7F\"\\", 4)), "\\u0001\x7F\\\"\\\\");
}

TEST(TtvqJSON, AHeldNodeOutlivesItsDocument) {
  ItvqObjectJSON held;
  {
    ItvqJSON document = CreateJSONDocument();
    document->Read("{\"result\":{\"method\":\"tvq@dataset\"}}");
    held = document->GetNode("result");
    document->Clear();
  }
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->GetNode("method")->ValueText(), "tvq@dataset");
  EXPECT_EQ(std::get<std::string>(held->GetValue()), "{\"method\":\"tvq@dataset\"}");
}

TEST(TtvqJSON, NestingIsBounded) {
  const auto nested = [](int aDepth) {
    return "{\"a\":" + std::string(static_cast<std::size_t>(aDepth), '[') +
           std::string(static_cast<std::size_t>(aDepth), ']') + "}";
  };
  TtvqJSON document;
  document.Read(nested(tvqJSONMaxDepth));
  EXPECT_EQ(document.GetText(), nested(tvqJSONMaxDepth));
  document.Read(nested(tvqJSONMaxDepth + 1));
  EXPECT_EQ(document.GetText(), "{}");  // the member too deep is not complete
  // A message of brackets ends the reading instead of the stack.
  document.Read(std::string(4 << 20, '['));
  EXPECT_EQ(document.GetText(), "[]");
}

}  // namespace
