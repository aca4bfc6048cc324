#include "platform/linux/process_tree.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform::proc;

TEST(ProcessTree, ReadsTheParentPastAnyCommandName) {
  EXPECT_EQ(parseParentFromStat("42 (sh) S 7 42 42 0 -1"), 7);
  EXPECT_EQ(parseParentFromStat("42 (a) b (c) S 99 1 1"), 99);  // name with spaces and parentheses
  EXPECT_EQ(parseParentFromStat("1 (init) S 0 1 1"), 0);
  EXPECT_FALSE(parseParentFromStat(""));
  EXPECT_FALSE(parseParentFromStat("42 sh S 7"));
  EXPECT_FALSE(parseParentFromStat("42 (sh) S"));
  EXPECT_FALSE(parseParentFromStat("42 (sh) S x7"));
  EXPECT_FALSE(parseParentFromStat("42 (sh) S -3 1"));
}

TEST(ProcessTree, FollowsRealProcessesThroughTheirAncestors) {
  EXPECT_EQ(parentProcess(getpid()), getppid());
  EXPECT_FALSE(parentProcess(0));
  EXPECT_FALSE(parentProcess(-5));

  // A grandchild descends from us; we do not descend from it.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      pause();
      _exit(0);
    }
    (void)!write(ready[1], &grandchild, sizeof grandchild);
    waitpid(grandchild, nullptr, 0);
    _exit(0);
  }
  pid_t grandchild = 0;
  ASSERT_EQ(read(ready[0], &grandchild, sizeof grandchild),
            static_cast<ssize_t>(sizeof grandchild));
  EXPECT_TRUE(isSelfOrDescendantOf(grandchild, {getpid()}));
  EXPECT_TRUE(isSelfOrDescendantOf(grandchild, {child}));
  EXPECT_TRUE(isSelfOrDescendantOf(grandchild, {grandchild}));
  EXPECT_FALSE(isSelfOrDescendantOf(getpid(), {grandchild}));
  EXPECT_FALSE(isSelfOrDescendantOf(grandchild, {}));
  kill(grandchild, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_FALSE(isSelfOrDescendantOf(grandchild, {getpid()}));  // gone
}
