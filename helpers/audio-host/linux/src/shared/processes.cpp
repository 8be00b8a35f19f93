#include "shared/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "error_text.h"
#include "shared/owners.h"
#include "shared/proc_stat.h"
#include "std_streams.h"
#include "text.h"

namespace audio_host::linux_host {
namespace {

using vantle::make_error;
using vantle::Result;

std::optional<std::uint32_t> pid_from_name(const char* name) {
  std::uint32_t pid = 0;
  const char* end = name;
  while (*end != '\0') {
    ++end;
  }
  const auto [stop, error] = std::from_chars(name, end, pid);
  if (name == end || error != std::errc() || stop != end || pid == 0) {
    return std::nullopt;
  }
  return pid;
}

// The whole content of a small /proc file, or the errno of the failure.
Result<std::string> read_small_file(const std::string& path, int* error_number) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error_number = errno;
    return make_error("open");
  }
  UniqueFd file(fd);
  std::string text;
  char buffer[1024];
  while (true) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      *error_number = errno;
      return make_error("read");
    }
    if (got == 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

Result<std::string> read_link(const std::string& path, int* error_number) {
  std::vector<char> buffer(4096);
  while (true) {
    const ssize_t got = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (got < 0) {
      *error_number = errno;
      return make_error("readlink");
    }
    if (static_cast<std::size_t>(got) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(got));
    }
    if (buffer.size() >= 65536) {
      *error_number = ENAMETOOLONG;
      return make_error("readlink");
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::string os_error_message(std::string_view context, int error_number) {
  return compose_context_message(context, vantle::os_error_text(error_number));
}

Result<ProcessTable> build_process_table() {
  DIR* opened = ::opendir("/proc");
  if (opened == nullptr) {
    return make_error(os_error_message("process table", errno));
  }
  UniquePointer<DIR, &::closedir> dir(opened);
  ProcessTable table;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) {
        return make_error(os_error_message("process table", errno));
      }
      break;
    }
    const std::optional<std::uint32_t> pid = pid_from_name(entry->d_name);
    if (!pid) {
      continue;
    }
    // A process that ends while the table is read is left out.
    if (const std::optional<std::uint32_t> parent = read_parent_pid(*pid)) {
      table[*pid] = *parent;
    }
  }
  return table;
}

std::optional<std::uint32_t> read_parent_pid(std::uint32_t pid) {
  int error_number = 0;
  const auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat", &error_number);
  if (!text) {
    return std::nullopt;
  }
  const std::optional<ProcStat> stat = parse_proc_stat(text.value());
  if (!stat) {
    return std::nullopt;
  }
  return stat->parent_pid;
}

std::optional<std::string> read_executable(std::uint32_t pid) {
  int error_number = 0;
  auto exe = read_link("/proc/" + std::to_string(pid) + "/exe", &error_number);
  if (!exe) {
    return std::nullopt;
  }
  return vantle::utf8_lossy(exe.value());
}

vantle::ProcessHandle open_pidfd(std::uint32_t pid) {
  // Close-on-exec by default.
  return vantle::ProcessHandle(
      static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u)));
}

Result<ProcessIdentity> read_process_identity(std::uint32_t pid) {
  vantle::ProcessHandle pidfd = open_pidfd(pid);
  if (!pidfd) {
    return make_error(os_error_message("open process", errno));
  }

  const std::string folder = "/proc/" + std::to_string(pid);
  int error_number = 0;
  auto exe = read_link(folder + "/exe", &error_number);
  if (!exe) {
    return make_error(os_error_message("process executable", error_number));
  }
  auto text = read_small_file(folder + "/stat", &error_number);
  if (!text) {
    return make_error(os_error_message("process identity", error_number));
  }
  const std::optional<ProcStat> stat = parse_proc_stat(text.value());
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  if (!stat || ticks_per_second <= 0) {
    return make_error(os_error_message("process identity", EIO));
  }
  ProcessIdentity identity(
      vantle::utf8_lossy(exe.value()),
      start_time_from_ticks(stat->start_ticks, static_cast<std::uint64_t>(ticks_per_second)),
      std::move(pidfd));
  // What was read belongs to the process the pidfd names only if that
  // process had not ended before the reads were done.
  if (!identity.running()) {
    return make_error(os_error_message("process identity", ESRCH));
  }
  return identity;
}

}  // namespace audio_host::linux_host
