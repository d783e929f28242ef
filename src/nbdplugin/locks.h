// Locks whose rules the compiler checks: clang's thread-safety analysis
// (-Wthread-safety) knows which lock guards what and which functions need
// it held. Other compilers see plain locks.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define QUILLON_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLON_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUILLON_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUILLON_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUILLON_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) QUILLON_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QUILLON_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QUILLON_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QUILLON_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QUILLON_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QUILLON_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) QUILLON_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define EXCLUDES(...) QUILLON_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define LOCK_RETURNED(x) QUILLON_THREAD_ANNOTATION(lock_returned(x))

// A lock one thread holds at a time.
class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() noexcept RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// A lock many threads may share to read, or one hold alone to change.
class CAPABILITY("mutex") SharedMutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() noexcept RELEASE() { mutex_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void UnlockShared() noexcept RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a Mutex, or a SharedMutex alone, while it lives; Unlock and Relock
// let it go and take it again on the way.
template <typename Lockable>
class SCOPED_CAPABILITY Locked {
 public:
  explicit Locked(Lockable* lock) ACQUIRE(lock) : lock_(lock) { lock_->Lock(); }
  ~Locked() RELEASE() {
    if (held_) lock_->Unlock();
  }
  void Unlock() noexcept RELEASE() {
    lock_->Unlock();
    held_ = false;
  }
  void Relock() ACQUIRE() {
    lock_->Lock();
    held_ = true;
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Lockable* lock_;
  bool held_ = true;
};

// Shares a SharedMutex while it lives.
class SCOPED_CAPABILITY Shared {
 public:
  explicit Shared(SharedMutex* lock) ACQUIRE_SHARED(lock) : lock_(lock) { lock_->LockShared(); }
  ~Shared() RELEASE() { lock_->UnlockShared(); }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

 private:
  SharedMutex* lock_;
};
