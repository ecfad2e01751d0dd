// Checked POSIX locks. A lock call that fails leaves the program in an unknown state, so every
// failure is fatal: the call, the error text and its code go to standard error and the process
// exits. Both classes meet the standard Lockable / SharedLockable requirements, so
// std::lock_guard, std::unique_lock and std::shared_lock work with them.
#ifndef KT_UTILS_PTHREAD_UTILS_H_
#define KT_UTILS_PTHREAD_UTILS_H_

#include <pthread.h>

namespace kt {

// Prints "<source>:<function>: <call>(): <error> (<code>)" and exits with status -1.
[[noreturn]] void pthread_utils_fatal(const char* source, const char* function, const char* call,
                                      int code);

// Locks the mutex; on failure prints the pthread_mutex_lock message and exits with status 1.
void pthread_utils_mutex_lock(pthread_mutex_t* mutex);

class mutex {
 public:
  mutex();
  ~mutex();
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() { pthread_utils_mutex_lock(&m_); }
  bool try_lock() { return pthread_mutex_trylock(&m_) == 0; }
  void unlock();
  pthread_mutex_t* native() { return &m_; }

 private:
  pthread_mutex_t m_;
};

class rwlock {
 public:
  rwlock();
  ~rwlock();
  rwlock(const rwlock&) = delete;
  rwlock& operator=(const rwlock&) = delete;

  void lock();  // for writing
  bool try_lock() { return pthread_rwlock_trywrlock(&l_) == 0; }
  void unlock();
  void lock_shared();  // for reading
  bool try_lock_shared() { return pthread_rwlock_tryrdlock(&l_) == 0; }
  void unlock_shared() { unlock(); }

 private:
  pthread_rwlock_t l_;
};

}  // namespace kt

#endif  // KT_UTILS_PTHREAD_UTILS_H_
