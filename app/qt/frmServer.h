// The server window, frmServer: the window logic (TfrmServer) shown with Qt
// widgets. Top panel: Start, Stop and the four browser buttons in one
// column, the read-only log beside them; lower panel: the quote grid; at
// the bottom a status line (running on which port with how many clients,
// or stopped and why). Start and Stop are enabled only when they can act;
// each log line starts with the local time ("HH:MM:SS ").
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QtPlatform.h"
#include "QuotesModel.h"
#include "fServer.h"

class TfrmServerWindow : public QWidget {
  Q_OBJECT

 public:
  // Creating the window starts the server (FormCreate); aPort and
  // aAddresses as for TfrmServer.
  // aConfigure sets the window logic's limits (its setters) before the server starts.
  explicit TfrmServerWindow(TQtPlatform& aPlatform, int aPort = 5413, const std::vector<std::string>& aAddresses = {},
                            const std::function<void(TfrmServer&)>& aConfigure = {});
  ~TfrmServerWindow() override;

  TfrmServer& Form() { return *FForm; }
  QPlainTextEdit* memoLog = nullptr;
  QTableView* DBGrid1 = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QLabel* lblStatus = nullptr;
  QPushButton *btnStart = nullptr, *btnStop = nullptr, *btnChrome = nullptr, *btnFirefox = nullptr,
              *btnSafari = nullptr, *btnExplorer = nullptr;

 private:
  // The default error handler: a message box; the program goes on.
  void ShowMessage(const std::string& aText);
  // The status line and the Start and Stop buttons, from the server's status.
  void UpdateStatus();

  TQtPlatform& FPlatform;
  std::unique_ptr<TfrmServer> FForm;
  TQuotesModel* FModel = nullptr;
};
