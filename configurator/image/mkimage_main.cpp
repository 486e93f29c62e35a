// ludrane-mkimage FILE SIZE_MIB FAT|FAT32: creates a disk-image file the way
// the configurator's new-image dialog does, with the same checks and
// messages. Exit status 0 only when the image was created.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include "configurator/image/create_image.h"

namespace {

using quensaria::configurator::ImageFileSystem;

constexpr char kUsage[] =
    "usage: ludrane-mkimage FILE SIZE_MIB FAT|FAT32\n"
    "Creates FILE as a sparse disk image of SIZE_MIB MiB (1 MiB = 1048576 bytes):\n"
    "a master boot record and one active partition from sector 63 holding an\n"
    "empty FAT (8 to 4095 MiB) or FAT32 (33 MiB to 2 TiB) volume labelled\n"
    "\"Quensaria\". An existing FILE is replaced once the new image is complete.\n"
    "  -h, --help  print this help and exit\n"
    "Exit status: 0 when the image was created; 1 when the size was refused\n"
    "(nothing is created) or the file could not be created or written (an\n"
    "existing FILE is left as it was, unless its folder kept it from being\n"
    "replaced and it was written in place); 2 bad usage.\n";

std::optional<uint64_t> ParseSize(const char* text) {
  if (*text == '\0') return std::nullopt;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    // Saturate: every size this large is refused anyway.
    value =
        value > UINT64_MAX / 100 ? UINT64_MAX / 100 : value * 10 + static_cast<uint64_t>(*p - '0');
  }
  return value;
}

std::optional<ImageFileSystem> ParseFileSystem(const char* text) {
  if (strcasecmp(text, "FAT") == 0) return ImageFileSystem::kFat;
  if (strcasecmp(text, "FAT32") == 0) return ImageFileSystem::kFat32;
  return std::nullopt;
}

// The dialog's progress bar: ten steps, 20 ms apart, drawn in place on a
// terminal and as one line otherwise.
void ShowProgress() {
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  for (int step = 1; step <= quensaria::configurator::kProgressSteps; ++step) {
    if (!terminal && step < quensaria::configurator::kProgressSteps) continue;
    std::string bar(static_cast<size_t>(step), '#');
    bar.resize(quensaria::configurator::kProgressSteps, ' ');
    std::printf("%sProgress: [%s] %3d%%", terminal ? "\r" : "", bar.c_str(),
                step * 100 / quensaria::configurator::kProgressSteps);
    std::fflush(stdout);
    if (terminal) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("\n");
}

int Run(int argc, char** argv) {
  // Wherever it stands: "-h disk.img 8 FAT" asks for the usage, not for an
  // image named "-h".
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  std::optional<uint64_t> size = argc == 4 ? ParseSize(argv[2]) : std::nullopt;
  std::optional<ImageFileSystem> file_system = argc == 4 ? ParseFileSystem(argv[3]) : std::nullopt;
  // A FILE that reads as an option is one this program does not know.
  if (!size || !file_system || argv[1][0] == '\0' || argv[1][0] == '-') {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // A file-size limit (ulimit -f) must fail the sizing call, not kill us.
  std::signal(SIGXFSZ, SIG_IGN);

  quensaria::Status s = quensaria::configurator::CreateImage(argv[1], *size, *file_system);
  if (!s.ok()) {
    std::fprintf(stderr, "%s\n", s.message().c_str());
    return 1;
  }
  ShowProgress();
  std::printf("%s\n", quensaria::configurator::kMessageComplete);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ludrane-mkimage: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "ludrane-mkimage: unexpected failure\n");
  }
  return 1;
}
