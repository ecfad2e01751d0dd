// Reference-counted objects: the one sharing scheme of the library and the server.
//
// An object derives from ref_object; its count starts at 0. ref_ptr<T> takes a reference on
// construction and drops it on destruction; the holder that drops the count from 1 to 0 deletes
// the object (its destructor is the object's free function). Counting is atomic, so references
// may be taken and dropped from any thread.
#ifndef KT_UTILS_REFOBJ_H_
#define KT_UTILS_REFOBJ_H_

#include <atomic>
#include <cstdint>
#include <utility>

namespace kt {

class ref_object {
 public:
  ref_object() = default;
  ref_object(const ref_object&) = delete;
  ref_object& operator=(const ref_object&) = delete;

  void ref() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void unref() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  uint32_t ref_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

 protected:
  virtual ~ref_object() = default;

 private:
  mutable std::atomic<uint32_t> refs_{0};
};

template <class T>
class ref_ptr {
 public:
  ref_ptr() noexcept = default;
  ref_ptr(std::nullptr_t) noexcept {}
  explicit ref_ptr(T* p) noexcept : p_(p) {
    if (p_ != nullptr) p_->ref();
  }
  ref_ptr(const ref_ptr& o) noexcept : ref_ptr(o.p_) {}
  ref_ptr(ref_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  ref_ptr(const ref_ptr<U>& o) noexcept : ref_ptr(o.get()) {}
  ~ref_ptr() { reset(); }

  ref_ptr& operator=(const ref_ptr& o) noexcept {
    ref_ptr(o).swap(*this);
    return *this;
  }
  ref_ptr& operator=(ref_ptr&& o) noexcept {
    ref_ptr(std::move(o)).swap(*this);
    return *this;
  }

  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->unref();
  }
  void swap(ref_ptr& o) noexcept { std::swap(p_, o.p_); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const ref_ptr& a, const ref_ptr& b) noexcept { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

// Creates an object and hands back the first reference.
template <class T, class... Args>
ref_ptr<T> make_ref(Args&&... args) {
  return ref_ptr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace kt

#endif  // KT_UTILS_REFOBJ_H_
