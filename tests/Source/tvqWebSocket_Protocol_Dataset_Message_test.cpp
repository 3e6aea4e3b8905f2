#include "tvqWebSocket_Protocol_Dataset_Message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../support/JsonRpcTexts.h"
#include "tvqWebSocket_Classes.h"
#include "uDMQuotes.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using test::ClientRecord;

// ---------------------------------------------------------------- value conversions

TEST(DatasetValues, PricesAreWrittenWithTwoDecimalsAndAComma) {
  const std::pair<double, const char*> cases[] = {
      {8265, "8265,00"}, {8265.5, "8265,50"}, {-3.456, "-3,46"}, {0, "0,00"}, {-0.001, "0,00"}, {0.005, "0,01"},
      {1234567.891, "1234567,89"}, {8265.125, "8265,13"}, {-8265.125, "-8265,13"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(tvqFormatPrice(value, ','), text) << value;
}

TEST(DatasetValues, ReceivedPrices) {
  const TtvqWSDatasetFormatSettings settings;
  const std::pair<const char*, double> good[] = {
      {"8265,25", 8265.25}, {"8265", 8265}, {"8265.5", 8265.5}, {"-3,46", -3.46}, {" 7 ", 7}, {"+1,5", 1.5}};
  for (const auto& [text, value] : good) EXPECT_DOUBLE_EQ(tvqReadPrice(text, settings), value) << text;
  for (const char* text : {"8265,2x", "", ",", "1.234,5", "1e999", "nan", "inf", "0x10", "1,2,3"}) {
    try {
      tvqReadPrice(text, settings);
      ADD_FAILURE() << "accepted " << text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(text) + "' is not a valid floating point value");
    }
  }
}

TEST(DatasetValues, DatesInTheShortFormat) {
  const TtvqWSDatasetFormatSettings settings;
  const TDateTime midnight{46366.0};  // 10 December 2026
  EXPECT_EQ(tvqFormatDateTime(midnight, settings), "10/12/2026 00:00:00:000");
  const TDateTime afternoon{46366.0 + (13 * 3600 + 45 * 60 + 30.123) / 86400.0};
  EXPECT_EQ(tvqFormatDateTime(afternoon, settings), "10/12/2026 13:45:30:123 ");
  EXPECT_NEAR(tvqReadDateTime("10/12/2026 13:45:30:123 ", settings).Value, afternoon.Value, 1e-9);
  EXPECT_EQ(tvqReadDateTime("10/12/2026", settings).Value, midnight.Value);
  // Before the epoch the days count down and the time of day still runs up.
  const TDateTime early{-1.25};
  EXPECT_EQ(tvqFormatDateTime(early, settings), "29/12/1899 06:00:00:000 ");
  EXPECT_NEAR(tvqReadDateTime(tvqFormatDateTime(early, settings), settings).Value, early.Value, 1e-9);
  EXPECT_THROW(tvqReadDateTime("31/02/2026", settings), EConvertError);
  EXPECT_THROW(tvqReadDateTime("yesterday", settings), EConvertError);
}

TEST(DatasetValues, Base64BracesAndJSONStrings) {
  EXPECT_EQ(tvqBase64Encode("Symbol"), "U3ltYm9s");
  EXPECT_EQ(tvqBase64Decode("U3ltYm9s"), "Symbol");
  EXPECT_EQ(tvqBase64Decode(""), "");
  EXPECT_EQ(tvqBase64Decode("YQ=="), "a");
  EXPECT_THROW(tvqBase64Decode("Y=Q="), EConvertError);
  EXPECT_THROW(tvqBase64Decode("abc"), EConvertError);

  EXPECT_EQ(tvqEscapeBraces("{a}[b]"), "\\{a\\}\\[b\\]");
  EXPECT_EQ(tvqUnescapeBraces("\\{a\\}\\[b\\]"), "{a}[b]");

  EXPECT_EQ(tvqJSONStringContent("a\"b\\c\n\x01"), "a\\\"b\\\\c\\n\\u0001");
  EXPECT_EQ(tvqJSONStringContent("Caf\xC3\xA9"), "Caf\xC3\xA9");
  EXPECT_EQ(tvqJSONStringContent("bad\xFF" "end\xC3"), "bad\xEF\xBF\xBD" "end\xEF\xBF\xBD");
  EXPECT_EQ(tvqJSONDecodeString("Caf\\u00e9 \\\"q\\\" \\\\ \\n"), "Caf\xC3\xA9 \"q\" \\ \n");
  EXPECT_EQ(tvqJSONDecodeString("\\uD83D\\uDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(tvqJSONDecodeString("\\{kept\\}"), "\\{kept\\}");
  EXPECT_EQ(tvqJSONDecodeString("lone \\uD83D"), "lone \xEF\xBF\xBD");
}

// ---------------------------------------------------------------- the quote table

std::uint64_t FixedCounter() { return 42; }

// The quote table with known values in the row of ID 7.
class QuoteEnvelope : public ::testing::Test {
 protected:
  QuoteEnvelope() {
    quotes.FillQuotes();
    SetRow(7, "Acme", "NYSE", {8265, 8265.5, -3.456, 0});
    message.SetDataSet(&quotes.cdsQuotes);
  }

  void SetRow(int aID, const std::string& aName, const std::string& aExchange, std::array<double, 4> aPrices) {
    ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(aID)));
    quotes.cdsQuotes.Edit();
    quotes.cdsQuotesNAME->SetAsString(aName);
    quotes.cdsQuotesEXCHANGE->SetAsString(aExchange);
    quotes.cdsQuotesOPEN->SetAsFloat(aPrices[0]);
    quotes.cdsQuotesHIGH->SetAsFloat(aPrices[1]);
    quotes.cdsQuotesLOW->SetAsFloat(aPrices[2]);
    quotes.cdsQuotesLAST->SetAsFloat(aPrices[3]);
    quotes.cdsQuotes.Post();
  }

  std::string WriteAs(const char* aMethod, const std::string& aChannel = {}) {
    message.DoEnterWrite(true);
    message.method = aMethod;
    message.Channel = aChannel;
    return message.Write();
  }

  TRandomGenerator random{FixedCounter};
  TDMQuotes quotes{random};
  TtvqWSMessageDataset message;
};

TEST_F(QuoteEnvelope, RecordMessageOnEachChannel) {
  ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(7)));
  EXPECT_EQ(WriteAs("tvq@dataset", "tvq@dataset@update"),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@update","updatemode":"upWhereAll","dataset_name":"cdsQuotes","dataset_recno":7,"dataset_encode_base64":false,"dataset":{"ID":7,"NAME":"Acme","EXCHANGE":"NYSE","OPEN":"8265,00","HIGH":"8265,50","LOW":"-3,46","LAST":"0,00"}}})");
  // No "updatemode" off the update channel, and never an "id".
  message.DoEnterWrite(true);
  message.id = "carried";
  message.method = "tvq@dataset";
  message.Channel = "tvq@dataset@delete";
  EXPECT_EQ(message.Write(),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@delete","dataset_name":"cdsQuotes","dataset_recno":7,"dataset_encode_base64":false,"dataset":{"ID":7,"NAME":"Acme","EXCHANGE":"NYSE","OPEN":"8265,00","HIGH":"8265,50","LOW":"-3,46","LAST":"0,00"}}})");
}

TEST_F(QuoteEnvelope, FieldDescriptionsAndMarkers) {
  const auto field = [](int i, const char* name, const char* type, int size, bool key) {
    return "\"field" + std::to_string(i) + R"(":{"fieldname":")" + name + R"(","datatype":")" + type +
           R"(","datasize":)" + std::to_string(size) + R"(,"keyfield":)" + (key ? "true" : "false") + "}";
  };
  EXPECT_EQ(WriteAs("tvq@dataset@req@metadata"),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@metadata","channel":"","dataset_name":"cdsQuotes","metadata":{)" +
                field(0, "ID", "ftInteger", 4, true) + "," + field(1, "NAME", "ftString", 31, false) + "," +
                field(2, "EXCHANGE", "ftString", 31, false) + "," + field(3, "OPEN", "ftFloat", 8, false) + "," +
                field(4, "HIGH", "ftFloat", 8, false) + "," + field(5, "LOW", "ftFloat", 8, false) + "," +
                field(6, "LAST", "ftFloat", 8, false) + "}}}");
  EXPECT_EQ(WriteAs("tvq@dataset@req@records@start"),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset@req@records@start","dataset_name":"cdsQuotes","dataset_recordcount":20}})");
  EXPECT_EQ(WriteAs("tvq@dataset@req@records@end"),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset@req@records@end","dataset_name":"cdsQuotes"}})");
}

TEST_F(QuoteEnvelope, TextValuesAreAlwaysJSONStrings) {
  struct TCase {
    const char* stored;
    bool autoEscape;
    const char* written;
  } cases[] = {
      {"say \"hi\"", false, R"("say \"hi\"")"},
      {"back\\slash", false, R"("back\\slash")"},
      {"line\nbreak\x01", false, R"("line\nbreak\u0001")"},
      {"[1,2]", false, R"("[1,2]")"},
      {"{\"a\":1}", false, R"("{\"a\":1}")"},
      {"[x]{y}", true, R"("\\[x\\]\\{y\\}")"},
  };
  for (const TCase& c : cases) {
    message.AutoEscapeText = c.autoEscape;
    SetRow(7, c.stored, "NYSE", {1, 1, 1, 1});
    const std::string text = WriteAs("tvq@dataset", "tvq@dataset@update");
    EXPECT_THAT(text, HasSubstr(std::string("\"NAME\":") + c.written + ",")) << c.stored;
    // The text reads back as the stored value.
    TtvqJSON document;
    document.Read(text);
    const ItvqObjectJSON name = document.GetNode("result")->GetNode("dataset")->GetNode("NAME");
    ASSERT_NE(name, nullptr);
    std::string back = tvqJSONDecodeString(name->ValueText());
    if (c.autoEscape) back = tvqUnescapeBraces(back);
    EXPECT_EQ(back, c.stored);
  }
}

TEST_F(QuoteEnvelope, UpdateOfOneFieldChangesOnlyThatField) {
  message.Read(nullptr, ClientRecord("tvq@dataset@update", R"({"ID":7,"LAST":"8265,25"})"));
  ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(7)));
  EXPECT_EQ(quotes.cdsQuotesLAST->AsFloat(), 8265.25);
  EXPECT_EQ(quotes.cdsQuotesNAME->AsString(), "Acme");
  EXPECT_EQ(quotes.cdsQuotesHIGH->AsFloat(), 8265.5);
  EXPECT_EQ(quotes.cdsQuotes.RecordCount(), 20);
  EXPECT_EQ(message.method, "tvq@dataset");  // the envelope's fields are read as well
  EXPECT_EQ(message.Channel, "tvq@dataset@update");
}

TEST_F(QuoteEnvelope, ReceivedValueForms) {
  struct TCase {
    const char* dataset;
    double last;
    const char* name;
  } cases[] = {
      {R"({"ID":"7","LAST":8265})", 8265, "Acme"},
      {R"({"ID":7,"LAST":"8265"})", 8265, "Acme"},
      {R"({"ID":7,"LAST":8265.5})", 8265.5, "Acme"},
      {R"({"ID":7,"last":1,"name":"x"})", 0, "Acme"},  // member names are exact
      {R"({"ID":7,"NAME":"Caf\u00e9 \"q\""})", 0, "Caf\xC3\xA9 \"q\""},
  };
  for (const TCase& c : cases) {
    SetRow(7, "Acme", "NYSE", {1, 1, 1, 0});
    message.Read(nullptr, ClientRecord("tvq@dataset@update", c.dataset));
    ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(7)));
    EXPECT_EQ(quotes.cdsQuotesLAST->AsFloat(), c.last) << c.dataset;
    EXPECT_EQ(quotes.cdsQuotesNAME->AsString(), c.name) << c.dataset;
  }
  message.AutoEscapeText = true;
  message.Read(nullptr, ClientRecord("tvq@dataset@update", R"({"ID":7,"NAME":"\{x\}"})"));
  EXPECT_EQ(quotes.cdsQuotesNAME->AsString(), "{x}");
}

TEST_F(QuoteEnvelope, AValueThatDoesNotConvertLeavesTheRecordAsItWas) {
  try {
    message.Read(nullptr, ClientRecord("tvq@dataset@update", R"({"ID":7,"HIGH":"9,99","LAST":"8265,2x"})"));
    ADD_FAILURE() << "accepted";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'8265,2x' is not a valid floating point value");
  }
  EXPECT_EQ(quotes.cdsQuotes.State(), dsBrowse);
  ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(7)));
  EXPECT_EQ(quotes.cdsQuotesHIGH->AsFloat(), 8265.5);
}

TEST_F(QuoteEnvelope, NewUpdateOfAnUnknownKeyAndDelete) {
  std::vector<std::string> events;
  message.OnAfterNewRecord = [&](TtvqWSConnection*, TDataSet&) { events.push_back("after new"); };
  message.OnAfterDeleteRecord = [&](TtvqWSConnection*, TDataSet&) { events.push_back("after delete"); };
  message.Read(nullptr, ClientRecord("tvq@dataset@new", R"({"ID":21,"NAME":"New"})"));
  message.Read(nullptr, ClientRecord("tvq@dataset@update", R"({"ID":22,"LAST":"5,00"})"));
  EXPECT_EQ(quotes.cdsQuotes.RecordCount(), 22);
  ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(22)));
  EXPECT_EQ(quotes.cdsQuotesLAST->AsFloat(), 5);
  EXPECT_TRUE(quotes.cdsQuotesNAME->IsNull());  // the fields not sent stay null

  message.Read(nullptr, ClientRecord("tvq@dataset@delete", R"({"ID":5})"));
  message.Read(nullptr, ClientRecord("tvq@dataset@delete", R"({"ID":99})"));  // nothing to delete
  EXPECT_EQ(quotes.cdsQuotes.RecordCount(), 21);
  EXPECT_FALSE(quotes.cdsQuotes.Locate("ID", Variant(5)));
  EXPECT_THAT(events, ElementsAre("after new", "after new", "after delete", "after delete"));
}

TEST_F(QuoteEnvelope, BeforeEventsAndHandledStopTheChange) {
  message.OnBeforeUpdateRecord = [](TtvqWSConnection*, TDataSet&, const ItvqObjectJSON& aRecord, bool& aHandled) {
    aHandled = aRecord->GetNode("ID")->ValueText() == "7";
  };
  message.Read(nullptr, ClientRecord("tvq@dataset@update", R"({"ID":7,"LAST":"1,00"})"));
  message.Read(nullptr, ClientRecord("tvq@dataset@update", R"({"ID":8,"LAST":"1,00"})"));
  ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(7)));
  EXPECT_EQ(quotes.cdsQuotesLAST->AsFloat(), 0);
  ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(8)));
  EXPECT_EQ(quotes.cdsQuotesLAST->AsFloat(), 1);

  message.OnBeforeDatasetUpdate = [](TtvqWSConnection*, const ItvqObjectJSON&, bool& aHandled) { aHandled = true; };
  message.Read(nullptr, ClientRecord("tvq@dataset@delete", R"({"ID":8})"));
  EXPECT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(8)));
}

TEST_F(QuoteEnvelope, RefusedTexts) {
  // Not JSON-RPC 2.0: refused before anything is applied.
  EXPECT_THROW(message.Read(nullptr, R"({"result":{"method":"tvq@dataset","channel":"tvq@dataset@delete","dataset":{"ID":7}}})"),
               TtvqWSException);
  // Without the key: refused, not applied to ID 1.
  EXPECT_THROW(message.Read(nullptr, ClientRecord("tvq@dataset@update", R"({"LAST":"1,00"})")), EDatabaseError);
  // Without a record or with an unknown channel: nothing changes.
  message.Read(nullptr, R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@delete"}})");
  message.Read(nullptr, ClientRecord("elsewhere", R"({"ID":7})"));
  EXPECT_EQ(quotes.cdsQuotes.RecordCount(), 20);
  ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(1)));
  EXPECT_NE(quotes.cdsQuotesLAST->AsFloat(), 1);
}

TEST_F(QuoteEnvelope, SynchronizeAndMetaDataEvents) {
  std::vector<std::string> events;
  message.OnBeforeSynchronize = [&](TtvqWSConnection*, const ItvqObjectJSON&) { events.push_back("before"); };
  message.OnAfterSynchronize = [&](TtvqWSConnection*, const ItvqObjectJSON&) { events.push_back("after"); };
  message.OnMetaData = [&](TtvqWSConnection*, const ItvqObjectJSON& aMeta) {
    events.push_back("metadata " + std::to_string(aMeta->GetCount()));
  };
  message.Read(nullptr, WriteAs("tvq@dataset@req@records@start"));
  message.Read(nullptr, WriteAs("tvq@dataset@req@metadata"));
  message.Read(nullptr, WriteAs("tvq@dataset@req@records@end"));
  EXPECT_THAT(events, ElementsAre("before", "metadata 7", "after"));
}

TEST(DatasetEnvelope, ValuesOfEveryKindGroup) {
  TClientDataSet table("kinds");
  table.FieldDefs = {{"ID", ftInteger, 0}, {"T", ftString, 10}, {"D", ftDateTime, 0},
                     {"B", ftBlob, 0},     {"F", ftBoolean, 0}, {"C", ftCurrency, 0}};
  table.Open();
  table.Append();
  table.FieldByName("ID").SetAsInteger(1);
  table.Post();
  TtvqWSMessageDataset message;
  message.SetDataSet(&table);
  message.DoEnterWrite(true);
  message.method = "tvq@dataset";
  message.Channel = "tvq@dataset@delete";
  EXPECT_THAT(message.Write(), HasSubstr(R"("dataset":{"ID":1,"T":"","D":"0","B":"","F":false,"C":"0,00"})"));

  table.Edit();
  table.FieldByName("T").SetAsString("x");
  table.FieldByName("D").SetAsDateTime(TDateTime{46366.5});
  table.FieldByName("B").LoadFromStream({'a', 'b'});
  table.FieldByName("F").SetAsBoolean(true);
  table.Post();
  message.EncodeBase64 = true;
  message.DoEnterWrite(true);
  message.method = "tvq@dataset";
  message.Channel = "tvq@dataset@delete";
  EXPECT_THAT(message.Write(),
              HasSubstr(R"("dataset_encode_base64":true,"dataset":{"ID":1,"T":"eA==","D":"10/12/2026 12:00:00:000 ","B":"YWI=","F":true,"C":"0,00"})"));

  // Received: base64 texts are decoded, "0" clears a date, blobs come as base64.
  message.Read(nullptr, R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@update","dataset_encode_base64":true,"dataset":{"ID":1,"T":"eXo=","D":"0","B":"Y2Q=","F":false}}})");
  EXPECT_EQ(table.FieldByName("T").AsString(), "yz");
  EXPECT_TRUE(table.FieldByName("D").IsNull());
  TBlobBytes blob;
  table.FieldByName("B").SaveToStream(blob);
  EXPECT_EQ(std::string(blob.begin(), blob.end()), "cd");
  EXPECT_FALSE(table.FieldByName("F").AsBoolean());
}

TEST(DatasetEnvelope, WhereChangedSendsTheKeyAndTheChangedFields) {
  TRandomGenerator random{FixedCounter};
  TDMQuotes quotes{random};
  quotes.FillQuotes();
  std::vector<std::string> posts;
  quotes.cdsQuotes.AfterPost = [&](TDataSet&) { posts.push_back("kept"); };
  {
    TtvqWSMessageDataset message;
    message.UpdateMode = upWhereChanged;
    message.SetDataSet(&quotes.cdsQuotes);
    ASSERT_TRUE(quotes.cdsQuotes.Locate("ID", Variant(3)));
    quotes.cdsQuotes.Edit();
    quotes.cdsQuotesLAST->SetAsFloat(1.5);
    quotes.cdsQuotes.Post();
    EXPECT_THAT(message.ChangedFields(), ElementsAre("ID", "LAST"));
    EXPECT_THAT(posts, ElementsAre("kept"));  // the table's own handler still runs
    message.DoEnterWrite(true);
    message.method = "tvq@dataset";
    message.Channel = "tvq@dataset@update";
    EXPECT_THAT(message.Write(), HasSubstr(R"("updatemode":"upWhereChanged","dataset_name":"cdsQuotes","dataset_recno":3,"dataset_encode_base64":false,"dataset":{"ID":3,"LAST":"1,50"}})"));
    // A synchronisation sends whole records.
    message.WholeRecords = true;
    message.DoEnterWrite(true);
    message.method = "tvq@dataset";
    message.Channel = "tvq@dataset@update";
    EXPECT_THAT(message.Write(), HasSubstr(R"("NAME")"));
  }
  // Unbound (destroyed): the table has its own handler back.
  posts.clear();
  quotes.cdsQuotes.Edit();
  quotes.cdsQuotes.Post();
  EXPECT_THAT(posts, ElementsAre("kept"));
}

}  // namespace
