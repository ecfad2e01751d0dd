// Bundles of two or four owned pointers, handed as one argument to scheduled tasks. Destroying a
// bundle frees every pointer it holds.
#ifndef KT_BUFFERS_VOID_PTR_H_
#define KT_BUFFERS_VOID_PTR_H_

#include <memory>

namespace kt {

template <class A, class B>
struct void_ptr2 {
  std::unique_ptr<A> p1;
  std::unique_ptr<B> p2;
};

template <class A, class B, class C, class D>
struct void_ptr4 {
  std::unique_ptr<A> p1;
  std::unique_ptr<B> p2;
  std::unique_ptr<C> p3;
  std::unique_ptr<D> p4;
};

// Empty bundles.
template <class A, class B>
std::unique_ptr<void_ptr2<A, B>> void_ptr2_p_create() {
  return std::make_unique<void_ptr2<A, B>>();
}

template <class A, class B, class C, class D>
std::unique_ptr<void_ptr4<A, B, C, D>> void_ptr4_p_create() {
  return std::make_unique<void_ptr4<A, B, C, D>>();
}

}  // namespace kt

#endif  // KT_BUFFERS_VOID_PTR_H_
