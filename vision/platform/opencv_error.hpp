#pragma once
// OpenCV's errors as the tool reports them.
#include <string>

#include <opencv2/core.hpp>

namespace vision {

// What went wrong and in which function, without the version and source-file
// path that OpenCV's what() puts before it.
inline std::string describe(const cv::Exception& e) {
  std::string text = e.err.empty() ? std::string(e.what()) : e.err;
  if (!e.func.empty()) text += " in " + e.func;
  return text;
}

}  // namespace vision
