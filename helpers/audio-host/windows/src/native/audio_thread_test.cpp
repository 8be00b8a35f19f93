// The main thread's registration with the multimedia class scheduler: taken
// when the system grants it, never an error when it does not.
#include "native/audio_thread.h"

#include <gtest/gtest.h>

namespace audio_host::win {
namespace {

TEST(ThreadTaskRegistration, GrantedForAudioRefusedQuietlyOtherwise) {
  ThreadTaskRegistration audio = register_thread_for_task(kAudioTask);
  EXPECT_TRUE(audio.valid());
  audio.reset();  // reverted on this thread
  EXPECT_FALSE(audio.valid());

  // A task the system cannot take: an empty owner, nothing to revert.
  ThreadTaskRegistration refused = register_thread_for_task(nullptr);
  EXPECT_FALSE(refused.valid());
}

}  // namespace
}  // namespace audio_host::win
