// The window's QtTest classes, collected for window_test_main.cpp.
#ifndef QUENSARIA_MOUNTER_WINDOW_TESTS_H_
#define QUENSARIA_MOUNTER_WINDOW_TESTS_H_

#include <QObject>
#include <vector>

namespace quensaria::mounter {

QObject* NewDriveTextsTest();
QObject* NewDialogsTest();
QObject* NewMainWindowTest();
QObject* NewWindowOnEngineTest();

inline std::vector<QObject*> WindowTests() {
  return {NewDriveTextsTest(), NewDialogsTest(), NewMainWindowTest(), NewWindowOnEngineTest()};
}

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_WINDOW_TESTS_H_
