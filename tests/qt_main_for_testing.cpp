// main() of the GoogleTest binaries that need a QApplication (widgets,
// D-Bus, timers). The platform comes from QT_QPA_PLATFORM (offscreen in
// ctest, and here when nothing else was asked for).
#include <gtest/gtest.h>

#include <QApplication>

// Under LeakSanitizer: what Qt, fontconfig and libdbus keep for the life of
// the process on purpose (caches and singletons freed only at exit, if at
// all). Only those libraries are named; the project's own code is not.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n"
         "leak:libQt6DBus.so\n"
         "leak:libQt6Gui.so\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
