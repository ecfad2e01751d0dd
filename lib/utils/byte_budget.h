// A budget of bytes shared by threads, for work whose memory grows with its input (parsing a
// request): take() waits until the bytes fit, and the ticket hands them back when it goes. A
// claim larger than the whole budget waits until nothing else holds any, then runs alone.
#ifndef KT_UTILS_BYTE_BUDGET_H_
#define KT_UTILS_BYTE_BUDGET_H_

#include <condition_variable>
#include <cstdint>

#include "utils/pthread_utils.h"

namespace kt {

class byte_budget {
 public:
  // Hands its bytes back when it goes.
  class ticket {
   public:
    ticket() = default;
    ticket(ticket&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) {
      other.budget_ = nullptr;
    }
    ticket& operator=(ticket&& other) noexcept;
    ~ticket() { release(); }
    void release();

   private:
    friend class byte_budget;
    ticket(byte_budget* budget, uint64_t bytes) : budget_(budget), bytes_(bytes) {}
    byte_budget* budget_ = nullptr;
    uint64_t bytes_ = 0;
  };

  explicit byte_budget(uint64_t capacity) : capacity_(capacity) {}
  byte_budget(const byte_budget&) = delete;
  byte_budget& operator=(const byte_budget&) = delete;

  // Waits until bytes fit in what the others leave (capped at the whole budget) and takes them.
  ticket take(uint64_t bytes);
  // Bytes held now.
  uint64_t held() const;

 private:
  void give_back(uint64_t bytes);

  const uint64_t capacity_;
  mutable mutex lock_;
  std::condition_variable_any freed_;
  uint64_t held_ = 0;
};

}  // namespace kt

#endif  // KT_UTILS_BYTE_BUDGET_H_
