// Test payloads for the boot programs, assembled from tests/boot/*.asm (the
// boot-program tests reassemble them with nasm where it is installed and
// compare).
#ifndef QUENSARIA_TESTS_BOOT_PROBES_FOR_TESTING_H_
#define QUENSARIA_TESTS_BOOT_PROBES_FOR_TESTING_H_

#include <cstdint>
#include <vector>

namespace quensaria::testing {

// tests/boot/partition_probe.asm: a 512-byte partition boot sector that
// writes "QUENSARIA-PROBE dl=XX flag=XX lba=XXXXXXXX" to COM1.
std::vector<uint8_t> PartitionProbeSector();

// tests/boot/loader_probe.asm: a 204800-byte NTLDR that writes
// "QUENSARIA-LOADER dl=XX TAIL-OK" to COM1.
std::vector<uint8_t> LoaderProbeFile();

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_BOOT_PROBES_FOR_TESTING_H_
