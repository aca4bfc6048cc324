// Precision and recall of the face detector on an evaluation set built from
// the photographs of Debian's opencv-doc (and matplotlib's Grace Hopper):
// real faces pasted at many sizes and places into desktop-sized frames, and
// frames without faces: photographs without people, rendered interface text
// in several fonts and sizes, and screenshots of X applications (PNG files
// made by vision_face_screens.sh, in the folder given as second argument).
//
// Reports, per kind of frame, what text mode lists (every face) and what
// faces mode answers (the largest face), for the detector as built and for
// the rule it had before (both networks' boxes at score 0.5, suppressed
// together; faces mode stopping at the 128 network when it finds a face).
// With --scale F, every frame is resized by F first (1.5: 1920x1080
// frames). With --dump FILE, writes every raw box of both networks as the detector
// runs them (score ≥ 0.3, with landmarks and mid-tone share) and the true
// faces, for choosing the rule; with --misses DIR,
// saves the frames on which the detector as built boxes a non-face.
//
// Usage: vision_face_eval [--scale F] [--dump FILE] [--misses DIR] [SCREENSHOT_DIR]
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "blazeface_back_256.h"
#include "blazeface_front_128.h"
#include "platform/blazeface_model.hpp"
#include "platform/face_detector.hpp"
#include "platform/face_rule.hpp"

namespace {

using namespace vision;

const std::string doc = "/usr/share/doc/opencv-doc/";
const std::string html = doc + "opencv4/html/";
const std::string data = doc + "examples/data/";

// A photograph and its faces, in its own pixels (hand-checked boxes from the
// forehead to the chin).
struct Source {
  std::string path;
  std::vector<cv::Rect> faces;
};

std::vector<Source> faceSources() {
  std::vector<Source> sources = {
      {html + "230501201_1.jpg", {{177, 274, 315, 315}}},
      {html + "227943776_1.jpg", {{137, 118, 165, 165}}},
      {html + "face_swapped.jpg", {{105, 87, 116, 116}}},
      {data + "messi5.jpg", {{222, 96, 36, 36}}},
      {"/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg", {{168, 141, 198, 197}}},
      {html + "example.jpg", {{26, 219, 327, 326}, {414, 213, 326, 326}, {801, 231, 327, 326}}},
      {html + "inpaint_result.jpg", {{62, 42, 55, 55}, {62, 210, 56, 56}, {285, 208, 59, 59}}},
      {html + "Template_Matching_Original_Image.jpg", {{156, 84, 28, 28}, {107, 98, 25, 25}}},
      {html + "GCC_CMake_Example_Tutorial.jpg", {{74, 106, 64, 64}}},
      {html + "2.jpg", {}},
  };
  // A group: 3 rows of 8 faces, each filling its tile.
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 8; ++col)
      sources.back().faces.push_back({col * 91 + 4, row * 92 + 4, 83, 84});
  return sources;
}

const std::vector<std::string> nonPersonPhotos = {
    "fruits.jpg",       "building.jpg",     "baboon.jpg", "home.jpg",
    "orange.jpg",       "apple.jpg",        "board.jpg",  "butterfly.jpg",
    "starry_night.jpg", "squirrel_cls.jpg", "aero1.jpg",  "HappyFish.jpg"};

const std::vector<std::string> fonts = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
    "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf",
    "/usr/share/fonts/opentype/urw-base35/NimbusRoman-Regular.otf",
    "/usr/share/fonts/opentype/urw-base35/URWGothic-Book.otf",
    "/usr/share/fonts/opentype/urw-base35/URWBookman-Light.otf",
    "/usr/share/fonts/opentype/urw-base35/C059-Roman.otf",
    "/usr/share/fonts/opentype/urw-base35/P052-Bold.otf",
    "/usr/share/fonts/opentype/urw-base35/Z003-MediumItalic.otf",
};

const std::vector<std::string> uiWords = {
    "Sign in", "Cancel",    "OK",       "Open file",    "Save as...",   "Settings",
    "Log out", "Search",    "Download", "Share screen", "Record",       "Preferences",
    "Help",    "Quit",      "Continue", "Back",         "Welcome back", "Q3 Budget Review",
    "Agenda",  "Thank you!"};

struct Frame {
  std::string kind;  // "face:<size>", or the kind of non-face frame
  cv::Mat bgra;
  std::vector<cv::Rect2d> faces;    // fractions of the frame, top-left origin
  std::vector<cv::Rect2d> partial;  // faces cut by the frame's edge: neither missed nor false
};

cv::Mat toBgra(const cv::Mat& bgr) {
  cv::Mat out;
  cv::cvtColor(bgr, out, bgr.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
  return out;
}

cv::Mat readPhoto(const std::string& path) {
  cv::Mat photo = cv::imread(path);
  if (photo.empty()) {
    std::fprintf(stderr, "missing %s (Debian's opencv-doc)\n", path.c_str());
    std::exit(1);
  }
  return photo;
}

// A desktop: a light window of text, or a photograph filling the frame.
cv::Mat background(int kind, cv::Size size) {
  if (kind == 1) {
    cv::Mat photo;
    cv::resize(readPhoto(data + "building.jpg"), photo, size);
    return photo;
  }
  cv::Mat page(size, CV_8UC3, cv::Scalar(244, 244, 244));
  static auto font = [] {
    auto f = cv::freetype::createFreeType2();
    f->loadFontData(fonts[0], 0);
    return f;
  }();
  for (int y = 40; y < size.height; y += 22)
    font->putText(page, "Meeting notes: review the budget, then share the screen with the team.",
                  {24, y}, 13, cv::Scalar(30, 30, 30), -1, cv::LINE_AA, true);
  return page;
}

// The photograph scaled so that its first face is `share` of the frame's
// width, pasted so that this face lies at a place chosen by `rng`.
Frame pasted(const Source& source, double share, int backgroundKind, cv::RNG& rng) {
  const cv::Size size(1280, 720);
  Frame frame{"face:" + std::to_string(share).substr(0, 4), {}, {}, {}};
  cv::Mat canvas = background(backgroundKind, size);
  const cv::Mat photo = readPhoto(source.path);
  const double scale = share * size.width / source.faces[0].width;
  cv::Mat scaled;
  cv::resize(photo, scaled, {}, scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  const cv::Rect face0(cv::Rect2d(source.faces[0].x * scale, source.faces[0].y * scale,
                                  source.faces[0].width * scale, source.faces[0].height * scale));
  // Where the first face's top-left corner lands.
  const int fx = rng.uniform(0, std::max(1, size.width - face0.width));
  const int fy = rng.uniform(0, std::max(1, size.height - face0.height));
  const cv::Point offset(fx - face0.x, fy - face0.y);
  const cv::Rect placed = cv::Rect(offset, scaled.size()) & cv::Rect({0, 0}, size);
  scaled(placed - offset).copyTo(canvas(placed));
  for (const cv::Rect& f : source.faces) {
    const cv::Rect2d at(f.x * scale + offset.x, f.y * scale + offset.y, f.width * scale,
                        f.height * scale);
    const cv::Rect2d frac(at.x / size.width, at.y / size.height, at.width / size.width,
                          at.height / size.height);
    const cv::Rect2d inside = at & cv::Rect2d(0, 0, size.width, size.height);
    if (inside.area() >= 0.95 * at.area())
      frame.faces.push_back(frac);
    else if (inside.area() > 0)
      frame.partial.push_back(frac);
  }
  frame.bgra = toBgra(canvas);
  return frame;
}

std::vector<Frame> faceFrames() {
  std::vector<Frame> frames;
  cv::RNG rng(13);
  for (const Source& source : faceSources())
    for (double share : {0.03, 0.04, 0.05, 0.07, 0.1, 0.14, 0.2, 0.28, 0.4})
      for (int backgroundKind : {0, 1}) {
        // The group's tiles are faces cut tight: at the largest shares the
        // whole group cannot fit, which is what the partial list is for.
        Frame f = pasted(source, share, backgroundKind, rng);
        if (!f.faces.empty()) frames.push_back(std::move(f));
      }
  return frames;
}

cv::Mat textFrame(cv::Size size, const std::vector<std::string>& lines, const std::string& fontPath,
                  int px, bool dark) {
  auto font = cv::freetype::createFreeType2();
  font->loadFontData(fontPath, 0);
  cv::Mat page(size, CV_8UC3, dark ? cv::Scalar(30, 30, 30) : cv::Scalar(255, 255, 255));
  const cv::Scalar ink = dark ? cv::Scalar(240, 240, 240) : cv::Scalar(0, 0, 0);
  int y = (size.height - static_cast<int>(lines.size()) * px * 5 / 4) / 2 + px;
  for (const std::string& line : lines) {
    const int w = font->getTextSize(line, px, -1, nullptr).width;
    font->putText(page, line, {std::max(8, (size.width - w) / 2), y}, px, ink, -1, cv::LINE_AA,
                  true);
    y += px * 5 / 4;
  }
  return toBgra(page);
}

std::vector<Frame> nonFaceFrames(const std::string& screenshots) {
  std::vector<Frame> frames;
  for (const std::string& name : nonPersonPhotos) {
    if (!std::filesystem::exists(data + name)) continue;
    cv::Mat photo;
    cv::resize(readPhoto(data + name), photo, {1280, 720});
    frames.push_back({"photo", toBgra(photo), {}, {}});
    cv::Mat desk = background(0, {1280, 720});
    cv::Mat small;
    cv::resize(readPhoto(data + name), small, {480, 360});
    small.copyTo(desk(cv::Rect(700, 300, 480, 360)));
    frames.push_back({"photo", toBgra(desk), {}, {}});
  }
  size_t word = 0;
  for (size_t f = 0; f < fonts.size(); ++f)
    for (int px : {20, 28, 36, 48, 64}) {
      frames.push_back(
          {"banner",
           textFrame({640, 160}, {uiWords[word++ % uiWords.size()]}, fonts[f], px, false),
           {},
           {}});
      frames.push_back({"banner",
                        textFrame({640, 120}, {uiWords[word++ % uiWords.size()]}, fonts[f],
                                  px * 3 / 4, (px / 4) % 2 == 1),
                        {},
                        {}});
    }
  for (size_t f = 0; f < fonts.size(); ++f)
    for (int px : {48, 96, 160}) {
      const std::string a = uiWords[word++ % uiWords.size()];
      const std::string b = uiWords[word++ % uiWords.size()];
      frames.push_back({"slide", textFrame({1280, 720}, {a, b}, fonts[f], px, f % 3 == 2), {}, {}});
    }
  if (!screenshots.empty() && std::filesystem::is_directory(screenshots))
    for (const auto& entry : std::filesystem::directory_iterator(screenshots))
      if (entry.path().extension() == ".png")
        frames.push_back({"screenshot", toBgra(readPhoto(entry.path().string())), {}, {}});
  return frames;
}

cv::Rect2d topLeft(const NormalizedRect& r) {
  return {r.x, 1.0 - r.y - r.height, r.width, r.height};
}

double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double inner = (a & b).area();
  return inner > 0 ? inner / (a.area() + b.area() - inner) : 0;
}

// A box names a true face when they overlap by 0.3 (intersection over union),
// or when its centre lies in the face's box and its width is 0.4 to 1.6 times
// the face's (the tiles of the group are cut loosely around each face).
double overlap(const cv::Rect2d& box, const cv::Rect2d& face) {
  const cv::Point2d centre(box.x + box.width / 2, box.y + box.height / 2);
  if (face.contains(centre) && box.width >= 0.4 * face.width && box.width <= 1.6 * face.width)
    return 1;
  return iou(box, face);
}

struct Tally {
  int frames = 0;
  int faces = 0;       // true faces
  int found = 0;       // true faces matched by a box
  int boxes = 0;       // boxes that count (not on a partial face)
  int falseBoxes = 0;  // boxes on no face, or a second box on one
  int framesWithFalse = 0;
  int largestRight = 0;  // faces mode: the answer is a largest face
  int largestWrong = 0;  // faces mode: null, or a box on no face, or on a smaller face
};

// Scores one answer (the boxes of text mode) against a frame's faces.
void scoreEvery(const Frame& frame, const std::vector<cv::Rect2d>& boxes, Tally& t) {
  std::vector<bool> taken(frame.faces.size(), false);
  bool anyFalse = false;
  for (const cv::Rect2d& box : boxes) {
    bool counted = false;
    for (size_t i = 0; i < frame.faces.size(); ++i)
      if (!taken[i] && overlap(box, frame.faces[i]) >= 0.3) {
        taken[i] = counted = true;
        break;
      }
    if (counted) {
      ++t.boxes;
      continue;
    }
    const bool onPartial = std::any_of(frame.partial.begin(), frame.partial.end(),
                                       [&](const cv::Rect2d& p) { return overlap(box, p) >= 0.3; });
    if (onPartial) continue;
    ++t.boxes;
    ++t.falseBoxes;
    anyFalse = true;
  }
  t.faces += static_cast<int>(frame.faces.size());
  t.found += static_cast<int>(std::count(taken.begin(), taken.end(), true));
  t.framesWithFalse += anyFalse;
  ++t.frames;
}

// Faces mode: right when it names one of the frame's largest faces (within
// 70 % of the largest area), or null on a frame without faces.
void scoreLargest(const Frame& frame, const std::vector<cv::Rect2d>& boxes, Tally& t) {
  const cv::Rect2d* answer = nullptr;
  for (const cv::Rect2d& b : boxes)
    if (answer == nullptr || answer->area() < b.area()) answer = &b;
  double largest = 0;
  for (const cv::Rect2d& f : frame.faces) largest = std::max(largest, f.area());
  bool right = answer == nullptr ? frame.faces.empty() : false;
  if (answer != nullptr)
    for (const cv::Rect2d& f : frame.faces)
      right = right || (f.area() >= 0.7 * largest && overlap(*answer, f) >= 0.3);
  if (answer != nullptr && !right)
    right = std::any_of(frame.partial.begin(), frame.partial.end(),
                        [&](const cv::Rect2d& p) { return overlap(*answer, p) >= 0.3; });
  (right ? t.largestRight : t.largestWrong)++;
}

// Both networks with square inputs (as before), or shaped for a frame size
// (as the detector now runs them).
struct Networks {
  explicit Networks(cv::Size frame = {})
      : front(frame.empty() ? loadBlazeFace(blazeface_front_128, blazeface_front_128_size, 128,
                                            {8, 16, 16, 16})
                            : loadBlazeFaceFor(frame, blazeface_front_128, blazeface_front_128_size,
                                               128, {8, 16, 16, 16})),
        back(frame.empty()
                 ? loadBlazeFace(blazeface_back_256, blazeface_back_256_size, 256, {16, 32, 32, 32})
                 : loadBlazeFaceFor(frame, blazeface_back_256, blazeface_back_256_size, 256,
                                    {16, 32, 32, 32})) {}
  BlazeFaceModel front;
  BlazeFaceModel back;
};

std::vector<FaceBox> frontBoxes(Networks& nets, const cv::Mat& image, float minScore) {
  letterboxInto(nets.back, image);
  return runBlazeFace(nets.front, nets.back.canvas(nets.back.area), minScore);
}

std::vector<cv::Rect2d> rects(const std::vector<FaceBox>& boxes) {
  std::vector<cv::Rect2d> out;
  for (const FaceBox& b : boxes) out.emplace_back(b.xMin, b.yMin, b.xMax - b.xMin, b.yMax - b.yMin);
  return out;
}

std::vector<FaceBox> atLeast(const std::vector<FaceBox>& boxes, float score) {
  std::vector<FaceBox> kept;
  for (const FaceBox& b : boxes)
    if (b.score >= score) kept.push_back(b);
  return kept;
}

void print(const char* what, const std::map<std::string, Tally>& tallies) {
  std::printf("%s\n  %-12s %6s %6s %7s %9s %9s %8s\n", what, "kind", "frames", "faces", "recall",
              "precision", "false-fr", "largest");
  for (const auto& [kind, t] : tallies) {
    std::printf("  %-12s %6d %6d %7.3f %9.3f %9d %8.3f\n", kind.c_str(), t.frames, t.faces,
                t.faces ? double(t.found) / t.faces : 1.0,
                t.boxes ? double(t.boxes - t.falseBoxes) / t.boxes : 1.0, t.framesWithFalse,
                double(t.largestRight) / std::max(1, t.largestRight + t.largestWrong));
  }
}

// A portrait moving right 8 px per frame across a 1280x720 frame, its face
// `share` of the frame's width: what faces mode and text mode say per frame,
// and how far the box jumps beyond the face's own motion.
void motion(FaceDetector& detector, double share) {
  const cv::Size size(1280, 720);
  const Source source = faceSources()[0];
  const cv::Mat photo = readPhoto(source.path);
  const double scale = share * size.width / source.faces[0].width;
  cv::Mat scaled;
  cv::resize(photo, scaled, {}, scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  const cv::Mat desk = background(1, size);
  const cv::Rect face(cv::Rect2d(source.faces[0].x * scale, source.faces[0].y * scale,
                                 source.faces[0].width * scale, source.faces[0].height * scale));
  const int y = size.height / 2 - (face.y + face.height / 2);
  int frames = 0, nulls = 0, notOne = 0, differ = 0, jumps = 0, resizes = 0;
  double worstJump = 0, worstResize = 1;
  cv::Rect2d last;
  for (int x = -face.x; x + face.x + face.width <= size.width; x += 8, ++frames) {
    cv::Mat canvas = desk.clone();
    const cv::Rect placed = cv::Rect({x, y}, scaled.size()) & cv::Rect({0, 0}, size);
    scaled(placed - cv::Point(x, y)).copyTo(canvas(placed));
    const cv::Mat bgra = toBgra(canvas);
    const PixelBuffer buffer{bgra.cols, bgra.rows, bgra.step, bgra.data, nullptr};
    const std::vector<NormalizedRect> every = detector.detect(buffer, FaceSearch::every);
    const std::vector<NormalizedRect> largest = detector.detect(buffer, FaceSearch::largest);
    notOne += every.size() != 1;
    if (every.size() != 1) {
      std::printf("    at x %d:", x);
      for (const NormalizedRect& r : every) {
        const cv::Rect2d b = topLeft(r);
        std::printf(" (%.3f %.3f %.3f %.3f)", b.x, b.y, b.width, b.height);
      }
      std::printf("\n");
    }
    if (largest.empty()) {
      ++nulls;
      last = {};
      continue;
    }
    const NormalizedRect* big = &largest[0];
    for (const NormalizedRect& r : largest)
      if (big->width * big->height < r.width * r.height) big = &r;
    const NormalizedRect* bigEvery = every.empty() ? nullptr : &every[0];
    for (const NormalizedRect& r : every)
      if (bigEvery->width * bigEvery->height < r.width * r.height) bigEvery = &r;
    differ += bigEvery == nullptr || bigEvery->x != big->x || bigEvery->y != big->y ||
              bigEvery->width != big->width;
    const cv::Rect2d box = topLeft(*big);
    if (last.area() > 0) {
      const double dx = (box.x + box.width / 2) - (last.x + last.width / 2) - 8.0 / size.width;
      const double dy = (box.y + box.height / 2) - (last.y + last.height / 2);
      const double jump = std::max(std::abs(dx), std::abs(dy));
      const double resize = std::max(box.height / last.height, last.height / box.height);
      worstJump = std::max(worstJump, jump);
      worstResize = std::max(worstResize, resize);
      jumps += jump > 0.02;
      resizes += resize > 1.15;
    }
    last = box;
  }
  std::printf(
      "  face %.2f of the width: %d frames, faces mode null %d, text mode not one face %d, "
      "largest differs %d, centre jumps > 2 %% %d (worst %.3f), size changes > 15 %% %d "
      "(worst %.2f)\n",
      share, frames, nulls, notOne, differ, jumps, worstJump, resizes, worstResize);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  std::string dumpPath, misses, screenshots;
  double scale = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dump" && i + 1 < argc)
      dumpPath = argv[++i];
    else if (arg == "--misses" && i + 1 < argc)
      misses = argv[++i];
    else if (arg == "--scale" && i + 1 < argc)
      scale = std::atof(argv[++i]);
    else
      screenshots = arg;
  }
  std::FILE* dump = dumpPath.empty() ? nullptr : std::fopen(dumpPath.c_str(), "w");

  std::vector<Frame> frames = faceFrames();
  for (Frame& f : nonFaceFrames(screenshots)) frames.push_back(std::move(f));
  if (scale != 1)
    for (Frame& f : frames) cv::resize(f.bgra, f.bgra, {}, scale, scale, cv::INTER_LINEAR);

  Networks nets;
  const auto bySize = [](const cv::Size& a, const cv::Size& b) {
    return std::pair(a.width, a.height) < std::pair(b.width, b.height);
  };
  std::map<cv::Size, Networks, decltype(bySize)> shaped(bySize);
  FaceDetector detector;
  std::map<std::string, Tally> before, now;
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& frame = frames[i];
    const std::string& kind = frame.kind;
    const cv::Mat& image = frame.bgra;

    const std::vector<FaceBox> front = frontBoxes(nets, image, 0.3f);
    const std::vector<FaceBox> back = runOnCanvas(nets.back, 0.3f);
    if (dump != nullptr) {
      if (shaped.count(image.size()) == 0) shaped.emplace(image.size(), Networks(image.size()));
      Networks& now = shaped.at(image.size());
      const std::vector<FaceBox> nowFront = frontBoxes(now, image, 0.3f);
      const std::vector<FaceBox> nowBack = runOnCanvas(now.back, 0.3f);
      std::fprintf(dump, "frame %zu %s %d %d\n", i, frame.kind.c_str(), image.cols, image.rows);
      for (const cv::Rect2d& f : frame.faces)
        std::fprintf(dump, "face %.5f %.5f %.5f %.5f\n", f.x, f.y, f.x + f.width, f.y + f.height);
      for (const cv::Rect2d& f : frame.partial)
        std::fprintf(dump, "partial %.5f %.5f %.5f %.5f\n", f.x, f.y, f.x + f.width,
                     f.y + f.height);
      for (int net = 0; net < 2; ++net)
        for (const FaceBox& b : net == 0 ? nowFront : nowBack) {
          std::fprintf(dump, "box %d %.4f %.5f %.5f %.5f %.5f %.3f", net, b.score, b.xMin, b.yMin,
                       b.xMax, b.yMax, midToneShare(image, b));
          for (float k : b.keypoints) std::fprintf(dump, " %.5f", k);
          std::fprintf(dump, "\n");
        }
    }

    // The rule before: every box at 0.5, suppressed together; faces mode
    // stops at the 128 network when it has a face.
    std::vector<FaceBox> every = atLeast(front, 0.5f);
    const std::vector<FaceBox> backKept = atLeast(back, 0.5f);
    const bool frontFound = !every.empty();
    every.insert(every.end(), backKept.begin(), backKept.end());
    const std::vector<cv::Rect2d> oldEvery = rects(weightedNonMaxSuppression(every, 0.3f));
    const std::vector<cv::Rect2d> oldLargest =
        frontFound ? rects(weightedNonMaxSuppression(atLeast(front, 0.5f), 0.3f)) : oldEvery;
    scoreEvery(frame, oldEvery, before[kind]);
    scoreLargest(frame, oldLargest, before[kind]);

    const PixelBuffer buffer{image.cols, image.rows, image.step, image.data, nullptr};
    std::vector<cv::Rect2d> newEvery, newLargest;
    for (const NormalizedRect& r : detector.detect(buffer, FaceSearch::every))
      newEvery.push_back(topLeft(r));
    for (const NormalizedRect& r : detector.detect(buffer, FaceSearch::largest))
      newLargest.push_back(topLeft(r));
    const int falseBefore = now[kind].falseBoxes;
    scoreEvery(frame, newEvery, now[kind]);
    if (!misses.empty() && now[kind].falseBoxes > falseBefore) {
      cv::Mat marked = frame.bgra.clone();
      for (const cv::Rect2d& b : newEvery)
        cv::rectangle(marked,
                      cv::Rect2d(b.x * marked.cols, b.y * marked.rows, b.width * marked.cols,
                                 b.height * marked.rows),
                      cv::Scalar(0, 0, 255, 255), 2);
      cv::imwrite(misses + "/" + std::to_string(i) + "-" + kind + ".png", marked);
    }
    scoreLargest(frame, newLargest, now[kind]);
  }
  if (dump != nullptr) std::fclose(dump);
  print(
      "before (0.5 per network, merged by overlap; faces mode skips the 256 network after a "
      "128 face)",
      before);
  print("now (the detector as built)", now);
  std::printf("a portrait moving across the frame\n");
  for (double share : {0.06, 0.12, 0.21, 0.3}) motion(detector, share);
  return 0;
}
