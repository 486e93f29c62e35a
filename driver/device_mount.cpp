// Mount, unmount and query of a DiskDevice. Mount and unmount run in the
// device's worker; the query runs in the requester's thread.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>

#include "driver/debug_print.h"
#include "driver/disk_device.h"
#include "driver/drive_links.h"
#include "platform/page_memory.h"
#include "shared/utf16.h"

namespace quensaria::driver {
namespace {

constexpr uint64_t kLargestDisk = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

// The characters of a record's path field before its NUL.
std::u16string FieldText(const char16_t* field) {
  const char16_t* end = std::find(field, field + kMountPathUnits, u'\0');
  return std::u16string(field, end);
}

std::string LinuxPath(const std::u16string& nt_path) {
  return LinuxPathFromNt(Utf16ToUtf8(nt_path));
}

// A scope that could not take the caller's identity (the driver lacks
// CAP_SETUID or CAP_SETGID) leaves the driver's own rights, root's: only
// the driver's own user may have files opened with them.
bool ActsForCaller(const platform::ScopedIdentity& scope, const platform::CallerIdentity& caller) {
  return scope.applied() || caller.uid == platform::ThreadIdentity().uid;
}

// A copy of a password digest, wiped as it goes: the stack keeps no credential.
struct WipedDigest {
  std::array<uint8_t, kDigestSize> bytes;
  ~WipedDigest() { explicit_bzero(bytes.data(), bytes.size()); }
};

}  // namespace

NtStatus DiskDevice::Mount(const MountRecord& record, const platform::CallerIdentity& caller) {
  // A second mount queued behind the first one finds the device taken.
  if (back_end_) return STATUS_DEVICE_ALREADY_ATTACHED;
  {
    // An unmount raised it; an unload keeps it raised, and a mount then
    // would hold the stop for its log-ons and its requests' reconnects.
    std::scoped_lock lock(queue_mu_);
    if (stop_ || refuse_mounts_) {
      DebugPrint("%s: mount refused: the driver is stopping", name_.c_str());
      return STATUS_NO_MEDIA_IN_DEVICE;
    }
    give_up_.Lower();
  }
  DeviceState state;
  state.source_type = record.sourceType;
  state.server_address = record.serverAddress;
  state.server_port = record.serverPort;
  // The device type, not the source type, decides: a CD-ROM is read-only.
  state.read_only = type_ == DeviceType::kCdRom || record.readOnly != 0;
  state.drive_letter = static_cast<char>(record.driveLetter);
  state.source_name = FieldText(record.sourceName);
  const NtStatus status = record.sourceType == kSourceTypeNetwork
                              ? MountNetwork(record, caller, &state)
                              : MountImage(record, caller, &state);
  if (status != STATUS_SUCCESS) return status;
  state.mounted = true;
  const char letter = state.drive_letter;
  {
    std::scoped_lock lock(queue_mu_);
    parallel_ = std::max<size_t>(1, back_end_->Parallel());
  }
  {
    std::scoped_lock lock(state_mu_);
    state_ = std::move(state);
  }
  // A letter that cannot be linked does not fail the mount.
  linked_ = CreateDriveLink(options_.links_dir, letter, options_.device_path);
  return STATUS_SUCCESS;
}

NtStatus DiskDevice::MountImage(const MountRecord& record, const platform::CallerIdentity& caller,
                                DeviceState* state) {
  const std::string path = LinuxPath(state->source_name);
  platform::BackingFile file;
  NtStatus status;
  {
    platform::ScopedIdentity as_caller(caller);
    if (!ActsForCaller(as_caller, caller)) return STATUS_ACCESS_DENIED;
    status = platform::BackingFile::OpenImage(path, state->read_only, &file);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NO_SUCH_FILE) {
      status = state->read_only || record.imageSize == 0
                   ? STATUS_NO_SUCH_FILE
                   : platform::BackingFile::CreateImage(path, record.imageSize, &file);
    }
  }
  if (status != STATUS_SUCCESS) return status;
  if ((status = file.Size(&state->disk_size)) != STATUS_SUCCESS) return status;
  back_end_ = std::make_unique<ImageBackEnd>(std::move(file));
  return STATUS_SUCCESS;
}

NtStatus DiskDevice::MountNetwork(const MountRecord& record, const platform::CallerIdentity& caller,
                                  DeviceState* state) {
  const uint8_t asked = MountConnections(record);
  if (asked > kMaxMountConnections) return STATUS_INVALID_PARAMETER;
  const size_t wanted = asked != 0 ? asked : options_.connections;
  std::vector<MountServer> servers = MountServers(record);
  if (servers.empty()) servers.push_back({record.serverAddress, record.serverPort});
  // Linux takes 0.0.0.0 for this machine: such a record would hand the
  // caller's digest to whatever listens here. Port 0 is nobody's.
  for (const MountServer& server : servers) {
    if (server.address == 0 || server.port == 0) {
      DebugPrint("Server %s is no server: mount refused", ServerText(server).c_str());
      return STATUS_INVALID_PARAMETER;
    }
  }
  WipedDigest wiped;
  std::array<uint8_t, kDigestSize>& digest = wiped.bytes;
  std::memcpy(digest.data(), record.passwordDigest, digest.size());
  std::unique_ptr<NetworkDisk> disk;
  QueryData query;
  NtStatus status = STATUS_INVALID_PARAMETER;
  state->mount_flags = reinterpret_cast<const uint8_t*>(&record)[kMountFlagsOffset];
  TransportOptions transport = options_.transport;
  transport.tls = (state->mount_flags & kMountFlagTls) != 0;
  // The first server that answers; one that refuses the password refuses
  // the mount, as the others of the same disk would.
  size_t on = 0;
  for (; on < servers.size(); ++on) {
    {
      platform::ScopedIdentity as_caller(caller);
      NtResult<MountedDisk> mounted =
          NetworkDisk::Mount(servers[on].address, servers[on].port, digest, transport);
      status = mounted.status();
      if (mounted.ok() && mounted.value().query.access == ACCESS_REFUSED) {
        // Its address's entry refuses this client: no disk to read there.
        DebugPrint("Server %s refuses this client", ServerText(servers[on]).c_str());
        status = STATUS_ACCESS_DENIED;
      } else if (mounted.ok()) {
        MountedDisk m = std::move(mounted).value();
        disk = std::move(m.disk);
        query = m.query;
      }
    }
    // The wrong kind of export, as a wrong password, is the same on every server.
    if (status == STATUS_SUCCESS || status == STATUS_WRONG_PASSWORD ||
        status == STATUS_EXPORT_NEEDS_TLS || status == STATUS_EXPORT_NOT_TLS) {
      break;
    }
    // A stop is waiting: another server could hold it for a whole time-out.
    if (give_up_.raised()) break;
    if (on + 1 < servers.size()) {
      DebugPrint("Server %s did not answer the mount (%X), trying %s",
                 ServerText(servers[on]).c_str(), status, ServerText(servers[on + 1]).c_str());
    }
  }
  if (status != STATUS_SUCCESS) return status;
  // The device file's size is a signed 64-bit offset: a larger disk would
  // make the file unusable, and with it the device, until the next load.
  if (query.disk_size > kLargestDisk) {
    DebugPrint("Disk size %llu too large", static_cast<unsigned long long>(query.disk_size));
    return STATUS_FILE_TOO_LARGE;
  }
  disk->set_give_up(&give_up_);
  state->disk_size = query.disk_size;
  state->virtual_write = query.access != ACCESS_FULL;
  state->servers = servers;
  state->current_server = static_cast<uint8_t>(on);
  status = disk->SetServers(servers, on, !state->virtual_write && !state->read_only,
                            [this](size_t index) {
                              std::scoped_lock lock(state_mu_);
                              state_.current_server = static_cast<uint8_t>(index);
                            });
  if (status != STATUS_SUCCESS) return status;
  auto connections = std::make_unique<DiskConnections>(std::move(disk), query);
  {
    platform::ScopedIdentity as_caller(caller);
    connections->Open(wanted);
  }
  state->connections = static_cast<uint8_t>(connections->size());
  if (!state->virtual_write) {
    back_end_ = std::make_unique<NetworkBackEnd>(std::move(connections));
    return STATUS_SUCCESS;
  }
  // Only the directory of the record's cache path matters: the cache file
  // itself has no name, so two mounts of one server never share it.
  const std::filesystem::path cache = LinuxPath(FieldText(record.cachePath));
  std::string directory = cache.has_filename() ? cache.parent_path().string() : cache.string();
  if (directory.empty()) directory = options_.default_cache_dir;
  platform::BackingFile file;
  {
    platform::ScopedIdentity as_caller(caller);
    if (!ActsForCaller(as_caller, caller)) return STATUS_ACCESS_DENIED;
    status = platform::BackingFile::CreatePrivate(directory, &file);
  }
  if (status != STATUS_SUCCESS) return status;
  back_end_ =
      std::make_unique<NetworkBackEnd>(std::move(connections), std::move(file), query.disk_size);
  return STATUS_SUCCESS;
}

void DiskDevice::Unmount() {
  DeviceState old;
  {
    // Cleared before anything is released; the query takes the same lock.
    std::scoped_lock lock(state_mu_);
    old = std::move(state_);
    state_ = DeviceState{};
    state_.read_only = type_ == DeviceType::kCdRom;
  }
  {
    std::scoped_lock lock(queue_mu_);
    parallel_ = 1;
  }
  back_end_.reset();  // disconnects, closes the image, drops the write cache
  if (linked_) DeleteDriveLink(options_.links_dir, old.drive_letter, options_.device_path);
  linked_ = false;
  // What the device held goes back to the system, not only to the heap.
  buffers_.Release();
  platform::ReturnFreeHeapMemory();
}

void DiskDevice::Query(DeviceControlBlock* block) const {
  MountRecord out;
  std::memset(&out, 0, sizeof out);
  {
    std::scoped_lock lock(state_mu_);
    if (!state_.mounted) {
      block->status = STATUS_NO_MEDIA_IN_DEVICE;
      block->information = 0;
      return;
    }
    out.imageSize = state_.disk_size;
    out.readOnly = state_.read_only ? 1 : 0;
    out.virtualWrite = state_.virtual_write ? 1 : 0;
    out.sourceType = state_.source_type;
    out.serverAddress = state_.server_address;
    out.serverPort = state_.server_port;
    if (!state_.servers.empty()) (void)SetMountServers(out, state_.servers);
    SetCurrentServer(out, state_.current_server);
    reinterpret_cast<uint8_t*>(&out)[kMountFlagsOffset] = state_.mount_flags;
    SetMountConnections(out, state_.connections);
    out.driveLetter = static_cast<uint8_t>(state_.drive_letter);
    std::copy_n(state_.source_name.begin(), std::min(state_.source_name.size(), kMountPathUnits),
                out.sourceName);
  }
  std::memcpy(block->buffer, &out, sizeof out);
  block->status = STATUS_SUCCESS;
  block->information = sizeof out;
}

}  // namespace quensaria::driver
