// Allocation failure injection for tests. Compiled only into builds made with
// the CMake option NORBE_FAULT_INJECTION; a normal build has none of this.
//
// The global operator new and delete are replaced inside the extension only:
// the link step marks them local (fault_injection.map) and binds the module's
// own references to them (-Bsymbolic), so they never interpose on another
// library of the process. Every C++ allocation of the module, including its
// std::string and std::vector storage (their templates are instantiated in
// the module in this build), comes through here.
//
// A test arms a countdown through the exported C function below (reached with
// ctypes): after `countdown` more allocations succeed, the next one fails, and
// with `sticky` every one after it fails too, until the test disarms it.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// -1: disarmed. n >= 0: n more allocations succeed before the failure.
std::atomic<long> g_countdown{-1};
std::atomic<bool> g_sticky{false};
std::atomic<long> g_injected{0};

bool inject_failure() noexcept {
  long current = g_countdown.load(std::memory_order_relaxed);
  for (;;) {
    if (current < 0) return false;
    const long next = current > 0 ? current - 1 : (g_sticky.load(std::memory_order_relaxed) ? 0 : -1);
    if (g_countdown.compare_exchange_weak(current, next, std::memory_order_relaxed)) break;
  }
  if (current > 0) return false;
  g_injected.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void* allocate(std::size_t size) noexcept {
  if (inject_failure()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* allocate_or_throw(std::size_t size) {
  void* memory = allocate(size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

// Arms the countdown (a negative countdown disarms it) and returns the number
// of failures injected since the previous call. The build compiles this file
// with default visibility, so that the tests find the function.
extern "C" long norbe_fault_injection_arm(long countdown, int sticky) {
  g_sticky.store(sticky != 0, std::memory_order_relaxed);
  g_countdown.store(countdown < 0 ? -1 : countdown, std::memory_order_relaxed);
  return g_injected.exchange(0, std::memory_order_relaxed);
}

void* operator new(std::size_t size) {
  return allocate_or_throw(size);
}
void* operator new[](std::size_t size) {
  return allocate_or_throw(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
