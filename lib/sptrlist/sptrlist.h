// Slotted pointer list: slots that each hold an item or are empty. add() fills the first empty
// slot, so emptied slots are reused and the slot of an item never changes while it is listed.
//
// P is a nullable pointer type: a raw T* (the list doesn't own the items), a kt::ref_ptr<T> (the
// list holds a reference on each item) or a std::unique_ptr<T> (the list owns them). A null P is
// an empty slot. A new list has one empty slot; destroying it (sptrlist_free) destroys the slots
// only, which frees nothing for raw pointers. Not synchronised: one thread at a time.
#ifndef KT_SPTRLIST_SPTRLIST_H_
#define KT_SPTRLIST_SPTRLIST_H_

#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

namespace kt {

template <class P>
class sptrlist {
 public:
  // sptrlist_create: one empty slot.
  sptrlist() : slots_(1) {}

  // sptrlist_add: stores item in the first empty slot, growing the list by one slot when every
  // slot is taken. Returns the slot, or -1 when the item is null or memory runs out.
  std::ptrdiff_t add(P item) {
    if (!item) return -1;
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i]) {
        slots_[i] = std::move(item);
        return static_cast<std::ptrdiff_t>(i);
      }
    }
    try {
      slots_.push_back(std::move(item));
    } catch (...) {
      return -1;
    }
    return static_cast<std::ptrdiff_t>(slots_.size() - 1);
  }

  // sptrlist_count: the number of filled slots.
  size_t count() const {
    size_t n = 0;
    for (const P& p : slots_) n += p ? 1 : 0;
    return n;
  }

  // Slot access; slots run from 0 to slots() - 1 and may be empty.
  size_t slots() const { return slots_.size(); }
  const P& operator[](size_t slot) const { return slots_[slot]; }

  // Empties a slot and hands back what it held.
  P erase(size_t slot) { return slot < slots_.size() ? std::exchange(slots_[slot], P()) : P(); }

  // sptrlist_free_ref: calls release on every item in slot order and empties the list.
  template <class F>
  void free_ref(F release) {
    for (P& p : slots_) {
      if (p) release(std::exchange(p, P()));
    }
  }

  // Iterates over the filled slots only, in slot order.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = P;
    using difference_type = std::ptrdiff_t;
    using pointer = const P*;
    using reference = const P&;

    const_iterator() = default;
    reference operator*() const { return (*slots_)[i_]; }
    pointer operator->() const { return &(*slots_)[i_]; }
    const_iterator& operator++() {
      ++i_;
      skip();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.i_ == b.i_;
    }
    size_t slot() const { return i_; }

   private:
    friend class sptrlist;
    const_iterator(const std::vector<P>* slots, size_t i) : slots_(slots), i_(i) { skip(); }
    void skip() {
      while (i_ < slots_->size() && !(*slots_)[i_]) ++i_;
    }
    const std::vector<P>* slots_ = nullptr;
    size_t i_ = 0;
  };

  const_iterator begin() const { return const_iterator(&slots_, 0); }
  const_iterator end() const { return const_iterator(&slots_, slots_.size()); }

 private:
  std::vector<P> slots_;
};

}  // namespace kt

#endif  // KT_SPTRLIST_SPTRLIST_H_
