#pragma once
// Whether a box a BlazeFace network gives is a face. On rendered text and
// interface pictures the small-face network takes letters and strokes for
// faces now and then (the close-up network did not on the evaluation set).
// Its landmarks there are scattered (eyes almost on top of each other, a steep
// eye line, ears inside the eyes) where a real face, turned or tilted as
// people sit before a camera, keeps them in a face's order; and the box holds
// hardly anything but ink and paper, where a photographed face is mostly
// mid-tones.
#include <opencv2/core.hpp>

#include "platform/blazeface_decoding.hpp"

namespace vision {

struct FaceRule {
  float minScore = 0.5f;
  bool checkLandmarks = true;
  float minEyeDistance = 0.3f;  // between the eyes, in box widths
  float minEarSpan = 0.6f;      // between the ears (tragions), in box widths
  float maxEyeSlope = 0.6f;     // rise of the eye line over its length
  float minMouthDrop = 0.25f;   // mouth below the eyes' middle, in box heights
  float maxMouthDrop = 0.6f;
  float minMidTones = 0.0f;  // share of the box's pixels neither near black nor near white
  float minSide = 0.0f;      // the box's longer side, in the frame's longer sides
};

// `face` in fractions of `frame` (8-bit BGRA).
bool passesFaceRule(const FaceBox& face, const FaceRule& rule, const cv::Mat& frame);

// The share of the pixels of `box` (fractions of `frame`, 8-bit BGRA) whose
// grey level lies in 32..223.
double midToneShare(const cv::Mat& frame, const FaceBox& box);

}  // namespace vision
