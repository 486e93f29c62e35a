#include "service/registry/client_list.h"

#include <algorithm>
#include <iterator>

namespace quensaria::registry {

ClientList::iterator ClientList::Find(Handle handle) {
  auto found = by_handle_.find(handle);
  return found == by_handle_.end() ? entries_.end() : found->second;
}

ClientList::iterator ClientList::FindAddress(uint32_t address) {
  auto found = by_address_.find(address);
  return found == by_address_.end() ? entries_.end() : found->second.front();
}

const ListedClient* ClientList::FindAddress(uint32_t address) const {
  auto found = by_address_.find(address);
  return found == by_address_.end() ? nullptr : &*found->second.front();
}

Handle ClientList::NextAfter(Handle current) const {
  if (current == 0) return entries_.empty() ? 0 : entries_.front().handle;
  auto found = by_handle_.find(current);
  if (found == by_handle_.end()) return 0;
  auto next = std::next(const_iterator(found->second));
  return next == entries_.end() ? 0 : next->handle;
}

void ClientList::push_back(ListedClient client) {
  const iterator it = entries_.insert(entries_.end(), client);
  by_handle_[client.handle] = it;
  by_address_[client.entry.address].push_back(it);
  if (client.entry.state == kClientRefused) {
    refused_.insert(client.handle);
    refused_order_.push_back(client.handle);
  }
}

ClientList::iterator ClientList::erase(iterator it) {
  by_handle_.erase(it->handle);
  auto same = by_address_.find(it->entry.address);
  if (same != by_address_.end()) {
    std::erase(same->second, it);
    if (same->second.empty()) by_address_.erase(same);
  }
  refused_.erase(it->handle);
  return entries_.erase(it);
}

void ClientList::StateChanged(iterator it) {
  const Handle handle = it->handle;
  const bool refused = it->entry.state == kClientRefused;
  if (refused == (refused_.count(handle) != 0)) return;
  if (!refused) {
    refused_.erase(handle);
    // Gone from the order too: refused again later, it must not count as
    // refused since its first time.
    std::erase(refused_order_, handle);
    return;
  }
  refused_.insert(handle);
  refused_order_.push_back(handle);
}

void ClientList::TrimRefused(size_t most) {
  while (refused_.size() > most && !refused_order_.empty()) {
    const Handle oldest = refused_order_.front();
    refused_order_.pop_front();
    if (refused_.count(oldest) != 0) erase(Find(oldest));
  }
  // Entries that left by other ways are forgotten now and then, so the
  // order never grows beyond a few times the cap.
  if (refused_order_.size() > 2 * refused_.size() + 64) {
    std::erase_if(refused_order_, [this](Handle handle) { return refused_.count(handle) == 0; });
  }
}

}  // namespace quensaria::registry
