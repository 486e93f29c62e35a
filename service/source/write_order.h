// WriteOrder: the writes of one source in progress, by range. A write that
// overlaps one still in progress waits for it to end, so two writes of the
// same blocks on different workers land in the order they began: a copy
// of a write that a client has sent again (on another connection) and then
// written over cannot land after both. Thread-safe.
#ifndef QUENSARIA_SERVICE_SOURCE_WRITE_ORDER_H_
#define QUENSARIA_SERVICE_SOURCE_WRITE_ORDER_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quensaria::source {

class WriteOrder {
 public:
  // A range held while its write is in progress; released when destroyed
  // (or reset). Empty when Try found the range taken.
  class Held {
   public:
    Held() = default;
    Held(Held&& other) noexcept;
    Held& operator=(Held&& other) noexcept;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { reset(); }
    explicit operator bool() const { return order_ != nullptr; }
    void reset();

   private:
    friend class WriteOrder;
    Held(WriteOrder* order, uint64_t id) : order_(order), id_(id) {}
    WriteOrder* order_ = nullptr;
    uint64_t id_ = 0;
  };

  WriteOrder() = default;
  WriteOrder(const WriteOrder&) = delete;
  WriteOrder& operator=(const WriteOrder&) = delete;

  // Waits until no write in progress overlaps the `length` bytes at
  // `offset`, then holds them.
  Held Wait(uint64_t offset, uint64_t length);
  // Holds them only if no write in progress overlaps them (never waits).
  Held Try(uint64_t offset, uint64_t length);

  // Writes waiting in Wait now, so that a test can tell when one has got
  // there.
  int WaitingForTesting();

 private:
  struct Range {
    uint64_t id, offset, end;
  };
  bool Overlaps(uint64_t offset, uint64_t end) const;
  Held Take(uint64_t offset, uint64_t end);
  void Release(uint64_t id);

  std::mutex mutex_;
  std::condition_variable released_;
  std::vector<Range> held_;  // as many as workers write at once
  uint64_t next_id_ = 1;
  int waiting_ = 0;
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_WRITE_ORDER_H_
