#include "driver/server_choice.h"

#include <algorithm>

namespace quensaria::driver {
namespace {

bool IsZero(const SourceId& id) {
  return std::all_of(id.begin(), id.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

ServerFit JudgeServer(const ServerOffer& mounted, const ServerOffer& offered,
                      bool writes_reach_server) {
  if (offered.disk_size != mounted.disk_size) return ServerFit::kOtherSize;
  if (!writes_reach_server) {
    return offered.access == ACCESS_REFUSED ? ServerFit::kRefused : ServerFit::kFits;
  }
  if (IsZero(mounted.source_id)) return ServerFit::kNoSharedSource;
  if (offered.source_id != mounted.source_id) return ServerFit::kOtherSource;
  if (offered.access != ACCESS_FULL) return ServerFit::kNoFullAccess;
  return ServerFit::kFits;
}

const char* ServerFitText(ServerFit fit) {
  switch (fit) {
    case ServerFit::kFits:
      return "fits";
    case ServerFit::kOtherSize:
      return "it serves a disk of another size";
    case ServerFit::kNoSharedSource:
      return "this disk's own server serves no shared source, so its writes may go to no other";
    case ServerFit::kOtherSource:
      return "it serves another source";
    case ServerFit::kNoFullAccess:
      return "it does not grant this disk full access";
    case ServerFit::kRefused:
      return "it refuses this client";
  }
  return "?";
}

}  // namespace quensaria::driver
