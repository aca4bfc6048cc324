#pragma once
// A slow, loop-by-loop evaluation of a TensorFlow Lite model in its own NHWC
// layout, written straight from the operators' definitions. The segmentation
// benchmark measures the OpenCV network against it.
#include <vector>

#include "platform/tflite_model.hpp"

namespace vision {

// Values of every tensor after running the model on `input` (NHWC, the
// model's input shape). Constants keep their values; unused tensors are empty.
std::vector<std::vector<float>> evaluateReference(const TfliteModel& model,
                                                  const std::vector<float>& input);

}  // namespace vision
