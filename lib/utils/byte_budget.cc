#include "utils/byte_budget.h"

#include <algorithm>
#include <mutex>

namespace kt {

byte_budget::ticket& byte_budget::ticket::operator=(ticket&& other) noexcept {
  if (this != &other) {
    release();
    budget_ = other.budget_;
    bytes_ = other.bytes_;
    other.budget_ = nullptr;
  }
  return *this;
}

void byte_budget::ticket::release() {
  if (budget_ != nullptr) budget_->give_back(bytes_);
  budget_ = nullptr;
}

byte_budget::ticket byte_budget::take(uint64_t bytes) {
  bytes = std::min(bytes, capacity_);
  std::unique_lock lock(lock_);
  freed_.wait(lock, [&] { return held_ + bytes <= capacity_; });
  held_ += bytes;
  return ticket(this, bytes);
}

uint64_t byte_budget::held() const {
  std::lock_guard lock(lock_);
  return held_;
}

void byte_budget::give_back(uint64_t bytes) {
  {
    std::lock_guard lock(lock_);
    held_ -= bytes;
  }
  freed_.notify_all();
}

}  // namespace kt
