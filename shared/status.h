// Status and Result<T>: errors as values. Inside every program, and at the
// service's registry and management calls, a Status with a Win32 error code
// (win32_error.h; 0 is success) and a message for logs; it never throws.
// Other boundaries keep codes of their own: the wire's REPLY_ statuses
// (block_protocol.h), the driver's NT statuses (nt_status.h, inside it too:
// each device request completes with one), the mounter flows' -1 and -2.
#ifndef QUENSARIA_SHARED_STATUS_H_
#define QUENSARIA_SHARED_STATUS_H_

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quensaria {

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(uint32_t code, std::string message) : code_(code), message_(std::move(message)) {}

  static Status Ok() { return Status(); }

  bool ok() const { return code_ == 0; }
  // The Win32 error code; 0 on success.
  uint32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  // "message (code N)" for logs.
  std::string ToString() const;

 private:
  uint32_t code_ = 0;
  std::string message_;
};

// A value or the Status explaining why there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}         // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {  // NOLINT
    assert(!status_.ok());
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  T& value() & {
    assert(ok());
    return *value_;
  }
  const T& value() const& {
    assert(ok());
    return *value_;
  }
  T&& value() && {
    assert(ok());
    return std::move(*value_);
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_STATUS_H_
