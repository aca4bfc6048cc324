#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "platform/whole_factor_shrink.hpp"

namespace vision {
namespace {

TEST(WholeFactorShrink, GivesWhatOpenCVsAreaResamplingGives) {
  const struct {
    int k, channels;
    cv::Size to;
  } cases[] = {{3, 1, {7, 5}}, {5, 4, {256, 144}}, {7, 3, {9, 4}}, {16, 4, {3, 2}}};
  for (const auto& c : cases) {
    cv::Mat from(c.to.height * c.k, c.to.width * c.k, CV_8UC(c.channels));
    cv::randu(from, 0, 256);
    cv::Mat want, got(c.to, from.type());
    cv::resize(from, want, c.to, 0, 0, cv::INTER_AREA);
    ASSERT_TRUE(shrinkByWholeFactor(from, got)) << c.k;
    EXPECT_EQ(cv::norm(want, got, cv::NORM_INF), 0) << c.k;
  }
}

TEST(WholeFactorShrink, LeavesOtherSizesToTheCaller) {
  const cv::Mat from(720, 1280, CV_8UC4);
  for (const cv::Size to : {cv::Size(640, 360), cv::Size(256, 160), cv::Size(300, 144)}) {
    cv::Mat target(to, CV_8UC4);
    EXPECT_FALSE(shrinkByWholeFactor(from, target)) << to;
  }
}

}  // namespace
}  // namespace vision
