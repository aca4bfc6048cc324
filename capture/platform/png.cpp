#include "platform/png.hpp"

#include <spng.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace capture {

namespace platform {

namespace {

struct SpngFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// Encodes BGRA rows as an 8-bit RGB PNG (screen pixels carry no meaningful
// alpha; X servers often leave it zero, which would make a transparent image).
bool encode(FILE* file, const Image& image) {
  std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!ctx) return false;
  if (spng_set_png_file(ctx.get(), file) != 0) return false;
  spng_ihdr ihdr{};
  ihdr.width = static_cast<uint32_t>(image.width);
  ihdr.height = static_cast<uint32_t>(image.height);
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  if (spng_set_ihdr(ctx.get(), &ihdr) != 0) return false;
  // Screen content compresses well at a fast level; the default is several times slower.
  spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, 3);
  if (spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG,
                        SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0)
    return false;
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * 3);
  for (int64_t y = 0; y < image.height; ++y) {
    const uint8_t* src = image.pixels.data() + static_cast<size_t>(y) * image.bytesPerRow;
    for (int64_t x = 0; x < image.width; ++x) {
      row[x * 3 + 0] = src[x * 4 + 2];
      row[x * 3 + 1] = src[x * 4 + 1];
      row[x * 3 + 2] = src[x * 4 + 0];
    }
    const int rc = spng_encode_row(ctx.get(), row.data(), row.size());
    if (rc != 0 && !(rc == SPNG_EOI && y == image.height - 1)) return false;
  }
  return true;
}

}  // namespace

bool writePng(const std::string& path, const Image& image) {
  if (image.width <= 0 || image.height <= 0 || image.width > UINT32_MAX / 4 ||
      image.height > UINT32_MAX || image.bytesPerRow < static_cast<size_t>(image.width) * 4 ||
      image.pixels.size() < image.bytesPerRow * static_cast<size_t>(image.height))
    return false;
  // Written beside the destination and renamed over it, so a failed write
  // neither leaves a partial file nor destroys an earlier one. The temporary
  // name is short and used relative to the directory, so that it fits
  // wherever the destination's own name does.
  const std::filesystem::path destination(path);
  const std::string name = destination.filename().string();
  if (name.empty() || name == "." || name == "..") return false;
  const std::filesystem::path parent = destination.parent_path();
  const int directory =
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = ".orvik-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".partial";
    fd = ::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  if (!file) {
    if (fd >= 0) {
      ::close(fd);
      ::unlinkat(directory, temporary.c_str(), 0);
    }
    ::close(directory);
    return false;
  }
  bool ok = encode(file, image);
  ok = (std::fclose(file) == 0) && ok;
  ok = ok && ::renameat(directory, temporary.c_str(), directory, name.c_str()) == 0;
  if (!ok) ::unlinkat(directory, temporary.c_str(), 0);
  ::close(directory);
  return ok;
}

}  // namespace platform

}  // namespace capture
