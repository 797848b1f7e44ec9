// libcmc.cc - common library stand-in: mutexes, pooled small-stack threads,
// and the XChaCha20-Poly1305 cipher of the enciphered exchange.
#include "platform/libcmc.h"

#include <semaphore.h>
#include <syslog.h>
#include <sodium.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/root.h"

namespace {

// ---- Mutexes ---------------------------------------------------------------

// The daemon creates one mutex; a small fixed table keeps handles stable.
constexpr int kMaxMutexes = 16;
std::mutex g_mutexes[kMaxMutexes];
std::mutex g_mutex_table_lock;
int g_mutex_count = 0;

bool ValidHandle(int32_t h) { return h >= 0 && h < kMaxMutexes; }

// ---- Threads ---------------------------------------------------------------

// Workers keep little: two 1024-byte frames and the dispatcher's locals.
constexpr size_t kThreadStackSize = 256 * 1024;
// Idle workers wait this long for the next connection before ending.
constexpr time_t kIdleTimeoutSeconds = 30;
constexpr size_t kMaxIdleWorkers = 64;

// An idle worker sleeps on its own semaphore, so a hand-over wakes exactly
// that thread, and the pool lock is held only to push or pop the idle stack,
// never while anyone sleeps: a shared condition variable would make the
// woken worker fight the accept thread and the finishing workers for it.
struct Worker {
  sem_t wake;
  // Stored (release) after `arg` and before the post. The semaphore already
  // orders them, but ThreadSanitizer cannot see that through
  // sem_clockwait; the atomic makes the hand-over visible to it.
  std::atomic<void* (*)(void*)> routine{nullptr};
  void* arg = nullptr;
};

std::mutex g_pool_lock;
std::vector<Worker*> g_idle;  // guarded by g_pool_lock; last in, first out

// Waits for a hand-over; false after the idle time-out.
bool WaitForWork(Worker* w) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += kIdleTimeoutSeconds;
  for (;;) {
    if (sem_clockwait(&w->wake, CLOCK_MONOTONIC, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// Runs one routine; an exception it lets out ends that routine's work only,
// not the process (std::terminate) and not this pooled thread.
void RunRoutine(Worker* self) {
  try {
    self->routine.load(std::memory_order_acquire)(self->arg);
  } catch (const std::exception& e) {
    char line[160];
    snprintf(line, sizeof line, "cmsd: thread routine failed: %s", e.what());
    cms::platform::LogLine(LOG_ERR, line);
  } catch (...) {
    cms::platform::LogLine(LOG_ERR, "cmsd: thread routine failed");
  }
}

void* WorkerMain(void* p) {
  Worker* self = static_cast<Worker*>(p);
  for (;;) {
    RunRoutine(self);
    {
      std::lock_guard lock(g_pool_lock);
      if (g_idle.size() >= kMaxIdleWorkers) break;
      g_idle.push_back(self);
    }
    if (WaitForWork(self)) continue;
    {
      std::lock_guard lock(g_pool_lock);
      // Still on the stack: nobody can hand us work any more, so leave.
      if (std::erase(g_idle, self) != 0) break;
    }
    // A hand-over popped us just as the wait ran out; its post is coming.
    while (sem_wait(&self->wake) != 0) {
    }
  }
  sem_destroy(&self->wake);
  delete self;
  return nullptr;
}

// ---- Cipher ----------------------------------------------------------------

constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr size_t kKeyBytes = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;

// Reads the key file anew at each call: the enciphered exchange is rare and
// a replaced key takes effect at once.
bool LoadKey(unsigned char key[kKeyBytes]) {
  static std::once_flag init_once;
  static bool sodium_ok = false;
  std::call_once(init_once, [] { sodium_ok = sodium_init() >= 0; });
  if (!sodium_ok) return false;
  const std::string path = cms::platform::HostPath("/etc/cms/cipher.key");
  FILE* f = fopen(path.c_str(), "rbe");
  if (f == nullptr) return false;
  unsigned char buf[kKeyBytes + 1];
  const size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  if (n != kKeyBytes) {
    sodium_memzero(buf, sizeof buf);
    return false;
  }
  memcpy(key, buf, kKeyBytes);
  sodium_memzero(buf, sizeof buf);
  return true;
}

}  // namespace

extern "C" {

int32_t CM_MutexCreate(void) {
  std::lock_guard lock(g_mutex_table_lock);
  if (g_mutex_count >= kMaxMutexes) return -1;
  return g_mutex_count++;
}

int CM_MutexWait(int32_t handle) {
  if (!ValidHandle(handle)) return -1;
  g_mutexes[handle].lock();
  return 0;
}

int CM_MutexRelease(int32_t handle) {
  if (!ValidHandle(handle)) return -1;
  g_mutexes[handle].unlock();
  return 0;
}

int CM_MutexDestroy(int32_t handle) { return ValidHandle(handle) ? 0 : -1; }

int CM_ThreadCreate(void* (*routine)(void*), void* arg, pthread_t* thread_out) {
  if (routine == nullptr) return -1;
  Worker* w = nullptr;
  {
    std::lock_guard lock(g_pool_lock);
    if (!g_idle.empty()) {
      w = g_idle.back();
      g_idle.pop_back();
    }
  }
  if (w != nullptr) {
    // Popped, the worker is ours alone.
    w->arg = arg;
    w->routine.store(routine, std::memory_order_release);
    sem_post(&w->wake);
    if (thread_out != nullptr) *thread_out = pthread_t{};
    return 0;
  }
  w = new Worker;
  sem_init(&w->wake, 0, 0);
  // pthread_create orders these for the new thread.
  w->arg = arg;
  w->routine.store(routine, std::memory_order_relaxed);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kThreadStackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  const int rc = pthread_create(&tid, &attr, WorkerMain, w);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    sem_destroy(&w->wake);
    delete w;
    return rc;
  }
  if (thread_out != nullptr) *thread_out = tid;
  return 0;
}

unsigned char* CM_EncryptCfgData(const unsigned char* in, int len,
                                 int* out_len) {
  if (in == nullptr || len < 0) return nullptr;
  unsigned char key[kKeyBytes];
  if (!LoadKey(key)) return nullptr;
  const size_t total = kNonceBytes + static_cast<size_t>(len) + kTagBytes;
  auto* out = static_cast<unsigned char*>(malloc(total));
  if (out == nullptr) {
    sodium_memzero(key, sizeof key);
    return nullptr;
  }
  randombytes_buf(out, kNonceBytes);
  unsigned long long clen = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(out + kNonceBytes, &clen, in,
                                             static_cast<size_t>(len), nullptr,
                                             0, nullptr, out, key);
  sodium_memzero(key, sizeof key);
  if (out_len != nullptr) *out_len = static_cast<int>(kNonceBytes + clen);
  return out;
}

unsigned char* CM_DecryptCfgData(const unsigned char* in, int in_len,
                                 int* out_len) {
  if (in == nullptr || in_len < static_cast<int>(kNonceBytes + kTagBytes)) {
    return nullptr;
  }
  unsigned char key[kKeyBytes];
  if (!LoadKey(key)) return nullptr;
  const size_t clen = static_cast<size_t>(in_len) - kNonceBytes;
  // At least one byte, so that an empty plaintext still gets a buffer.
  auto* out = static_cast<unsigned char*>(malloc(clen - kTagBytes + 1));
  if (out == nullptr) {
    sodium_memzero(key, sizeof key);
    return nullptr;
  }
  unsigned long long mlen = 0;
  const int rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
      out, &mlen, nullptr, in + kNonceBytes, clen, nullptr, 0, in, key);
  sodium_memzero(key, sizeof key);
  if (rc != 0) {
    free(out);
    return nullptr;
  }
  if (out_len != nullptr) *out_len = static_cast<int>(mlen);
  return out;
}

void CM_Free(void* p) { free(p); }

}  // extern "C"
