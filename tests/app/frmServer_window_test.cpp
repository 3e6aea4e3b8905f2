// The Qt window, offscreen: its layout, the grid after start-up, the log,
// and a picture of it saved under the build folder.
#include "frmServer.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPixmap>

#include <cstdlib>

namespace {

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

TEST(ServerWindow, OpensWithTwentyRowsAndItsLayout) {
  TQtPlatform platform;
  TfrmServerWindow window(platform, 0, "127.0.0.1");
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

  const char* folder = std::getenv("TICKERHALL_ARTIFACTS");
  const QString path = QString(folder ? folder : ".") + "/frmServer.png";
  EXPECT_TRUE(window.grab().save(path)) << path.toStdString();
}

TEST(ServerWindow, AnErrorIsShownInAMessageBoxAndTheWindowGoesOn) {
  TQtPlatform platform;
  TfrmServerWindow window(platform, 0, "127.0.0.1");
  window.show();
  window.Form().Run([] { throw std::runtime_error("Something went wrong"); });
  ProcessUntil([] { return false; }, 100);
  auto* box = window.findChild<QMessageBox*>("errorBox");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "Something went wrong");
  EXPECT_TRUE(window.Form().Timer1Enabled());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
