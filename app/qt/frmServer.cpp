#include "frmServer.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QVBoxLayout>

TfrmServerWindow::TfrmServerWindow(TQtPlatform& aPlatform, int aPort, const std::string& aAddress)
    : FPlatform(aPlatform) {
  setObjectName("frmServer");
  setWindowTitle("WebSocket Tickerhall");
  setFont(QFont("Tahoma", 8));
  resize(805, 448);

  auto* pnlServer = new QWidget(this);
  pnlServer->setObjectName("pnlServer");
  pnlServer->setFixedHeight(233);
  const auto button = [pnlServer](const char* aName, const char* aCaption, int aTop) {
    auto* b = new QPushButton(aCaption, pnlServer);
    b->setObjectName(aName);
    b->setGeometry(16, aTop, 75, 25);
    return b;
  };
  btnStart = button("btnStart", "Start", 6);
  btnStop = button("btnStop", "Stop", 37);
  btnChrome = button("btnChrome", "Chrome", 107);
  btnFirefox = button("btnFirefox", "Firefox", 138);
  btnSafari = button("btnSafari", "Safari", 169);
  btnExplorer = button("btnExplorer", "Explorer", 200);
  memoLog = new QPlainTextEdit(pnlServer);
  memoLog->setObjectName("memoLog");
  memoLog->setReadOnly(true);
  memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoLog->setGeometry(104, 8, 689, 219);

  auto* pnlQuotes = new QWidget(this);
  pnlQuotes->setObjectName("pnlQuotes");
  DBGrid1 = new QTableView(pnlQuotes);
  DBGrid1->setObjectName("DBGrid1");
  auto* quotesLayout = new QVBoxLayout(pnlQuotes);
  quotesLayout->setContentsMargins(0, 0, 0, 0);
  quotesLayout->addWidget(DBGrid1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pnlServer);
  layout->addWidget(pnlQuotes, 1);

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  FForm = std::make_unique<TfrmServer>(
      FPlatform, [this](const std::string& aLine) { memoLog->appendPlainText(QString::fromStdString(aLine)); },
      [this](const std::string& aText) { ShowMessage(aText); }, aPort, aAddress);
  FPlatform.OnException = [this](std::exception_ptr aError) { FForm->ShowError(aError); };
  FModel = new TQuotesModel(FForm->dsQuotes, this);
  DBGrid1->setModel(FModel);

  TfrmServer& form = *FForm;
  const auto wire = [&form](QPushButton* aButton, void (TfrmServer::*aHandler)()) {
    connect(aButton, &QPushButton::clicked, aButton, [&form, aHandler] { form.Run(aHandler); });
  };
  wire(btnStart, &TfrmServer::btnStartClick);
  wire(btnStop, &TfrmServer::btnStopClick);
  wire(btnChrome, &TfrmServer::btnChromeClick);
  wire(btnFirefox, &TfrmServer::btnFirefoxClick);
  wire(btnSafari, &TfrmServer::btnSafariClick);
  wire(btnExplorer, &TfrmServer::btnExplorerClick);

  FForm->FormCreate();
}

// The grid's model lets go of the table first; then the logic goes while
// the log still exists (stopping the server still writes to it).
TfrmServerWindow::~TfrmServerWindow() {
  FPlatform.OnException = nullptr;
  DBGrid1->setModel(nullptr);
  delete FModel;
  FForm.reset();
}

// A message box that does not block: the queued server events and the
// ticker go on while it is shown.
void TfrmServerWindow::ShowMessage(const std::string& aText) {
  auto* box = new QMessageBox(QMessageBox::Critical, windowTitle(), QString::fromStdString(aText), QMessageBox::Ok, this);
  box->setObjectName("errorBox");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}
