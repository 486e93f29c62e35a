// The mounter's command line: looked at only when there is exactly one
// argument, compared exactly and case-sensitively.
#ifndef QUENSARIA_MOUNTER_COMMAND_LINE_H_
#define QUENSARIA_MOUNTER_COMMAND_LINE_H_

namespace quensaria::mounter {

enum class StartMode {
  kNormal,     // no argument, or anything else: the main window is shown
  kHidden,     // "-a": only the tray icon
  kAutoMount,  // "-automount": silent automatic mount, no window, then exit
};

StartMode ParseCommandLine(int argc, const char* const* argv);

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_COMMAND_LINE_H_
