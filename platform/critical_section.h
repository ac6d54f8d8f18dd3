// A lock for short sections: a Windows critical section with a spin count on
// Windows, a std::mutex elsewhere. Meets the standard Lockable requirements.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace vx {

class CriticalSection {
 public:
#ifdef _WIN32
  explicit CriticalSection(unsigned long spinCount) { InitializeCriticalSectionAndSpinCount(&section_, spinCount); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }
#else
  explicit CriticalSection(unsigned long /*spinCount*/) {}
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef _WIN32
  CRITICAL_SECTION section_;
#else
  std::mutex mutex_;
#endif
};

}  // namespace vx
