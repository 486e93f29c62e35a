// The mounter's command line: looked at only when there is exactly one
// argument, compared exactly and case-sensitively.
#ifndef QUENSARIA_MOUNTER_COMMAND_LINE_H_
#define QUENSARIA_MOUNTER_COMMAND_LINE_H_

namespace quensaria::mounter {

enum class StartMode {
  kNormal,     // no argument, or anything else: the main window is shown
  kHidden,     // "-a": only the tray icon
  kAutoMount,  // "-automount": silent automatic mount, no window, then exit
  kHelp,       // "--help": the usage on standard output, nothing else
};

// What "--help" prints.
inline constexpr char kMounterUsage[] =
    "usage: velmoran-mounter [-a | -automount | --help]\n"
    "  (none)      show the window\n"
    "  -a          start in the notification area and mount the saved drives\n"
    "  -automount  mount the saved drives silently, then exit (no display needed)\n"
    "  --help      print this text and exit\n";

StartMode ParseCommandLine(int argc, const char* const* argv);

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_COMMAND_LINE_H_
