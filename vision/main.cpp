#include <cstdio>
#include <string>

#include <unistd.h>

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "check") {
    std::fputs("{\"segmentation\":true,\"faces\":true,\"text\":true}\n", stdout);
    return 0;
  }
  const std::string usage = "usage: orvik-vision segment|faces|text <width> <height>\n";
  (void)!::write(STDERR_FILENO, usage.data(), usage.size());
  return 2;
}
