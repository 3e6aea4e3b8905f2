#include "frmServer.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTime>
#include <QVBoxLayout>

TfrmServerWindow::TfrmServerWindow(TQtPlatform& aPlatform, int aPort, const std::vector<std::string>& aAddresses,
                                   const std::function<void(TfrmServer&)>& aConfigure)
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

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setSizeGripEnabled(false);
  lblStatus = new QLabel(StatusBar1);
  lblStatus->setObjectName("lblStatus");
  // A long reason is cut at the window's edge (the tooltip has it whole)
  // rather than widening the window.
  lblStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  lblStatus->setContentsMargins(6, 2, 6, 2);
  StatusBar1->addWidget(lblStatus, 1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pnlServer);
  layout->addWidget(pnlQuotes, 1);
  layout->addWidget(StatusBar1);

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  FForm = std::make_unique<TfrmServer>(
      FPlatform,
      [this](const std::string& aLine) {
        memoLog->appendPlainText(QTime::currentTime().toString("HH:mm:ss ") + QString::fromStdString(aLine));
      },
      [this](const std::string& aText) { ShowMessage(aText); }, aPort, aAddresses);
  FPlatform.OnException = [this](std::exception_ptr aError) { FForm->ShowError(aError); };
  FForm->OnStatusChange = [this] { UpdateStatus(); };
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

  if (aConfigure) aConfigure(*FForm);
  FForm->FormCreate();
  FModel->Sync();  // the table is linked now, filled or not
  UpdateStatus();
}

// The grid's model lets go of the table first; then the logic goes while
// the log still exists (stopping the server still writes to it).
TfrmServerWindow::~TfrmServerWindow() {
  FPlatform.OnException = nullptr;
  FForm->OnStatusChange = nullptr;
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

void TfrmServerWindow::UpdateStatus() {
  const bool running = FForm->Status().Running;
  const QString text = QString::fromStdString(FForm->StatusText());
  lblStatus->setText(text);
  lblStatus->setToolTip(text);
  btnStart->setEnabled(!running);
  btnStop->setEnabled(running);
}
