// The server window, frmServer: the window logic (TfrmServer) shown with Qt
// widgets. Top panel: Start, Stop and the four browser buttons in one
// column, the read-only log beside them; lower panel: the quote grid.
#pragma once

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QWidget>

#include <memory>

#include "QtPlatform.h"
#include "QuotesModel.h"
#include "fServer.h"

class TfrmServerWindow : public QWidget {
  Q_OBJECT

 public:
  // Creating the window starts the server (FormCreate); aPort as for
  // TfrmServer.
  explicit TfrmServerWindow(TQtPlatform& aPlatform, int aPort = 5413, const std::string& aAddress = {});
  ~TfrmServerWindow() override;

  TfrmServer& Form() { return *FForm; }
  QPlainTextEdit* memoLog = nullptr;
  QTableView* DBGrid1 = nullptr;
  QPushButton *btnStart = nullptr, *btnStop = nullptr, *btnChrome = nullptr, *btnFirefox = nullptr,
              *btnSafari = nullptr, *btnExplorer = nullptr;

 private:
  // The default error handler: a message box; the program goes on.
  void ShowMessage(const std::string& aText);

  TQtPlatform& FPlatform;
  std::unique_ptr<TfrmServer> FForm;
  TQuotesModel* FModel = nullptr;
};
