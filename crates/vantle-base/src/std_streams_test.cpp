#include "std_streams.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#endif

namespace vantle {
namespace {

// One anonymous pipe; each end closed by its owner.
struct Pipe {
#ifdef _WIN32
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  Pipe() {
    CreatePipe(&read, &write, nullptr, 1 << 16);
  }
  void close_read() {
    CloseHandle(read);
    read = nullptr;
  }
  std::string drain(std::size_t size) {
    std::string bytes(size, '\0');
    DWORD got = 0;
    std::size_t done = 0;
    while (done < size && ReadFile(read, bytes.data() + done, DWORD(size - done), &got, nullptr)) {
      done += got;
    }
    bytes.resize(done);
    return bytes;
  }
  ~Pipe() {
    if (read)
      CloseHandle(read);
    if (write)
      CloseHandle(write);
  }
#else
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  void close_read() {
    ::close(read);
    read = -1;
  }
  std::string drain(std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = ::read(read, bytes.data() + done, size - done);
      if (got <= 0)
        break;
      done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
  }
  ~Pipe() {
    if (read >= 0)
      ::close(read);
    if (write >= 0)
      ::close(write);
  }
#endif
};

TEST(WriteAll, BytesArriveUnchanged) {
  Pipe pipe;
  const std::string bytes("\x00\r\n\n\x1a\xff end", 10);
  ASSERT_TRUE(write_all_to_handle(pipe.write, bytes.data(), bytes.size()));
  EXPECT_EQ(pipe.drain(bytes.size()), bytes);
}

TEST(WriteAll, ClosedReaderIsAnOsErrorThatSaysTheReaderIsGone) {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);
#endif
  Pipe pipe;
  pipe.close_read();
  const char byte = 'x';
  const WriteStatus status = write_all_to_handle(pipe.write, &byte, 1);
  ASSERT_FALSE(status.ok());
  EXPECT_TRUE(status.reader_gone());
#ifdef _WIN32
  // Wine reports a broken pipe (109); Windows itself "the pipe is being closed" (232).
  const bool known =
      status.error().ends_with(" (os error 109)") || status.error().ends_with(" (os error 232)");
#else
  const bool known = status.error().ends_with(" (os error 32)");
#endif
  EXPECT_TRUE(known) << status.error();
}

// A full disk is a failure of its own, not the reader going away.
TEST(WriteAll, FullDiskIsAnOsErrorOfItsOwn) {
#ifdef _WIN32
  HANDLE full = CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(full, INVALID_HANDLE_VALUE) << "Wine maps Z: to the root";
#else
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
#endif
  const std::string bytes(1920, 'x');
  const WriteStatus status = write_all_to_handle(full, bytes.data(), bytes.size());
#ifdef _WIN32
  CloseHandle(full);
#else
  ::close(full);
#endif
  ASSERT_FALSE(status.ok());
  EXPECT_FALSE(status.reader_gone());
#ifdef _WIN32
  EXPECT_EQ(status.error(), os_error_text(ERROR_DISK_FULL));
#else
  EXPECT_EQ(status.error(), "No space left on device (os error 28)");
#endif
}

// The PCM stream and the event lines discard bytes nobody can receive; the
// listing must fail instead.
TEST(WriteAll, MissingHandleDiscardsOrFailsAsAsked) {
  const char byte = 'x';
#ifdef _WIN32
  const HANDLE missing[] = {nullptr, INVALID_HANDLE_VALUE};
  const std::string expected = os_error_text(ERROR_INVALID_HANDLE);
#else
  const int missing[] = {-1};
  const std::string expected = "Bad file descriptor (os error 9)";
#endif
  for (const auto handle : missing) {
    EXPECT_TRUE(write_all_to_handle(handle, &byte, 1).ok());
    EXPECT_TRUE(write_all_to_handle(handle, &byte, 1, MissingStream::discard).ok());
    const WriteStatus failed = write_all_to_handle(handle, &byte, 1, MissingStream::fail);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), expected);
    EXPECT_FALSE(failed.reader_gone());
  }
}

#ifndef _WIN32
// A write to a pipe its reader has stopped reading waits for room, and for
// the stop as well: then it ends without the reader (on Windows the stopping
// thread cancels the write instead). A descriptor that is non-blocking is
// waited for the same way, not failed with EAGAIN.
TEST(WriteAll, AWaitingWriteEndsAtTheStopOrWhenTheReaderReadsOn) {
  for (const bool non_blocking : {false, true}) {
    for (const bool stop : {true, false}) {
      SCOPED_TRACE(std::string(non_blocking ? "non-blocking, " : "blocking, ") +
                   (stop ? "stopped" : "read on"));
      Pipe pipe;
      Pipe stop_pipe;  // readable once stopped
      const int flags = ::fcntl(pipe.write, F_GETFL);
      ASSERT_EQ(::fcntl(pipe.write, F_SETFL, flags | O_NONBLOCK), 0);
      const std::string filler(4096, 'f');
      std::size_t held = 0;
      for (ssize_t n; (n = ::write(pipe.write, filler.data(), filler.size())) > 0;) {
        held += static_cast<std::size_t>(n);
      }
      if (!non_blocking) {
        ASSERT_EQ(::fcntl(pipe.write, F_SETFL, flags), 0);
      }
      const std::string block(1920, 'b');
      std::optional<WriteStatus> status;
      std::thread writer([&] {
        status = write_all_to_handle(pipe.write, block.data(), block.size(), MissingStream::discard,
                                     WriteStop{stop_pipe.read});
      });
      if (stop) {
        ASSERT_EQ(::write(stop_pipe.write, "s", 1), 1);
      } else {
        EXPECT_EQ(pipe.drain(held).size(), held);
      }
      writer.join();
      ASSERT_TRUE(status.has_value());
      if (stop) {
        ASSERT_FALSE(status->ok());
        EXPECT_EQ(status->error(), "write stopped");
        EXPECT_FALSE(status->reader_gone());
      } else {
        EXPECT_TRUE(status->ok()) << status->error();
        EXPECT_EQ(pipe.drain(block.size()), block);
      }
    }
  }
}
#endif

TEST(OsErrorText, MessageThenCodeInDecimal) {
#ifdef _WIN32
  const std::string text = os_error_text(5);  // access denied
  EXPECT_TRUE(text.ends_with(" (os error 5)")) << text;
  EXPECT_GT(text.size(), std::string(" (os error 5)").size());
  EXPECT_EQ(text.find('\r'), std::string::npos);
  // A code the system has no message for: the lookup's failure is the
  // message, and the code still ends the text.
  EXPECT_EQ(os_error_text(0x20001234),
            "OS Error 536875572 (FormatMessageW() returned error 317) (os error 536875572)");
#else
  EXPECT_EQ(os_error_text(32), "Broken pipe (os error 32)");
#endif
}

}  // namespace
}  // namespace vantle
