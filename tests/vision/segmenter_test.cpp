// The segmentation service on real photographs: people against masks traced
// by hand, scenes without anyone, and the choice between the two networks.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <string>

#include "platform/segmenter.hpp"

namespace {

const std::string opencvData = "/usr/share/doc/opencv-doc/examples/data/";
const std::string matplotlibData = "/usr/share/matplotlib/mpl-data/sample_data/";
const std::string ownData = ORVIK_TEST_DATA_DIR;

// A photograph as the frame loop hands it over: BGRA, rows `padding` bytes
// longer than the pixels.
struct Frame {
  cv::Mat pixels;
  PixelBuffer buffer;
};

Frame frameOf(const cv::Mat& bgr, size_t padding = 0) {
  Frame f;
  f.pixels.create(bgr.rows, bgr.cols * 4 + static_cast<int>(padding), CV_8UC1);
  f.pixels.setTo(0x5A);
  cv::Mat view(bgr.rows, bgr.cols, CV_8UC4, f.pixels.data, f.pixels.step);
  cv::cvtColor(bgr, view, cv::COLOR_BGR2BGRA);
  f.buffer.width = bgr.cols;
  f.buffer.height = bgr.rows;
  f.buffer.bytesPerRow = f.pixels.step;
  f.buffer.baseAddress = f.pixels.data;
  return f;
}

cv::Mat photo(const std::string& path) {
  cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
  EXPECT_FALSE(image.empty()) << path << " is missing (see scripts/packages.txt)";
  return image;
}

// The mask stretched to the photograph, thresholded at one half, against a
// reference mask traced by hand as a polygon.
double intersectionOverUnion(const cv::Mat& mask, const cv::Mat& reference) {
  cv::Mat full;
  cv::resize(mask, full, reference.size(), 0, 0, cv::INTER_LINEAR);
  const cv::Mat a = full >= 128, b = reference >= 128;
  return static_cast<double>(cv::countNonZero(a & b)) / cv::countNonZero(a | b);
}

TEST(SegmentationModelChoice, FollowsTheFramesAspect) {
  EXPECT_EQ(segmentationModelFor(1280, 720), SegmentationModel::landscape);
  EXPECT_EQ(segmentationModelFor(1920, 1080), SegmentationModel::landscape);
  EXPECT_EQ(segmentationModelFor(4096, 16), SegmentationModel::landscape);
  EXPECT_EQ(segmentationModelFor(640, 480), SegmentationModel::general);  // the tie: 4:3
  EXPECT_EQ(segmentationModelFor(16, 16), SegmentationModel::general);
  EXPECT_EQ(segmentationModelFor(720, 1280), SegmentationModel::general);
  EXPECT_EQ(segmentationModelFor(16, 4096), SegmentationModel::general);
}

struct PersonCase {
  std::string photo;
  std::string reference;
  double minimum;  // intersection over union
  int maskWidth;
  int maskHeight;
};

class PersonPhotograph : public ::testing::TestWithParam<PersonCase> {};

TEST_P(PersonPhotograph, MaskCoversThePersonTracedByHand) {
  const cv::Mat image = photo(GetParam().photo);
  const cv::Mat reference = cv::imread(ownData + GetParam().reference, cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(image.empty());
  ASSERT_EQ(reference.size(), image.size());

  Frame frame = frameOf(image);
  const auto mask = segmentPersons(frame.buffer);
  ASSERT_TRUE(mask.has_value());
  EXPECT_EQ(mask->type(), CV_8UC1);
  EXPECT_EQ(mask->cols, GetParam().maskWidth);
  EXPECT_EQ(mask->rows, GetParam().maskHeight);
  const double iou = intersectionOverUnion(*mask, reference);
  RecordProperty("intersection_over_union", std::to_string(iou));
  std::printf("intersection over union with the traced mask: %.3f\n", iou);
  EXPECT_GE(iou, GetParam().minimum);

  // Longer rows in the buffer change nothing.
  Frame padded = frameOf(image, 200);
  const auto again = segmentPersons(padded.buffer);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(cv::norm(*mask, *again, cv::NORM_INF), 0);
}

// A portrait (about 0.97 measured) and an action shot whose outstretched hand
// and boots are thinner than the network's cells (about 0.82 measured).
INSTANTIATE_TEST_SUITE_P(
    Photographs, PersonPhotograph,
    ::testing::Values(PersonCase{matplotlibData + "grace_hopper.jpg", "grace_hopper_person.png",
                                 0.93, 256, 256},
                      PersonCase{opencvData + "messi5.jpg", "messi5_person.png", 0.78, 256, 144}));

TEST(SegmentationWithoutPeople, MasksAreEmptyOrNearlySo) {
  for (const std::string name : {"sudoku.png", "building.jpg", "text_defocus.jpg"}) {
    Frame frame = frameOf(photo(opencvData + name));
    const auto mask = segmentPersons(frame.buffer);
    ASSERT_TRUE(mask.has_value());
    double highest = 0;
    cv::minMaxLoc(*mask, nullptr, &highest);
    EXPECT_LT(cv::mean(*mask)[0], 0.5) << name;
    EXPECT_LT(highest, 64) << name;
  }
  for (const cv::Scalar& colour : {cv::Scalar(0, 0, 0), cv::Scalar(255, 255, 255), cv::Scalar(90, 60, 30)}) {
    Frame frame = frameOf(cv::Mat(360, 640, CV_8UC3, colour));
    const auto mask = segmentPersons(frame.buffer);
    ASSERT_TRUE(mask.has_value());
    EXPECT_EQ(cv::countNonZero(*mask), 0);
  }
}

TEST(SegmentationInput, TheSmallestAndMostUnevenFramesAreTaken) {
  for (const cv::Size& size : {cv::Size(16, 16), cv::Size(4096, 16), cv::Size(16, 4096)}) {
    Frame frame = frameOf(cv::Mat(size, CV_8UC3, cv::Scalar(200, 180, 160)));
    const auto mask = segmentPersons(frame.buffer);
    ASSERT_TRUE(mask.has_value());
    EXPECT_FALSE(mask->empty());
  }
}

}  // namespace
