#include "RecordTable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// A small indexed table with one field of each kind the system leans on, and
// a log of the events it fires.
class RecordTableTest : public ::testing::Test {
 protected:
  RecordTableTest() {
    table.FieldDefs = {{"ID", ftInteger, 0}, {"NAME", ftString, 30}, {"PRICE", ftFloat, 0},
                       {"WHEN", ftDateTime, 0}, {"DATA", ftBlob, 0}};
    table.IndexDefs = {{"byId", "ID"}};
    table.SetIndexName("byId");
    table.AfterOpen = Logger("AfterOpen");
    table.BeforeInsert = Logger("BeforeInsert");
    table.BeforeEdit = Logger("BeforeEdit");
    table.AfterPost = Logger("AfterPost");
    table.BeforeDelete = Logger("BeforeDelete");
    table.AfterRefresh = Logger("AfterRefresh");
    table.Open();
    log.clear();
  }

  TDataSetNotifyEvent Logger(std::string name) {
    return [this, name](TDataSet& dataSet) {
      EXPECT_EQ(&dataSet, &table);
      log.push_back(name);
    };
  }

  void AddRow(int id, const std::string& name = "", double price = 0) {
    table.Append();
    table.FieldByName("ID").SetAsInteger(id);
    table.FieldByName("NAME").SetAsString(name);
    table.FieldByName("PRICE").SetAsFloat(price);
    table.Post();
  }

  std::vector<int> Ids() {
    std::vector<int> ids;
    for (table.First(); !table.Eof(); table.Next()) ids.push_back(table.FieldByName("ID").AsInteger());
    return ids;
  }

  int CurrentId() { return table.FieldByName("ID").AsInteger(); }

  TClientDataSet table{"cdsTest"};
  std::vector<std::string> log;
};

TEST(FieldTypeName, NamesEveryKindInOrder) {
  struct Case {
    TFieldType type;
    const char* name;
  };
  for (const Case& c : {Case{ftUnknown, "ftUnknown"}, Case{ftString, "ftString"},
                        Case{ftInteger, "ftInteger"}, Case{ftFloat, "ftFloat"},
                        Case{ftBlob, "ftBlob"}, Case{ftLargeint, "ftLargeint"},
                        Case{ftTimeStamp, "ftTimeStamp"}, Case{ftSingle, "ftSingle"}})
    EXPECT_EQ(FieldTypeName(c.type), c.name);
  EXPECT_EQ(static_cast<int>(ftInteger), 3);
  EXPECT_EQ(static_cast<int>(ftSingle), 51);
  EXPECT_EQ(FieldTypeName(static_cast<TFieldType>(52)), "");
}

TEST_F(RecordTableTest, OpeningCreatesTypedFieldsAndFiresAfterOpen) {
  TClientDataSet other{"other"};
  other.FieldDefs = table.FieldDefs;
  std::vector<std::string> seen;
  other.AfterOpen = [&](TDataSet& d) {
    seen.push_back("AfterOpen");
    d.FieldByName("ID").ProviderFlags.Include(pfInKey);  // a handler may change the flags
  };
  EXPECT_EQ(other.State(), dsInactive);
  other.Open();
  EXPECT_THAT(seen, ElementsAre("AfterOpen"));
  EXPECT_EQ(other.State(), dsBrowse);
  ASSERT_EQ(other.Fields().Count(), 5);
  EXPECT_NE(dynamic_cast<TIntegerField*>(&other.Fields()[0]), nullptr);
  EXPECT_NE(dynamic_cast<TStringField*>(&other.Fields()[1]), nullptr);
  EXPECT_NE(dynamic_cast<TFloatField*>(&other.Fields()[2]), nullptr);
  EXPECT_NE(dynamic_cast<TBlobField*>(&other.Fields()[4]), nullptr);
  EXPECT_TRUE(other.FieldByName("ID").ProviderFlags.Contains(pfInKey));
  EXPECT_EQ(other.FieldByName("NAME").ProviderFlags, (TProviderFlags{pfInUpdate, pfInWhere}));
  EXPECT_TRUE(other.Eof());
  EXPECT_EQ(other.RecordCount(), 0);
}

TEST_F(RecordTableTest, FieldsReportTheirSizes) {
  struct Case {
    const char* name;
    int dataSize;
  };
  for (const Case& c : {Case{"ID", 4}, Case{"NAME", 31}, Case{"PRICE", 8}})
    EXPECT_EQ(table.FieldByName(c.name).DataSize(), c.dataSize) << c.name;
  EXPECT_EQ(table.FieldByName("NAME").Size(), 30);
  EXPECT_EQ(table.FieldByName("PRICE").Index(), 2);
}

TEST_F(RecordTableTest, EachOperationFiresItsEventsInOrder) {
  AddRow(1);
  EXPECT_THAT(log, ElementsAre("BeforeInsert", "AfterPost"));

  log.clear();
  table.Edit();
  table.Edit();  // already editing: nothing
  table.FieldByName("NAME").SetAsString("x");
  table.Append();  // posts the pending edit first
  EXPECT_THAT(log, ElementsAre("BeforeEdit", "AfterPost", "BeforeInsert"));
  EXPECT_EQ(table.State(), dsInsert);
  table.FieldByName("ID").SetAsInteger(2);
  table.Post();

  log.clear();
  table.Refresh();
  EXPECT_THAT(log, ElementsAre("AfterRefresh"));

  log.clear();
  table.Post();  // nothing pending: nothing happens
  EXPECT_THAT(log, IsEmpty());
}

TEST_F(RecordTableTest, EditOnAnEmptyTableStartsAnInsert) {
  table.Edit();
  EXPECT_EQ(table.State(), dsInsert);
  EXPECT_THAT(log, ElementsAre("BeforeInsert"));
}

TEST_F(RecordTableTest, EmptyDataSetFiresNoPerRecordEvent) {
  AddRow(1);
  AddRow(2);
  table.Edit();
  table.FieldByName("NAME").SetAsString("pending");
  log.clear();
  table.EmptyDataSet();
  EXPECT_THAT(log, ElementsAre("AfterPost"));  // the pending edit, posted first; no BeforeDelete
  EXPECT_EQ(table.RecordCount(), 0);
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(table.State(), dsBrowse);
}

TEST_F(RecordTableTest, RecordsFollowTheIndexAndRecNoTheirPosition) {
  for (int id : {10, 20, 30}) {
    AddRow(id);
    EXPECT_EQ(table.RecNo(), table.RecordCount());
  }
  AddRow(5);  // a lower ID moves before the others
  EXPECT_EQ(table.RecNo(), 1);
  EXPECT_EQ(CurrentId(), 5);
  EXPECT_THAT(Ids(), ElementsAre(5, 10, 20, 30));

  ASSERT_TRUE(table.FindKey({20}));
  table.Edit();
  table.FieldByName("ID").SetAsInteger(1);  // a changed key moves the record
  table.Post();
  EXPECT_EQ(table.RecNo(), 1);
  EXPECT_THAT(Ids(), ElementsAre(1, 5, 10, 30));
}

TEST_F(RecordTableTest, AfterPostSeesThePostedRecordAndItsPosition) {
  for (int id = 1; id <= 8; ++id) AddRow(id, "n", 100);
  int recNo = 0;
  double price = 0;
  table.AfterPost = [&](TDataSet& d) {
    recNo = d.RecNo();
    price = d.FieldByName("PRICE").AsFloat();
  };
  table.First();
  for (int i = 1; i < 5; ++i) table.Next();
  table.Edit();
  table.FieldByName("PRICE").SetAsFloat(8265.5);
  table.Post();
  EXPECT_EQ(recNo, 5);
  EXPECT_EQ(price, 8265.5);
}

TEST_F(RecordTableTest, FindKeyMissLeavesCursorAndStateAlone) {
  for (int id : {1, 2, 3}) AddRow(id);
  ASSERT_TRUE(table.FindKey({2}));
  EXPECT_EQ(table.RecNo(), 2);
  EXPECT_FALSE(table.FindKey({7}));
  EXPECT_EQ(table.RecNo(), 2);
  EXPECT_EQ(table.State(), dsBrowse);
  EXPECT_TRUE(table.FindKey({Variant("3")}));  // converted to the key's kind
  EXPECT_EQ(CurrentId(), 3);
  EXPECT_FALSE(table.FindKey({2.5}));  // a fraction is never rounded to a key
  EXPECT_EQ(CurrentId(), 3);
}

TEST_F(RecordTableTest, FindKeyPostsAPendingEdit) {
  AddRow(1, "old");
  table.Edit();
  table.FieldByName("NAME").SetAsString("new");
  log.clear();
  EXPECT_FALSE(table.FindKey({9}));
  EXPECT_THAT(log, ElementsAre("AfterPost"));
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "new");
}

TEST(ClientDataSet, FindKeyWithoutAnActiveIndexRaises) {
  TClientDataSet plain{"plain"};
  plain.FieldDefs = {{"ID", ftInteger, 0}};
  plain.Open();
  EXPECT_THROW(plain.FindKey({1}), EDatabaseError);
}

TEST_F(RecordTableTest, LocateMatchesEveryNamedFieldExactly) {
  AddRow(1, "Alpha");
  AddRow(2, "Beta");
  AddRow(3, "Alpha");
  AddRow(4, std::string(30, 'A'));
  struct Case {
    std::string fields;
    Variant values;
    bool found;
    int id;
  };
  for (const Case& c : {
           Case{"ID;NAME", Variant::TArray{3, "Alpha"}, true, 3},
           Case{" ID ; NAME ", Variant::TArray{2, "Beta"}, true, 2},  // names are trimmed
           Case{"NAME", "Alpha", true, 1},                            // the first match
           Case{"NAME", "alpha", false, 0},                           // case counts
           Case{"ID;NAME", Variant::TArray{2, "Alpha"}, false, 0},
           Case{"ID", Variant::TArray{Variant("3")}, true, 3},  // the key may come as digits
           Case{"ID", 3.0, true, 3},
           Case{"ID", 2.5, false, 0},  // not rounded to a neighbour
           Case{"NAME", std::string(31, 'A'), false, 0},
           Case{"ID", "x", false, 0},
       }) {
    SCOPED_TRACE(c.fields);
    ASSERT_TRUE(table.FindKey({2}));
    EXPECT_EQ(table.Locate(c.fields, c.values), c.found);
    EXPECT_EQ(CurrentId(), c.found ? c.id : 2);  // a miss leaves the cursor
  }
}

TEST_F(RecordTableTest, UnknownFieldNamesAreErrorsThatNameTheField) {
  try {
    table.FieldByName("NOPE");
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("NOPE"));
  }
  EXPECT_THROW(table.Locate("ID;GHOST", Variant::TArray{1, 2}), EDatabaseError);
}

TEST_F(RecordTableTest, DeleteMovesToTheFollowingRecord) {
  for (int id : {1, 2, 3}) AddRow(id);
  int seen = 0;
  table.BeforeDelete = [&](TDataSet& d) { seen = d.FieldByName("ID").AsInteger(); };
  ASSERT_TRUE(table.FindKey({2}));
  table.Delete();
  EXPECT_EQ(seen, 2);  // still on the doomed record
  EXPECT_EQ(CurrentId(), 3);
  table.Delete();  // the last one: back to the preceding
  EXPECT_EQ(CurrentId(), 1);
  table.Delete();
  EXPECT_TRUE(table.Eof());
  try {
    table.Delete();
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on an empty dataset");
  }
}

TEST_F(RecordTableTest, DeleteOfAPendingInsertCancelsIt) {
  AddRow(1);
  table.Append();
  table.FieldByName("ID").SetAsInteger(2);
  log.clear();
  table.Delete();
  EXPECT_THAT(log, IsEmpty());
  EXPECT_EQ(table.State(), dsBrowse);
  EXPECT_EQ(table.RecordCount(), 1);
  EXPECT_EQ(CurrentId(), 1);
}

TEST_F(RecordTableTest, FirstNextAndEofVisitInIndexOrder) {
  EXPECT_THAT(Ids(), IsEmpty());
  for (int id : {3, 1, 2}) AddRow(id);
  table.First();
  EXPECT_FALSE(table.Eof());
  table.Next();
  table.Next();
  EXPECT_FALSE(table.Eof());
  EXPECT_EQ(CurrentId(), 3);
  table.Next();  // past the last record
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(CurrentId(), 3);
}

TEST_F(RecordTableTest, FloatsRoundToTheNearestIntegerTiesToEven) {
  struct Case {
    double value;
    int expected;
  };
  for (const Case& c : {Case{8252.5, 8252}, Case{8253.5, 8254}, Case{8300.5, 8300},
                        Case{8301.5, 8302}, Case{-0.5, 0}, Case{-1.5, -2}, Case{7.4, 7},
                        Case{7.6, 8}}) {
    table.Edit();
    table.FieldByName("PRICE").SetAsFloat(c.value);
    EXPECT_EQ(table.FieldByName("PRICE").AsInteger(), c.expected) << c.value;
    EXPECT_EQ(table.FieldByName("PRICE").AsFloat(), c.value);
    table.Cancel();
  }
}

TEST_F(RecordTableTest, NullFieldsReadAsZeroAndEmpty) {
  table.Append();
  EXPECT_TRUE(table.FieldByName("PRICE").IsNull());
  EXPECT_EQ(table.FieldByName("PRICE").AsFloat(), 0.0);
  EXPECT_EQ(table.FieldByName("PRICE").AsInteger(), 0);
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "");
  table.FieldByName("PRICE").SetAsFloat(3);
  table.FieldByName("PRICE").Clear();
  EXPECT_TRUE(table.FieldByName("PRICE").IsNull());
}

TEST_F(RecordTableTest, StringFieldsKeepAtMostSizeCharacters) {
  struct Case {
    std::string assigned;
    std::string stored;
  };
  const std::string forty = "0123456789012345678901234567890123456789";
  const std::string ascii29(29, 'a');
  std::string accents30, accents40;  // é is two bytes of UTF-8
  for (int i = 0; i < 40; ++i) (i < 30 ? accents30 : accents40) += "\xC3\xA9";
  accents40 = accents30 + accents40;
  for (const Case& c : {Case{forty, forty.substr(0, 30)}, Case{"short", "short"},
                        Case{ascii29 + "\xC3\xA9", ascii29 + "\xC3\xA9"},
                        Case{ascii29 + "b\xC3\xA9", ascii29 + "b"},  // never half a character
                        Case{accents40, accents30}}) {
    table.Append();
    table.FieldByName("NAME").SetAsString(c.assigned);
    EXPECT_EQ(table.FieldByName("NAME").AsString(), c.stored);
    table.Cancel();
  }
}

TEST_F(RecordTableTest, VariantsConvertToTheFieldsKind) {
  struct Case {
    const char* field;
    Variant assigned;
    Variant stored;
  };
  for (const Case& c : {
           Case{"ID", Variant("7"), Variant(7)},
           Case{"ID", Variant(" +8 "), Variant(8)},
           Case{"ID", Variant(7.5), Variant(8)},
           Case{"PRICE", Variant("8265.25"), Variant(8265.25)},
           Case{"PRICE", Variant(8265), Variant(8265.0)},
           Case{"NAME", Variant(42), Variant("42")},
           Case{"NAME", Variant(true), Variant("True")},
           Case{"WHEN", Variant(45000.5), Variant(TDateTime{45000.5})},
           Case{"ID", Variant(), Variant()},
       }) {
    SCOPED_TRACE(std::string(c.field) + " <- " + c.assigned.ToString());
    table.Append();
    table.FieldByName(c.field).SetAsVariant(c.assigned);
    const Variant stored = table.FieldByName(c.field).AsVariant();
    EXPECT_EQ(stored, c.stored);
    EXPECT_EQ(stored.IsNull(), c.stored.IsNull());
    table.Cancel();
  }
}

TEST_F(RecordTableTest, AValueThatDoesNotConvertLeavesTheBufferAsItWas) {
  struct Case {
    const char* field;
    Variant assigned;
    const char* error;
  };
  for (const Case& c : {Case{"PRICE", Variant("abc"), "'abc' is not a valid floating point value"},
                        Case{"PRICE", Variant("8265,5"), "'8265,5' is not a valid floating point value"},
                        Case{"ID", Variant("x1"), "'x1' is not a valid integer value"},
                        Case{"ID", Variant(std::int64_t{1} << 40), "is not a valid integer value"},
                        Case{"ID", Variant(Variant::TArray{1}), "Could not convert variant"}}) {
    SCOPED_TRACE(c.field);
    AddRow(1, "keep", 12.5);
    table.Edit();
    try {
      table.FieldByName(c.field).SetAsVariant(c.assigned);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.error));
    }
    EXPECT_EQ(table.FieldByName("PRICE").AsFloat(), 12.5);
    EXPECT_EQ(table.FieldByName("ID").AsInteger(), 1);
    EXPECT_EQ(table.State(), dsEdit);
    table.Cancel();
    table.EmptyDataSet();
  }
}

TEST_F(RecordTableTest, DateTimesReadAsTheirSerialNumber) {
  table.Append();
  table.FieldByName("WHEN").SetAsDateTime(TDateTime{45269.75});
  EXPECT_EQ(table.FieldByName("WHEN").AsFloat(), 45269.75);
  EXPECT_EQ(table.FieldByName("WHEN").AsDateTime(), TDateTime{45269.75});
  EXPECT_EQ(table.FieldByName("WHEN").AsString(), "09/12/2023 18:00:00");
}

TEST_F(RecordTableTest, BlobsKeepTheirBytes) {
  const TBlobBytes bytes{0x00, 0xFF, 'a', 0x00, 0x80};
  table.Append();
  EXPECT_TRUE(table.FieldByName("DATA").IsNull());
  table.FieldByName("DATA").LoadFromStream(bytes);
  table.FieldByName("ID").SetAsInteger(1);
  table.Post();
  TBlobBytes back;
  table.FieldByName("DATA").SaveToStream(back);
  EXPECT_EQ(back, bytes);
}

TEST_F(RecordTableTest, MisuseRaises) {
  EXPECT_THROW(table.FieldByName("ID").SetAsInteger(1), EDatabaseError);  // not editing
  table.Close();
  EXPECT_THROW(table.FieldByName("ID").AsInteger(), EDatabaseError);  // closed
  EXPECT_THROW(table.Append(), EDatabaseError);
}

TEST_F(RecordTableTest, ViewsRedrawAfterChangesUnlessControlsAreDisabled) {
  TDataSource source;
  int redraws = 0;
  source.OnDataChange = [&](TDataSet&) { ++redraws; };
  source.SetDataSet(&table);
  AddRow(1);
  EXPECT_EQ(redraws, 1);
  table.DisableControls();
  table.DisableControls();
  AddRow(2);
  table.Delete();
  table.EnableControls();
  EXPECT_EQ(redraws, 1);  // still disabled once
  table.EnableControls();
  EXPECT_EQ(redraws, 2);  // one redraw when the last is lifted
  table.EnableControls();  // unbalanced: ignored
  EXPECT_FALSE(table.ControlsDisabled());
  source.SetDataSet(nullptr);
  AddRow(3);
  EXPECT_EQ(redraws, 2);
}

TEST_F(RecordTableTest, AFailingViewNeitherStopsAfterPostNorTheOtherViews) {
  TDataSource failing, healthy;
  int redraws = 0;
  failing.OnDataChange = [](TDataSet&) { throw std::runtime_error("view broke"); };
  healthy.OnDataChange = [&](TDataSet&) { ++redraws; };
  failing.SetDataSet(&table);
  healthy.SetDataSet(&table);
  EXPECT_NO_THROW(AddRow(1));
  EXPECT_THAT(log, ElementsAre("BeforeInsert", "AfterPost"));
  EXPECT_EQ(redraws, 1);
}

TEST(Variant, ComparesByValueAcrossNumberKinds) {
  struct Case {
    Variant a, b;
    bool equal;
  };
  for (const Case& c : {Case{1, 1.0, true}, Case{1, 2, false}, Case{"a", "a", true},
                        Case{"a", "A", false}, Case{"7", 7, true}, Case{"x", 7, false},
                        Case{Variant(), Variant(), true}, Case{Variant(), 0, false},
                        Case{Variant(), "", false}, Case{true, "True", true},
                        Case{Variant::TArray{1, "a"}, Variant::TArray{1.0, "a"}, true},
                        Case{Variant::TArray{1}, 1, false}}) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.TypeName() << " vs " << c.b.TypeName();
    EXPECT_EQ(c.b == c.a, c.equal);
  }
}

}  // namespace
