// The Qt window, offscreen: its layout, the grid after start-up and while
// the quotes move, the status line and the Start and Stop buttons, the log,
// and a picture of it saved under the build folder.
#include "frmServer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPixmap>
#include <QRegularExpression>
#include <QScrollBar>

#include <cstdlib>

#include "../support/WebSocketClient.h"
#include "../support/TakenPort.h"

namespace {

// What a model told its views: the rows of each dataChanged,
// rowsInserted and rowsRemoved as "first-last", and the resets.
struct TModelSignals {
  explicit TModelSignals(QAbstractItemModel& aModel) {
    const auto range = [](QStringList& aList) {
      return [&aList](const QModelIndex&, int aFirst, int aLast) { aList << QString("%1-%2").arg(aFirst).arg(aLast); };
    };
    QObject::connect(&aModel, &QAbstractItemModel::dataChanged, &aModel,
                     [this](const QModelIndex& aTopLeft, const QModelIndex& aBottomRight) {
                       changed << QString("%1-%2").arg(aTopLeft.row()).arg(aBottomRight.row());
                     });
    QObject::connect(&aModel, &QAbstractItemModel::rowsInserted, &aModel, range(inserted));
    QObject::connect(&aModel, &QAbstractItemModel::rowsRemoved, &aModel, range(removed));
    QObject::connect(&aModel, &QAbstractItemModel::modelAboutToBeReset, &aModel, [this] { ++resets; });
  }
  QStringList changed, inserted, removed;
  int resets = 0;
};

// Runs the Qt event loop until aCondition holds or aMs pass.
bool ProcessUntil(const std::function<bool()>& aCondition, int aMs = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!aCondition()) {
    if (clock.elapsed() > aMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

int ListeningPort(TfrmServerWindow& aWindow) { return aWindow.Form().WSServer.Bindings()[0].Port; }

QStringList LogLines(const TfrmServerWindow& aWindow) { return aWindow.memoLog->toPlainText().split('\n'); }

// Runs the event loop until a log line ends with aText; that line.
QString LoggedLine(const TfrmServerWindow& aWindow, const QString& aText) {
  QString found;
  ProcessUntil([&] {
    for (const QString& line : LogLines(aWindow))
      if (line.endsWith(aText)) found = line;
    return !found.isEmpty();
  });
  return found;
}

// A dataset client's Guid, from the session the server sends it first
// (the main thread, which sends it, keeps running meanwhile).
std::string SessionGuid(test::WebSocketClient& aClient) {
  std::string session;
  ProcessUntil([&] {
    if (const auto text = aClient.Next(std::chrono::milliseconds(10))) session = *text;
    return !session.empty();
  });
  const std::size_t at = session.find("\"message\":\"");
  return at == std::string::npos ? std::string() : session.substr(at + 11, 32);
}

TEST(ServerWindow, OpensWithTwentyRowsAndItsLayout) {
  TQtPlatform platform;
  TfrmServerWindow window(platform, 0, {"127.0.0.1"});
  window.show();
  EXPECT_EQ(window.windowTitle(), "WebSocket Tickerhall");
  EXPECT_EQ(window.size(), QSize(805, 448));
  EXPECT_EQ(window.btnStart->geometry(), QRect(16, 6, 75, 25));
  EXPECT_EQ(window.btnExplorer->geometry(), QRect(16, 200, 75, 25));
  EXPECT_EQ(window.memoLog->geometry(), QRect(104, 8, 689, 219));
  EXPECT_TRUE(window.memoLog->isReadOnly());

  QAbstractItemModel* grid = window.DBGrid1->model();
  ASSERT_TRUE(ProcessUntil([&] { return grid->rowCount() == 20; }));
  ASSERT_EQ(grid->columnCount(), 7);
  const char* names[] = {"ID", "NAME", "EXCHANGE", "OPEN", "HIGH", "LOW", "LAST"};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(grid->headerData(i, Qt::Horizontal).toString(), names[i]);
  EXPECT_EQ(grid->data(grid->index(0, 0)).toString(), "1");
  EXPECT_EQ(grid->data(grid->index(19, 1)).toString(), "Symbol 20");

  // The ticker moves quotes: the grid shows the change.
  QStringList before;
  for (int row = 0; row < 20; ++row) before << grid->data(grid->index(row, 6)).toString();
  EXPECT_TRUE(ProcessUntil([&] {
    for (int row = 0; row < 20; ++row)
      if (grid->data(grid->index(row, 6)).toString() != before[row]) return true;
    return false;
  }));

  // A client in the picture: its lines in the log, the count in the status.
  test::WebSocketClient client(ListeningPort(window), "dataset.tvq.tickerhall");
  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@subscribe","params":{"channel":"tvq@dataset@update"}})");
  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@message","params":{"message":"hello there"}})");
  EXPECT_FALSE(LoggedLine(window, "): hello there").isEmpty());
  EXPECT_TRUE(ProcessUntil([&] { return window.lblStatus->text().endsWith("— 1 client connected"); }));

  const char* folder = std::getenv("TICKERHALL_ARTIFACTS");
  const QString path = QString(folder ? folder : ".") + "/frmServer.png";
  EXPECT_TRUE(window.grab().save(path)) << path.toStdString();
}

TEST(ServerWindow, AnErrorIsShownInAMessageBoxAndTheWindowGoesOn) {
  TQtPlatform platform;
  TfrmServerWindow window(platform, 0, {"127.0.0.1"});
  window.show();
  window.Form().Run([] { throw std::runtime_error("Something went wrong"); });
  ProcessUntil([] { return false; }, 100);
  auto* box = window.findChild<QMessageBox*>("errorBox");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "Something went wrong");
  EXPECT_TRUE(window.Form().Timer1Enabled());
}

// The status line says the port and the clients while the server runs, and
// follows clients that come and go and the buttons; Start and Stop are
// enabled only when they can act. Log lines start with the local time.
TEST(ServerWindow, StatusLineButtonsAndTimestampedLog) {
  TQtPlatform platform;
  TfrmServerWindow window(platform, 0, {"127.0.0.1"});
  window.show();
  const QString running = QString("Running on port %1 — ").arg(ListeningPort(window));
  const auto statusIs = [&](const QString& aText) {
    return ProcessUntil([&] { return window.lblStatus->text() == aText; });
  };
  EXPECT_TRUE(statusIs(running + "0 clients connected")) << window.lblStatus->text().toStdString();
  EXPECT_FALSE(window.btnStart->isEnabled());
  EXPECT_TRUE(window.btnStop->isEnabled());

  {
    test::WebSocketClient client(ListeningPort(window), "dataset.tvq.tickerhall");
    EXPECT_TRUE(statusIs(running + "1 client connected"));
    const QString connected = LoggedLine(window, "Connected: " + QString::fromStdString(SessionGuid(client)));
    EXPECT_TRUE(QRegularExpression(R"(^\d\d:\d\d:\d\d Connected: \S{32}$)").match(connected).hasMatch())
        << connected.toStdString();
    client.Raw().Send(test::CloseFrame(1000));
    EXPECT_TRUE(statusIs(running + "0 clients connected"));
    EXPECT_TRUE(QRegularExpression(R"(^\d\d:\d\d:\d\d Disconnected \(1000\): \S{32}$)")
                    .match(LoggedLine(window, "): " + connected.mid(20)))
                    .hasMatch());
  }

  window.btnStop->click();
  EXPECT_EQ(window.lblStatus->text(), "Stopped");
  EXPECT_TRUE(window.btnStart->isEnabled());
  EXPECT_FALSE(window.btnStop->isEnabled());
  window.btnStart->click();
  EXPECT_EQ(window.lblStatus->text(), QString("Running on port %1 — 0 clients connected").arg(ListeningPort(window)));
  EXPECT_FALSE(window.btnStart->isEnabled());
  EXPECT_TRUE(window.btnStop->isEnabled());
  EXPECT_EQ(window.findChild<QMessageBox*>("errorBox"), nullptr);
}

using test::TTakenPort;

// A start that fails shows the error, says why in the status line, and
// leaves Start to try again; the grid still has its columns.
TEST(ServerWindow, AFailedStartSaysWhyAndLeavesStartEnabled) {
  TTakenPort taken;
  TQtPlatform platform;
  TfrmServerWindow window(platform, taken.port, {"127.0.0.1"});
  window.show();
  const QString reason = QString("Could not bind socket. 127.0.0.1:%1: address already in use "
                                 "(another program listens on that port)")
                             .arg(taken.port);
  auto* box = window.findChild<QMessageBox*>("errorBox");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), reason);
  EXPECT_EQ(window.lblStatus->text(), "Stopped: " + reason);
  EXPECT_TRUE(window.btnStart->isEnabled());
  EXPECT_FALSE(window.btnStop->isEnabled());
  EXPECT_EQ(window.DBGrid1->model()->columnCount(), 7);
  EXPECT_EQ(window.DBGrid1->model()->rowCount(), 0);}

// While the ticker moves quotes, the row selected and the scroll position
// stay: the grid is told of changed rows, never reset.
TEST(ServerWindow, SelectionAndScrollSurviveTheTicker) {
  TQtPlatform platform;
  TfrmServerWindow window(platform, 0, {"127.0.0.1"});
  window.show();
  QAbstractItemModel* grid = window.DBGrid1->model();
  ASSERT_TRUE(ProcessUntil([&] { return grid->rowCount() == 20; }));
  TModelSignals told(*grid);
  window.DBGrid1->selectRow(10);
  QScrollBar* scroll = window.DBGrid1->verticalScrollBar();
  ASSERT_GE(scroll->maximum(), 3);
  scroll->setValue(3);
  ASSERT_TRUE(ProcessUntil([&] { return told.changed.size() + told.resets >= 8; }));  // eight ticks or more
  EXPECT_EQ(told.resets, 0);
  EXPECT_EQ(window.DBGrid1->currentIndex().row(), 10);
  const QModelIndexList selected = window.DBGrid1->selectionModel()->selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(selected.front().row(), 10);
  EXPECT_EQ(scroll->value(), 3);
}

// ---------------------------------------------------------------- the grid's model

// The model over a quote table of its own, in a small view that scrolls.
class QuotesGrid : public ::testing::Test {
 protected:
  QuotesGrid() {
    source.SetDataSet(&quotes.cdsQuotes);
    quotes.FillQuotes();
    model.Sync();
    view.setModel(&model);
    view.resize(400, 150);
    view.show();
  }
  ~QuotesGrid() override { view.setModel(nullptr); }

  QString Cell(int aRow, int aColumn) const { return model.data(model.index(aRow, aColumn)).toString(); }
  void SetLast(int aID, double aLast) {
    ASSERT_TRUE(quotes.cdsQuotes.FindKey({Variant(aID)}));
    quotes.cdsQuotes.Edit();
    quotes.cdsQuotesLAST->SetAsFloat(aLast);
    quotes.cdsQuotes.Post();
  }
  void Delete(int aID) {
    ASSERT_TRUE(quotes.cdsQuotes.FindKey({Variant(aID)}));
    quotes.cdsQuotes.Delete();
  }
  void Add(int aID) {
    quotes.cdsQuotes.Append();
    quotes.cdsQuotesID->SetAsInteger(aID);
    quotes.cdsQuotesNAME->SetAsString("Symbol " + std::to_string(aID));
    quotes.cdsQuotes.Post();
  }
  TDMQuotes quotes;
  TDataSource source;
  TQuotesModel model{source};
  QTableView view;
};

TEST_F(QuotesGrid, NumbersAndPricesAreRightAligned) {
  const struct {
    int column;
    bool right;
  } columns[] = {{0, true}, {1, false}, {2, false}, {3, true}, {4, true}, {5, true}, {6, true}};
  for (const auto& c : columns) {
    SCOPED_TRACE(model.headerData(c.column, Qt::Horizontal).toString().toStdString());
    const auto alignment = Qt::Alignment(model.data(model.index(4, c.column), Qt::TextAlignmentRole).toInt());
    EXPECT_EQ(alignment.testFlag(Qt::AlignRight), c.right);
    const auto header = Qt::Alignment(model.headerData(c.column, Qt::Horizontal, Qt::TextAlignmentRole).toInt());
    EXPECT_EQ(header.testFlag(Qt::AlignRight), c.right);
  }
}

// An edit changes its row, a delete removes it and an add inserts it where
// the table puts it; the selected record stays selected as rows move, and
// the view keeps its place.
TEST_F(QuotesGrid, ChangesReachTheViewRowByRowWithoutAReset) {
  TModelSignals told(model);
  view.selectRow(14);  // ID 15
  view.verticalScrollBar()->setValue(5);

  SetLast(15, 1234.5);
  EXPECT_EQ(Cell(14, 6), "1234.50");
  Delete(3);
  EXPECT_EQ(model.rowCount(), 19);
  EXPECT_EQ(Cell(2, 0), "4");
  EXPECT_EQ(view.currentIndex().row(), 13);
  Add(3);
  EXPECT_EQ(Cell(2, 0), "3");
  Add(21);
  EXPECT_EQ(Cell(20, 1), "Symbol 21");
  for (int tick = 0; tick < 30; ++tick) quotes.MoveQuote();

  EXPECT_EQ(told.resets, 0);
  ASSERT_FALSE(told.changed.isEmpty());
  EXPECT_EQ(told.changed.front(), "14-14");
  for (const QString& range : told.changed) {
    const QStringList rows = range.split('-');
    EXPECT_EQ(rows[0], rows[1]) << "one record a change";
  }
  EXPECT_EQ(told.removed, QStringList{"2-2"});
  EXPECT_EQ(told.inserted, (QStringList{"2-2", "20-20"}));
  EXPECT_EQ(view.currentIndex().row(), 14);
  EXPECT_EQ(Cell(view.currentIndex().row(), 0), "15");
  EXPECT_EQ(view.selectionModel()->selectedRows().size(), 1);
  EXPECT_EQ(view.verticalScrollBar()->value(), 5);
  for (int row = 0; row < model.rowCount(); ++row)
    for (int column = 0; column < 7; ++column) {
      const Variant& value = quotes.cdsQuotes.RecordValue(row, column);
      if (value.IsFloat()) {
        EXPECT_EQ(Cell(row, column).toDouble(), value.ToDouble()) << row << "," << column;
      }
    }
}

// Refilling the table (Start) replaces the rows; closing it takes the
// columns away.
TEST_F(QuotesGrid, RefillAndClose) {
  TModelSignals told(model);
  quotes.FillQuotes();
  EXPECT_EQ(told.resets, 0);
  EXPECT_EQ(model.rowCount(), 20);
  EXPECT_EQ(Cell(19, 1), "Symbol 20");
  quotes.cdsQuotes.Close();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.columnCount(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
