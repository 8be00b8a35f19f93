// The worker with its default outputs: the process's real standard output
// and standard error, pointed at pipes for the test's duration. In the
// Windows build this runs under Wine with the standard handles replaced.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

#include "capture.h"
#include "capture_testing.h"
#include "pipeline_test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#endif

namespace vantle_audio {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

// Points one standard stream at a pipe (or at nothing) until restore().
class RedirectedStream {
 public:
  // read: a thread reads everything; stalled: nobody reads until resume();
  // reader_gone: the read end is closed; missing: no handle at all.
  enum class Mode { read, stalled, reader_gone, missing };

  RedirectedStream(vantle::StandardStream stream, Mode mode) {
#ifdef _WIN32
    id_ = stream == vantle::StandardStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    saved_ = GetStdHandle(id_);
    if (mode != Mode::missing) {
      CreatePipe(&read_, &write_, nullptr, 1 << 16);
    }
    SetStdHandle(id_, write_);
#else
    target_ = stream == vantle::StandardStream::output ? STDOUT_FILENO : STDERR_FILENO;
    std::fflush(stream == vantle::StandardStream::output ? stdout : stderr);
    saved_ = ::dup(target_);
    if (mode == Mode::missing) {
      ::close(target_);
    } else {
      int fds[2];
      if (::pipe(fds) == 0) {
        read_ = fds[0];
        ::dup2(fds[1], target_);
        ::close(fds[1]);
      }
    }
#endif
    if (mode == Mode::reader_gone) {
      close_read_end();
    } else if (mode == Mode::read) {
      reader_ = std::thread([this] { read_all(); });
    }
  }

  ~RedirectedStream() {
    restore();
  }

  // Puts the stream back; the pipe then reaches its end.
  void restore() {
    if (restored_) {
      return;
    }
    restored_ = true;
#ifdef _WIN32
    SetStdHandle(id_, saved_);
    if (write_ != nullptr) {
      CloseHandle(write_);
    }
#else
    ::dup2(saved_, target_);
    ::close(saved_);
#endif
    if (reader_.joinable()) {
      reader_.join();
    }
    close_read_end();
  }

  std::string bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

  // A stalled stream: starts reading.
  void resume() {
    if (!reader_.joinable()) {
      reader_ = std::thread([this] { read_all(); });
    }
  }

  // Bytes in the pipe that nobody has read yet.
  std::size_t unread() const {
#ifdef _WIN32
    DWORD available = 0;
    PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr);
    return available;
#else
    int available = 0;
    ::ioctl(read_, FIONREAD, &available);
    return static_cast<std::size_t>(available);
#endif
  }

 private:
  void read_all() {
    char buffer[4096];
    for (;;) {
#ifdef _WIN32
      DWORD got = 0;
      if (!ReadFile(read_, buffer, sizeof buffer, &got, nullptr) || got == 0) {
        return;
      }
#else
      const ssize_t got = ::read(read_, buffer, sizeof buffer);
      if (got <= 0) {
        return;
      }
#endif
      std::lock_guard<std::mutex> lock(mutex_);
      bytes_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  void close_read_end() {
#ifdef _WIN32
    if (read_ != nullptr) {
      CloseHandle(read_);
      read_ = nullptr;
    }
#else
    if (read_ >= 0) {
      ::close(read_);
      read_ = -1;
    }
#endif
  }

#ifdef _WIN32
  DWORD id_ = 0;
  HANDLE saved_ = nullptr;
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
#else
  int target_ = -1;
  int saved_ = -1;
  int read_ = -1;
#endif
  bool restored_ = false;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string bytes_;
};

struct StdStreamsFixture : ::testing::Test {
  void SetUp() override {
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);  // a closed reader is an error value
#endif
  }
  bool output_failed = false;  // the pipeline's flag, read before it goes
};

TEST_F(StdStreamsFixture, BlocksAndStatisticsLineArriveUnchanged) {
  testing::ManualClock clock;
  std::vector<float> samples;
  testing::append_frames(samples, 0, 2000);
  bool pcm_arrived = false;
  bool line_arrived = false;
  RedirectedStream out(vantle::StandardStream::output, RedirectedStream::Mode::read);
  RedirectedStream err(vantle::StandardStream::error, RedirectedStream::Mode::read);
  {
    testing::ScopedVariable diagnostics("VANTLE_AUDIO_DIAGNOSTICS", "1");
    CaptureWorkerOptions options;  // the real outputs
    options.clock = clock.clock();
    auto pipeline = CapturePipeline::start({2, 48000}, options);
    if (pipeline.ok()) {
      pipeline.value().producer().push_samples(samples.data(), samples.size());
      clock.wait_until_read();
      pcm_arrived = eventually([&] { return out.bytes().size() == 3840; });
      clock.advance(1000ms);
      testing::PipelineAccess::wake_worker(pipeline.value());
      line_arrived = eventually([&] { return err.bytes().find('\n') != std::string::npos; });
      (void)pipeline.value().stop();
      output_failed = pipeline.value().output_failed();
    }
  }
  out.restore();
  err.restore();
  ASSERT_TRUE(pcm_arrived);
  ASSERT_TRUE(line_arrived);
  const std::string pcm = out.bytes();
  ASSERT_EQ(pcm.size(), 3840u);
  EXPECT_EQ(testing::locate_block(pcm.substr(0, 1920)), 0u);
  EXPECT_EQ(testing::locate_block(pcm.substr(1920)), 960u);
  EXPECT_EQ(err.bytes(),
            "VANTLE_CAPTURE rate=48000 channels=2 accepted_frames=2000 dropped_frames=0 "
            "discontinuities=0\n");
  EXPECT_FALSE(output_failed);
}

TEST_F(StdStreamsFixture, ReaderGoneSetsOutputFailedAndPrintsNothing) {
  std::vector<float> samples(2 * 1920, 0.25f);
  bool failed = false;
  RedirectedStream out(vantle::StandardStream::output, RedirectedStream::Mode::reader_gone);
  RedirectedStream err(vantle::StandardStream::error, RedirectedStream::Mode::read);
  {
    CaptureWorkerOptions options;
    options.diagnostics = false;
    auto pipeline = CapturePipeline::start({2, 48000}, options);
    if (pipeline.ok()) {
      pipeline.value().producer().push_samples(samples.data(), samples.size());
      failed = eventually([&] { return pipeline.value().output_failed().load(); });
    }
  }
  out.restore();
  err.restore();
  EXPECT_TRUE(failed);
  EXPECT_EQ(err.bytes(), "");
}

TEST_F(StdStreamsFixture, MissingOutputCountsAsWritten) {
  std::vector<float> samples(5 * 1920, 0.25f);
  RedirectedStream out(vantle::StandardStream::output, RedirectedStream::Mode::missing);
  {
    auto pipeline = CapturePipeline::start({2, 48000});
    if (pipeline.ok()) {
      pipeline.value().producer().push_samples(samples.data(), samples.size());
      std::this_thread::sleep_for(100ms);
      (void)pipeline.value().stop();
      output_failed = pipeline.value().output_failed();
    }
  }
  out.restore();
  EXPECT_FALSE(output_failed);
}

// The reader stops reading but keeps the pipe open: the worker's write waits
// for room. The stop must not wait for the reader: on Linux the write waits
// on the stop as well, on Windows the stop cancels it. A write cut that way
// is no error.
TEST_F(StdStreamsFixture, StopIsNotHeldByAStalledReader) {
  RedirectedStream out(vantle::StandardStream::output, RedirectedStream::Mode::stalled);
  RedirectedStream err(vantle::StandardStream::error, RedirectedStream::Mode::read);
  std::vector<float> samples;
  testing::append_frames(samples, 0, 960);
  bool filled = false;
  bool stopped = false;
  double stop_ms = 0;
  {
    CaptureWorkerOptions options;
    options.diagnostics = false;
    auto pipeline = CapturePipeline::start({2, 48000}, options);
    if (pipeline.ok()) {
      // The pipes hold 64 KiB here, 31 to 34 blocks (a Linux pipe keeps at
      // most two blocks a page). Push on (a block every millisecond or so)
      // until 30 wait in the pipe, then 8 more than fit.
      filled = eventually([&] {
        pipeline.value().producer().push_samples(samples.data(), samples.size());
        return out.unread() >= 30 * 1920;
      });
      for (int i = 0; i < 8; ++i) {
        pipeline.value().producer().push_samples(samples.data(), samples.size());
      }
      std::this_thread::sleep_for(50ms);  // the worker waits in its write by now
      std::atomic<bool> done{false};
      vantle::Status status;
      std::thread stopper([&] {
        const auto begin = std::chrono::steady_clock::now();
        status = pipeline.value().stop();
        stop_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                .count();
        done = true;
      });
      stopped = eventually([&] { return done.load(); });
      out.resume();  // a stop held by the reader ends now, and the test with it
      stopper.join();
      EXPECT_TRUE(status.ok()) << status.error();
    }
  }
  out.restore();
  err.restore();
  ASSERT_TRUE(filled);
  EXPECT_TRUE(stopped) << "the stop waited for the reader";
  std::printf("stop with the worker in a write to a stalled reader: %.1f ms\n", stop_ms);
#ifndef _WIN32
  EXPECT_EQ(out.bytes().size() % 1920, 0u) << "a write on a pipe is never cut";
#endif
}

}  // namespace
}  // namespace vantle_audio
