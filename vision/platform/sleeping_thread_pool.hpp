#pragma once
// OpenCV's parallel loops run on threads of our own that sleep while there is
// no work. OpenCV's own pool (oneTBB here) keeps its workers spinning and
// yielding for a while after every loop, which between frames burns CPU time
// the recorder beside us needs, and its spin settings can only be given
// through the environment, which this tool does not read.
namespace vision {

// Makes OpenCV run its parallel loops on `threads` threads (the calling one
// included) that block between loops. Call once, before any OpenCV
// processing; cv::setNumThreads changes the count later.
void useSleepingThreadPool(int threads);

}  // namespace vision
