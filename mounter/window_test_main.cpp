// Runs the window's QtTest classes in one offscreen QApplication.
#include <QApplication>
#include <QTest>

#include "mounter/window_tests.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failed = 0;
  for (QObject* test : quensaria::mounter::WindowTests()) {
    failed += QTest::qExec(test, argc, argv);
    delete test;
  }
  return failed == 0 ? 0 : 1;
}
