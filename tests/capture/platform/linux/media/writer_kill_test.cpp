// A recording whose process is killed outright still plays up to its last
// complete fragment.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "linux/media/media_samples.hpp"

TEST(MovieWriterKill, FragmentsOnDiskSurviveSigkill) {
  media_test::ScratchDir dir;
  const auto file = dir.path / "killed.mov";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(WRITER_KILL_CHILD, WRITER_KILL_CHILD, file.c_str(), "5", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char line[16] = {};
  const ssize_t n = read(out[0], line, sizeof line - 1);
  close(out[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GT(n, 0) << "the child wrote nothing";
  ASSERT_TRUE(WIFSIGNALED(status));

  // 5 s at 30 frames/s, fragments cut every 2 s: at least the two complete
  // fragments (0-2 s and 2-4 s) are on disk and decode.
  const auto info = media_test::probe(file, true);
  ASSERT_FALSE(info.is_discarded());
  ASSERT_FALSE(info["streams"].empty());
  EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
  EXPECT_GE(std::stoi(info["streams"][0]["nb_read_frames"].get<std::string>()), 120);
}
