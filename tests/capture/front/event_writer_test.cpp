#include "front/event_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace capture {

namespace {

using nlohmann::json;

TEST(EventLine, CompactRawUnicodeEscapedSolidusExactNumbersOrNothing) {
  const auto line = eventLine({{"event", "stopped"},
                               {"output", "/tmp/é 漢/a\nb\"c\"\\"},
                               {"frames", int64_t{9007199254740993}},
                               {"duration", 0}});
  ASSERT_TRUE(line);
  EXPECT_EQ(
      *line,
      R"({"duration":0,"event":"stopped","frames":9007199254740993,"output":"\/tmp\/é 漢\/a\nb\"c\"\\"})"
      "\n");
  for (double v : {0.1, 1.0 / 3.0, 1733520000.123456789, 5e-324, 1.7976931348623157e308, -0.0}) {
    const auto timed = eventLine({{"event", "x"}, {"time", v}});
    ASSERT_TRUE(timed);
    EXPECT_EQ(json::parse(*timed)["time"].get<double>(), v) << *timed;
  }
  // Events that cannot be written are dropped.
  EXPECT_FALSE(eventLine({{"event", "error"}, {"message", std::string("bad \xC3\x28 utf8")}}));
  EXPECT_FALSE(eventLine({{"event", "x"}, {"time", std::nan("")}}));
  EXPECT_FALSE(eventLine({{"event", "x"}, {"apps", {{{"t", INFINITY}}}}}));
  EXPECT_FALSE(eventLine(json::array({1, 2})));
}

// Threads emit at once into one pipe, some lines longer than the pipe's atomic
// write size; every line must arrive whole and in each thread's order, and an
// event that cannot be written is replaced by an error that names it.
TEST(EventWriter, ConcurrentLinesArriveWhole) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string collected;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) collected.append(buffer, n);
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t)
    writers.emplace_back([t, fd = fds[1]] {
      EventWriter events(fd);
      for (int i = 0; i < 200; ++i) {
        const size_t padding = i % 10 ? i : 20000 + 250 * i;
        events.emit(
            {{"event", "x"}, {"thread", t}, {"index", i}, {"pad", std::string(padding, 'a' + t)}});
        if (i % 50 == 0) events.emit({{"event", "dropped"}, {"message", std::string("\xff")}});
      }
    });
  for (auto& w : writers) w.join();
  close(fds[1]);
  reader.join();
  close(fds[0]);
  std::vector<int> next(8, 0);
  int unwritable = 0;
  std::istringstream lines(collected);
  for (std::string line; std::getline(lines, line);) {
    const json event = json::parse(line);
    if (event["event"] == "error") {
      EXPECT_EQ(event["message"], "event-not-serialisable: dropped");
      ++unwritable;
      continue;
    }
    const int t = event["thread"];
    EXPECT_EQ(event["index"], next[t]++);
    EXPECT_EQ(event["pad"], std::string(event["pad"].get<std::string>().size(), 'a' + t));
  }
  EXPECT_EQ(next, std::vector<int>(8, 200));
  EXPECT_EQ(unwritable, 8 * 4);
  EXPECT_EQ(collected.back(), '\n');
}

}  // namespace

}  // namespace capture
