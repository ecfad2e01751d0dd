// Checked POSIX locks. A lock call that fails leaves the program in an unknown state, so every
// failure is fatal: the call, the error text and its code go to standard error and the process
// exits. Both classes meet the standard Lockable / SharedLockable requirements, so
// std::lock_guard, std::unique_lock and std::shared_lock work with them.
#ifndef KT_UTILS_PTHREAD_UTILS_H_
#define KT_UTILS_PTHREAD_UTILS_H_

#include <pthread.h>

// Clang's thread-safety attributes: with clang and -Wthread-safety, code that touches a member
// marked KT_GUARDED_BY(m) without holding m, or that returns without releasing what it took,
// fails to build. Other compilers ignore them.
#if defined(__clang__)
#define KT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KT_THREAD_ANNOTATION(x)
#endif
#define KT_CAPABILITY(name) KT_THREAD_ANNOTATION(capability(name))
#define KT_SCOPED_CAPABILITY KT_THREAD_ANNOTATION(scoped_lockable)
#define KT_GUARDED_BY(m) KT_THREAD_ANNOTATION(guarded_by(m))
#define KT_REQUIRES(...) KT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KT_REQUIRES_SHARED(...) KT_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define KT_ACQUIRE(...) KT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KT_ACQUIRE_SHARED(...) KT_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define KT_RELEASE(...) KT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KT_RELEASE_SHARED(...) KT_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define KT_RELEASE_GENERIC(...) KT_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define KT_TRY_ACQUIRE(...) KT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KT_TRY_ACQUIRE_SHARED(...) KT_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define KT_EXCLUDES(...) KT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KT_NO_THREAD_SAFETY_ANALYSIS KT_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kt {

// Prints "<source>:<function>: <call>(): <error> (<code>)" and exits with status -1.
[[noreturn]] void pthread_utils_fatal(const char* source, const char* function, const char* call,
                                      int code);

// Locks the mutex; on failure prints the pthread_mutex_lock message and exits with status 1.
void pthread_utils_mutex_lock(pthread_mutex_t* mutex);

class KT_CAPABILITY("mutex") mutex {
 public:
  mutex();
  ~mutex();
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() KT_ACQUIRE() { pthread_utils_mutex_lock(&m_); }
  bool try_lock() KT_TRY_ACQUIRE(true) { return pthread_mutex_trylock(&m_) == 0; }
  void unlock() KT_RELEASE();
  pthread_mutex_t* native() { return &m_; }

 private:
  pthread_mutex_t m_;
};

class KT_CAPABILITY("rwlock") rwlock {
 public:
  rwlock();
  ~rwlock();
  rwlock(const rwlock&) = delete;
  rwlock& operator=(const rwlock&) = delete;

  void lock() KT_ACQUIRE();  // for writing
  bool try_lock() KT_TRY_ACQUIRE(true) { return pthread_rwlock_trywrlock(&l_) == 0; }
  void unlock() KT_RELEASE_GENERIC();
  void lock_shared() KT_ACQUIRE_SHARED();  // for reading
  bool try_lock_shared() KT_TRY_ACQUIRE_SHARED(true) { return pthread_rwlock_tryrdlock(&l_) == 0; }
  void unlock_shared() KT_RELEASE_SHARED();

 private:
  pthread_rwlock_t l_;
};

// Holds a mutex for its scope; unlike std::lock_guard, visible to clang's analysis, so members
// marked KT_GUARDED_BY the mutex may be used under it.
class KT_SCOPED_CAPABILITY mutex_guard {
 public:
  explicit mutex_guard(mutex& m) KT_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~mutex_guard() KT_RELEASE() { m_.unlock(); }
  mutex_guard(const mutex_guard&) = delete;
  mutex_guard& operator=(const mutex_guard&) = delete;

 private:
  mutex& m_;
};

}  // namespace kt

#endif  // KT_UTILS_PTHREAD_UTILS_H_
