// Named mutexes (POSIX backend): a robust, process-shared, recursive pthread mutex
// in a small shared file $QMA_STATE_DIR/mutex/<name>.
//
// This folder is the only place that may include OS headers. Nothing here logs.
//
// Each process maps a mutex file once and keeps the mapping for its whole life:
// the C library chains the robust mutexes a thread owns through the mutexes
// themselves, so a mapping must never go away while a thread of this process may
// own the mutex in it. Closing a handle while owning the mutex therefore leaves
// it owned, as on Windows, and the owner's death makes it abandoned.
#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/environment.h"
#include "platform/error.h"

namespace qma::platform {

namespace {

/// ReleaseMutex by a thread that does not own the mutex.
constexpr int kErrorNotOwner = 288;
/// "QMAMUTX1": the file holds an initialised mutex.
constexpr uint64_t kMagic = 0x3158'5455'4d41'4d51ull;

constexpr size_t kBootIdSize = 40;

/// The content of a mutex file. The boot id tells a mutex left by an earlier boot
/// (whose owner word names a thread that no longer exists) from a live one.
struct SharedMutex {
  uint64_t magic;
  char boot_id[kBootIdSize];
  pthread_mutex_t mutex;
};

/// How long a wait tries a held mutex before it sleeps in the kernel: the logs hold
/// theirs for one write, so a short spin usually finds it free, also while a slow
/// disk makes the write take some tens of microseconds.
constexpr int64_t kSpinNs = 50'000;
/// Tries between two looks at the clock while spinning.
constexpr int kTriesPerClockLook = 32;

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

struct Mapping {
  dev_t device;
  ino_t inode;
  SharedMutex* shared;
};

/// The id of the running boot, empty when the kernel does not tell it.
const std::string& boot_id() {
  static const std::string id = [] {
    std::string text;
    int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[kBootIdSize] = {};
    ssize_t got = ::read(fd, buffer, sizeof(buffer) - 1);
    ::close(fd);
    if (got > 0) text.assign(buffer, static_cast<size_t>(got));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }();
  return id;
}

/// Mutex files this process has mapped, by path. Never freed: see the banner.
std::mutex& cache_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::map<std::string, Mapping>& cache() {
  static auto* mappings = new std::map<std::string, Mapping>;
  return *mappings;
}

bool valid_name(std::string_view name) {
  return !name.empty() && name.size() <= 200 && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool make_folder(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

int lock_file(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

/// Sets up the mutex in a file mapped for the first time, or left by an earlier
/// boot. Called with the file locked, so two processes never do it at once.
int initialise_if_needed(SharedMutex* shared) {
  const std::string& boot = boot_id();
  if (shared->magic == kMagic) {
    // Without a known boot id a mutex is never re-made: it may be live.
    if (boot.empty() || std::strncmp(shared->boot_id, boot.c_str(), kBootIdSize) == 0) return 0;
  }
  shared->magic = 0;
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(&shared->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) return rc;
  std::memset(shared->boot_id, 0, kBootIdSize);
  std::memcpy(shared->boot_id, boot.data(), std::min(boot.size(), kBootIdSize - 1));
  __atomic_store_n(&shared->magic, kMagic, __ATOMIC_RELEASE);
  return 0;
}

/// Maps the file of an open mutex and makes sure it holds an initialised mutex.
Result<SharedMutex*> map_file(int fd, Mapping& mapping) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return Result<SharedMutex*>::failure(errno);
  if (static_cast<size_t>(info.st_size) < sizeof(SharedMutex) &&
      ::ftruncate(fd, sizeof(SharedMutex)) != 0) {
    return Result<SharedMutex*>::failure(errno);
  }
  void* address = ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return Result<SharedMutex*>::failure(errno);
  auto* shared = static_cast<SharedMutex*>(address);
  if (int rc = initialise_if_needed(shared); rc != 0) {
    ::munmap(address, sizeof(SharedMutex));
    return Result<SharedMutex*>::failure(rc);
  }
  mapping = {info.st_dev, info.st_ino, shared};
  return shared;
}

/// The mapped mutex of a name; with create, the file (and its folders) are made
/// when missing. Any process that opens the file first initialises it, under an
/// exclusive lock on the file, so concurrent creators agree on one mutex.
Result<SharedMutex*> open_shared(std::string_view name, bool create) {
  auto fail = [](int error) {
    set_last_error(error);
    return Result<SharedMutex*>::failure(error);
  };
  if (!valid_name(name)) return fail(EINVAL);
  const std::string state = state_dir();
  const std::string folder = state + "/mutex";
  const std::string path = folder + "/" + std::string(name);

  std::lock_guard guard(cache_mutex());
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    auto found = cache().find(path);
    if (found != cache().end() && found->second.device == info.st_dev &&
        found->second.inode == info.st_ino) {
      return found->second.shared;
    }
  } else if (errno != ENOENT) {
    return fail(errno);
  } else if (!create) {
    return fail(kErrorFileNotFound);
  }

  if (create && !(make_folder(state) && make_folder(folder))) return fail(errno);
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
  if (fd < 0) return fail(errno == ENOENT ? kErrorFileNotFound : errno);
  if (lock_file(fd, LOCK_EX) != 0) {
    int error = errno;
    ::close(fd);
    return fail(error);
  }
  Mapping mapping{};
  Result<SharedMutex*> mapped = map_file(fd, mapping);
  lock_file(fd, LOCK_UN);
  ::close(fd);
  if (!mapped) return fail(mapped.error());
  // A mapping of an older file under the same path stays mapped: a thread of
  // this process may still own its mutex.
  cache()[path] = mapping;
  return mapped;
}

}  // namespace

struct NamedMutex::Impl {
  SharedMutex* shared = nullptr;
};

NamedMutex::NamedMutex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;
NamedMutex& NamedMutex::operator=(NamedMutex&&) noexcept = default;
NamedMutex::~NamedMutex() = default;

Result<NamedMutex> NamedMutex::open(std::string_view name) {
  Result<SharedMutex*> shared = open_shared(name, false);
  if (!shared) return Result<NamedMutex>::failure(shared.error());
  return NamedMutex(std::make_unique<Impl>(Impl{*shared}));
}

Result<NamedMutex> NamedMutex::create(std::string_view name) {
  Result<SharedMutex*> shared = open_shared(name, true);
  if (!shared) return Result<NamedMutex>::failure(shared.error());
  return NamedMutex(std::make_unique<Impl>(Impl{*shared}));
}

WaitStatus NamedMutex::wait(uint32_t timeout_ms) {
  if (!impl_) {
    set_last_error(EINVAL);
    return WaitStatus::kFailed;
  }
  pthread_mutex_t* mutex = &impl_->shared->mutex;
  int rc = pthread_mutex_trylock(mutex);
  if (rc == EBUSY && timeout_ms != 0) {
    const int64_t spin_end = monotonic_ns() + kSpinNs;
    for (int tries = 1; rc == EBUSY; ++tries) {
      cpu_relax();
      if (tries % kTriesPerClockLook == 0 && monotonic_ns() >= spin_end) break;
      rc = pthread_mutex_trylock(mutex);
    }
  }
  if (rc != EBUSY || timeout_ms == 0) {
    // Owned, abandoned, failed, or held with no time to wait: decided without sleeping.
  } else if (timeout_ms == kInfinite) {
    rc = pthread_mutex_lock(mutex);
  } else {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
  }
  switch (rc) {
    case 0:
      return WaitStatus::kSignaled;
    case EOWNERDEAD:
      // The owner died holding it: this thread owns it now, and the mutex stays usable.
      pthread_mutex_consistent(mutex);
      return WaitStatus::kAbandoned;
    case EBUSY:
    case ETIMEDOUT:
      return WaitStatus::kTimeout;
    default:
      set_last_error(rc);
      return WaitStatus::kFailed;
  }
}

bool NamedMutex::release() {
  if (!impl_) {
    set_last_error(EINVAL);
    return false;
  }
  int rc = pthread_mutex_unlock(&impl_->shared->mutex);
  if (rc == 0) return true;
  set_last_error(rc == EPERM ? kErrorNotOwner : rc);
  return false;
}

}  // namespace qma::platform
