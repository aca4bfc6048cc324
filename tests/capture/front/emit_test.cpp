#include "front/emit.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using nlohmann::json;

TEST(EventLine, CompactWithEscapedSolidusAndRawUnicode) {
  auto line = eventLine({{"event", "stopped"}, {"output", "/tmp/é 漢/a.mov"}});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->back(), '\n');
  EXPECT_EQ(std::count(line->begin(), line->end(), '\n'), 1);
  EXPECT_EQ(line->find(' ', 0), line->find("é 漢") + 2);  // only the space inside the string
  EXPECT_NE(line->find(R"(\/tmp\/é 漢\/a.mov)"), std::string::npos);
  EXPECT_EQ(line->find("\\u"), std::string::npos);
  EXPECT_EQ(json::parse(*line)["output"], "/tmp/é 漢/a.mov");
}

TEST(EventLine, NumbersReadBackExactly) {
  const double values[] = {0.1, 1.0 / 3.0, 1733520000.123456789, 5e-324, 1.7976931348623157e308,
                           -0.0, 43.5};
  for (double v : values) {
    auto line = eventLine({{"event", "x"}, {"time", v}});
    ASSERT_TRUE(line);
    EXPECT_EQ(json::parse(*line)["time"].get<double>(), v) << *line;
  }
  auto line = eventLine({{"event", "stopped"}, {"frames", int64_t{9007199254740993}},
                         {"duration", 0}});
  EXPECT_NE(line->find("\"frames\":9007199254740993"), std::string::npos);
  EXPECT_NE(line->find("\"duration\":0"), std::string::npos);
  EXPECT_EQ(line->find("0.0"), std::string::npos);
}

TEST(EventLine, UnserialisableEventsAreDropped) {
  EXPECT_FALSE(eventLine({{"event", "error"}, {"message", std::string("bad \xC3\x28 utf8")}}));
  EXPECT_FALSE(eventLine({{"event", "x"}, {"time", std::nan("")}}));
  EXPECT_FALSE(eventLine({{"event", "x"}, {"apps", {{{"t", INFINITY}}}}}));
  EXPECT_FALSE(eventLine(json::array({1, 2})));
}

TEST(EventLine, ControlCharactersStayOnOneLine) {
  auto line = eventLine({{"event", "error"}, {"message", "a\nb\r\"c\"\\"}});
  ASSERT_TRUE(line);
  EXPECT_EQ(std::count(line->begin(), line->end(), '\n'), 1);
  EXPECT_EQ(json::parse(*line)["message"], "a\nb\r\"c\"\\");
}

// Many threads emit at once into one pipe, some lines longer than the pipe's
// atomic write size; every line must arrive whole and parse.
TEST(Emit, ConcurrentLinesArriveWhole) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  setEventDescriptor(fds[1]);

  constexpr int threads = 8, perThread = 200;
  std::string collected;
  std::thread reader([&] {
    char buffer[65536];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) collected.append(buffer, n);
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t)
    writers.emplace_back([t] {
      std::mt19937 rng(t);
      for (int i = 0; i < perThread; ++i) {
        const size_t padding = (i % 10 == 0) ? 20000 + rng() % 50000 : rng() % 200;
        emit({{"event", "x"}, {"thread", t}, {"index", i}, {"pad", std::string(padding, 'a' + t)}});
        if (i % 50 == 0) emit({{"event", "dropped"}, {"message", std::string("\xff")}});
      }
    });
  for (auto& w : writers) w.join();
  setEventDescriptor(STDOUT_FILENO);
  close(fds[1]);
  reader.join();
  close(fds[0]);

  std::vector<int> next(threads, 0);
  size_t start = 0, lines = 0;
  while (start < collected.size()) {
    const size_t end = collected.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const json event = json::parse(collected.substr(start, end - start));
    const int t = event["thread"];
    EXPECT_EQ(event["index"], next[t]++);
    const std::string pad = event["pad"];
    EXPECT_EQ(pad.find_first_not_of(static_cast<char>('a' + t)), std::string::npos);
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<size_t>(threads * perThread));
}

}  // namespace
