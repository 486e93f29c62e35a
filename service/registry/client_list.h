// ClientList: one server's static or online client list, in insertion
// order, whose entries are found by handle or by address without a walk
// (refused clients from thousands of addresses must not make each next
// refusal slower). Refused entries (state 3) are also kept in the order
// they became refused, so the oldest can be dropped when there are too many.
// Lock held by the caller, as for everything in the registry's state.
#ifndef QUENSARIA_SERVICE_REGISTRY_CLIENT_LIST_H_
#define QUENSARIA_SERVICE_REGISTRY_CLIENT_LIST_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "shared/management_records.h"

namespace quensaria::registry {

using Handle = ManagementHandle;  // 0 = none

struct ListedClient {
  Handle handle;
  ClientEntry entry;
};

class ClientList {
 public:
  using iterator = std::list<ListedClient>::iterator;
  using const_iterator = std::list<ListedClient>::const_iterator;

  ClientList() = default;
  ClientList(ClientList&&) = default;
  ClientList& operator=(ClientList&&) = default;
  ClientList(const ClientList&) = delete;  // the indexes point into the list
  ClientList& operator=(const ClientList&) = delete;

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }

  // end() when not listed.
  iterator Find(Handle handle);
  // The first entry listed with `address`, or end().
  iterator FindAddress(uint32_t address);
  const ListedClient* FindAddress(uint32_t address) const;
  bool Contains(Handle handle) const { return by_handle_.count(handle) != 0; }
  // The handle after `current` (the first for 0); 0 at the end or when
  // `current` is not listed.
  Handle NextAfter(Handle current) const;

  void push_back(ListedClient client);
  iterator erase(iterator it);
  // After `it`'s state was changed in place: the cap counts it as refused
  // from now on, or no longer.
  void StateChanged(iterator it);
  // Drops the oldest refused entries until at most `most` remain.
  void TrimRefused(size_t most);
  size_t refused() const { return refused_.size(); }

 private:
  std::list<ListedClient> entries_;
  std::unordered_map<Handle, iterator> by_handle_;
  std::unordered_map<uint32_t, std::vector<iterator>> by_address_;  // in list order
  // The listed entries refused now, and the order they became so (it may
  // still hold gone ones).
  std::unordered_set<Handle> refused_;
  std::deque<Handle> refused_order_;
};

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_CLIENT_LIST_H_
