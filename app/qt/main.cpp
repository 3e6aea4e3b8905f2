// The program: the server window as the main window, the main loop until
// it is closed.
#include <QApplication>

#include "frmServer.h"
#include "tvqWebSocket_HTTPResponse.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  TQtPlatform platform;
  tvqSetPlatform(&platform);
  tvqRegisterWebResources();
  TfrmServerWindow frmServer(platform);
  frmServer.show();
  return application.exec();
}
