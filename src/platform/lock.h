// The library's lock, annotated so clang's -Wthread-safety proves which lock
// guards which member and which functions expect it held (other compilers see
// a plain std::mutex). std::lock_guard and std::unique_lock hide the locking
// from the analysis: code takes a Mutex through LockGuard or lock()/unlock().
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#if defined(__clang__)
#define PEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) PEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) PEL_THREAD_ANNOTATION(guarded_by(x))
#define ACQUIRED_BEFORE(...) PEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) PEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) PEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) PEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

namespace pel {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

  // Waits as std::condition_variable does: the lock, held on the call, is released while waiting
  // and held again on return. The predicate runs with the lock held; a lambda that reads guarded
  // members says so with REQUIRES(the mutex). False when the bound ran out with it still false.
  template <class Rep, class Period, class Predicate>
  bool WaitFor(std::condition_variable& changed, const std::chrono::duration<Rep, Period>& bound,
               Predicate done) REQUIRES(this) {
    std::unique_lock<std::mutex> held(m_mutex, std::adopt_lock);
    const bool met = changed.wait_for(held, bound, std::move(done));
    held.release();
    return met;
  }

 private:
  friend class LockGuard;
  std::mutex m_mutex;
};

// Holds a Mutex for its scope, and can let go and take it again within, as std::unique_lock can.
class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
  ~LockGuard() RELEASE() {}
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

  void Unlock() RELEASE() { m_lock.unlock(); }
  void Lock() ACQUIRE() { m_lock.lock(); }

 private:
  std::unique_lock<std::mutex> m_lock;
};

}  // namespace pel
