#include "client.h"

#include <gtest/gtest.h>

namespace reference_client {
namespace {

using Args = std::vector<std::string>;

TEST(ClientOptions, ReadsEachCommandsOptions) {
  auto capture = parse_options({"capture", "--app", "espeak-ng", "--seconds", "8.5", "--wav",
                                "x.wav", "--stop", "signal", "--reference", "r.wav", "--other-hz",
                                "440,554.37", "--spectrogram", "x.png", "--host", "/h"});
  ASSERT_TRUE(capture.ok()) << capture.error();
  const Options& o = capture.value();
  EXPECT_EQ(o.command, Options::Command::capture);
  EXPECT_EQ(o.app, "espeak-ng");
  EXPECT_EQ(o.seconds, 8.5);
  EXPECT_EQ(o.wav, "x.wav");
  EXPECT_EQ(o.stop, Options::Stop::signal);
  EXPECT_EQ(o.reference, "r.wav");
  EXPECT_EQ(o.other_hz, (std::vector<double>{440, 554.37}));
  EXPECT_EQ(o.spectrogram, "x.png");
  EXPECT_EQ(o.host, "/h");

  auto defaults = parse_options({"capture", "--system"});
  ASSERT_TRUE(defaults.ok());
  EXPECT_TRUE(defaults.value().system);
  EXPECT_FALSE(defaults.value().seconds);  // until interrupted
  EXPECT_EQ(defaults.value().stop, Options::Stop::pipe);
  EXPECT_EQ(defaults.value().wav, "capture.wav");

  auto pid = parse_options({"capture", "--pid", "4242", "--stop", "signal"});
  ASSERT_TRUE(pid.ok());
  EXPECT_EQ(pid.value().pid, 4242u);
  EXPECT_EQ(pid.value().stop, Options::Stop::signal);
  EXPECT_FALSE(parse_options({"capture", "--pid", "4242", "--stop", "ctrl-c"}).ok());

  auto analyze = parse_options({"analyze", "in.wav", "--spectrogram", "p.png"});
  ASSERT_TRUE(analyze.ok());
  EXPECT_EQ(analyze.value().input_wav, "in.wav");
  EXPECT_EQ(analyze.value().spectrogram, "p.png");

  EXPECT_TRUE(parse_options({"list", "--host", "x"}).ok());
}

TEST(ClientOptions, RefusesWhatItCannotDo) {
  const struct {
    Args arguments;
    const char* error;
  } cases[] = {
      {{}, "a command is required"},
      {{"play"}, "unknown command play"},
      {{"capture"}, "capture needs one of --app, --pid and --system"},
      {{"capture", "--app", "a", "--system"}, "capture needs one of --app, --pid and --system"},
      {{"capture", "--app"}, "missing value for --app"},
      {{"capture", "--pid", "0"}, "invalid value for --pid: 0"},
      {{"capture", "--pid", "12x"}, "invalid value for --pid: 12x"},
      {{"capture", "--pid", "1.5"}, "invalid value for --pid: 1.5"},
      {{"capture", "--system", "--seconds", "0"}, "invalid value for --seconds: 0"},
      {{"capture", "--system", "--seconds", "nan"}, "invalid value for --seconds: nan"},
      {{"capture", "--system", "--stop", "kill"}, "invalid value for --stop: kill"},
      {{"capture", "--system", "--reference", "r", "--other-hz", "440,"},
       "invalid value for --other-hz: 440,"},
      {{"capture", "--system", "--reference", "r", "--other-hz", "9000"},
       "invalid value for --other-hz: 9000"},
      {{"capture", "--system", "--other-hz", "440"}, "--other-hz needs --reference"},
      {{"list", "--app", "x"}, "unknown option --app for list"},
      {{"list", "--reference", "x"}, "unknown option --reference for list"},
      {{"analyze"}, "analyze needs a WAV file"},
      {{"analyze", "--reference", "r"}, "analyze needs a WAV file"},
      {{"analyze", "a.wav", "--host", "h"}, "unknown option --host for analyze"},
  };
  for (const auto& c : cases) {
    const auto options = parse_options(c.arguments);
    ASSERT_FALSE(options.ok()) << c.error;
    EXPECT_EQ(options.error(), c.error);
  }
}

TEST(ClientListing, ReadsEntriesAndRefusesMalformedOnes) {
  const auto listing = parse_listing(
      R"([{"id":"pid:7","label":"a b","exe":"/usr/bin/a b","start_time":18446744073709551615,"active":true},)"
      R"({"id":"pid:9","label":"c","exe":"C:\\c.exe","start_time":0,"active":false}])");
  ASSERT_TRUE(listing.ok()) << listing.error();
  ASSERT_EQ(listing.value().size(), 2u);
  EXPECT_EQ(listing.value()[0].label, "a b");
  EXPECT_EQ(listing.value()[0].start_time, 18446744073709551615u);
  EXPECT_TRUE(listing.value()[0].active);
  EXPECT_EQ(listing.value()[1].exe, "C:\\c.exe");
  EXPECT_TRUE(parse_listing("[]").ok());

  for (const char* bad :
       {"", "{}", "[1]", "[{\"id\":\"pid:1\"}]",
        R"([{"id":1,"label":"a","exe":"a","start_time":1,"active":false}])",
        R"([{"id":"pid:1","label":"a","exe":"a","start_time":-1,"active":false}])",
        R"([{"id":"pid:1","label":"a","exe":"a","start_time":1,"active":0}])",
        "[{\"id\":\"pid:1\""}) {
    EXPECT_FALSE(parse_listing(bad).ok()) << bad;
  }
}

TEST(ClientListing, ChoosesTheEntryACaptureMeans) {
  const std::vector<ListedApp> listing = {
      {"pid:10", "player", "/a/player", 1, false},
      {"pid:11", "speaker", "/a/speaker", 2, false},
      {"pid:12", "player", "/b/player", 3, true},
      {"pid:13", "player", "/c/player", 4, true},
  };
  const auto chosen = [&](const Args& arguments) -> std::string {
    const auto options = parse_options(arguments);
    const auto app = choose_app(listing, options.value());
    return app ? app->id : "none";
  };
  EXPECT_EQ(chosen({"capture", "--pid", "11"}), "pid:11");
  EXPECT_EQ(chosen({"capture", "--pid", "1"}), "none");
  EXPECT_EQ(chosen({"capture", "--app", "speaker"}), "pid:11");
  EXPECT_EQ(chosen({"capture", "--app", "player"}), "pid:12");  // the first that plays
  EXPECT_EQ(chosen({"capture", "--app", "Player"}), "none");
}

TEST(ClientListing, PassesTheListedIdentityToTheHost) {
  EXPECT_EQ(capture_arguments(77, std::nullopt),
            (Args{"--exclude-pids", "77", "--target", "system"}));
  EXPECT_EQ(capture_arguments(77, ListedApp{"pid:5", "a", "/x/a", 123456, true}),
            (Args{"--exclude-pids", "77", "--target", "pid:5", "--expected-exe", "/x/a",
                  "--expected-start", "123456"}));
}

TEST(ClientEvents, ShowsEventsByName) {
  EXPECT_EQ(describe_stderr_line(R"({"event":"format","sampleRate":48000})"),
            R"(event format: {"event":"format","sampleRate":48000})");
  EXPECT_EQ(describe_stderr_line("VANTLE_CAPTURE rate=48000"), "stderr: VANTLE_CAPTURE rate=48000");
  EXPECT_EQ(describe_stderr_line(R"({"event":1})"), R"(stderr: {"event":1})");
  EXPECT_EQ(describe_stderr_line("[1]"), "stderr: [1]");
}

}  // namespace
}  // namespace reference_client
