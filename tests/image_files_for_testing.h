// Test helpers on image files.
#ifndef QUENSARIA_TESTS_IMAGE_FILES_FOR_TESTING_H_
#define QUENSARIA_TESTS_IMAGE_FILES_FOR_TESTING_H_

#include <cstdint>
#include <string>

namespace quensaria::testing {

// Copies the bytes of `image` from `offset` to its end into `out` (created or
// replaced), keeping holes holes: only the image's data extents are read and
// written, so a 10 GiB sparse partition is copied in a moment. fsck.fat
// checks volumes, not disks; this hands it the partition.
void CopySparseTail(const std::string& image, uint64_t offset, const std::string& out);

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_IMAGE_FILES_FOR_TESTING_H_
