// The analyzer program: `orvane [FILE]` opens FILE (a capture file) at start.
#include <QApplication>
#include <QTimer>

#include "app/app_style.h"
#include "app/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Q_INIT_RESOURCE(icons);
  MainWindow window;
  window.show();
  app.setStyleSheet(kAppStyleSheet);
  if (argc > 1) {
    QString path = QString::fromLocal8Bit(argv[1]);
    QTimer::singleShot(0, &window, [&window, path] { window.openFile(path); });
  }
  return app.exec();
}
