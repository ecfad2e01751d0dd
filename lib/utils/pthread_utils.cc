#include "utils/pthread_utils.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kt {

void pthread_utils_fatal(const char* source, const char* function, const char* call, int code) {
  std::fprintf(stderr, "%s:%s: %s(): %s (%d)\n", source, function, call, std::strerror(code), code);
  std::exit(-1);
}

void pthread_utils_mutex_lock(pthread_mutex_t* m) {
  const int rc = pthread_mutex_lock(m);
  if (rc != 0) {
    std::fprintf(stderr, "%s:%s pthread_mutex_lock(): %s (%d)\n", "./pthread_utils",
                 "pthread_utils_mutex_lock", std::strerror(rc), rc);
    std::exit(1);
  }
}

mutex::mutex() {
  const int rc = pthread_mutex_init(&m_, nullptr);
  if (rc != 0) pthread_utils_fatal("./pthread_utils", "mutex", "pthread_mutex_init", rc);
}

mutex::~mutex() {
  const int rc = pthread_mutex_destroy(&m_);
  if (rc != 0) {
    std::fprintf(stderr, "%s:%s: pthread_mutex_destroy(): %s (%d)\n", "./pthread_utils", "~mutex",
                 std::strerror(rc), rc);
  }
}

void mutex::unlock() {
  const int rc = pthread_mutex_unlock(&m_);
  if (rc != 0) pthread_utils_fatal("./pthread_utils", "unlock", "pthread_mutex_unlock", rc);
}

rwlock::rwlock() {
  const int rc = pthread_rwlock_init(&l_, nullptr);
  if (rc != 0) pthread_utils_fatal("./pthread_utils", "rwlock", "pthread_rwlock_init", rc);
}

rwlock::~rwlock() {
  pthread_rwlock_destroy(&l_);
}

void rwlock::lock() {
  const int rc = pthread_rwlock_wrlock(&l_);
  if (rc != 0) pthread_utils_fatal("./pthread_utils", "lock", "pthread_rwlock_wrlock", rc);
}

void rwlock::lock_shared() {
  const int rc = pthread_rwlock_rdlock(&l_);
  if (rc != 0) pthread_utils_fatal("./pthread_utils", "lock_shared", "pthread_rwlock_rdlock", rc);
}

void rwlock::unlock() {
  const int rc = pthread_rwlock_unlock(&l_);
  if (rc != 0) pthread_utils_fatal("./pthread_utils", "unlock", "pthread_rwlock_unlock", rc);
}

void rwlock::unlock_shared() {
  unlock();
}

}  // namespace kt
