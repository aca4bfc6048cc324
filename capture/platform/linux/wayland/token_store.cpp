#include "platform/linux/wayland/token_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace capture {

namespace platform::wayland {

namespace {

// Creates `path` and its missing parents, owner-only; a directory that is
// already there is made owner-only too. False when it is not a directory.
bool makePrivateDirectory(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno == ENOENT && path.has_parent_path() && path.parent_path() != path &&
        makePrivateDirectory(path.parent_path()))
      return makePrivateDirectory(path);
    if (errno != EEXIST) return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return st.st_uid != ::geteuid() || (st.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

bool plausible(const std::string& token) {
  if (token.empty() || token.size() > 4096) return false;
  for (char c : token)
    if (static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

}  // namespace

std::optional<TokenStore> TokenStore::forUser() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return TokenStore(std::filesystem::path(state) / "orvik");
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/')
    return TokenStore(std::filesystem::path(home) / ".local" / "state" / "orvik");
  return std::nullopt;
}

std::optional<std::string> TokenStore::load(const std::string& key) const {
  std::ifstream in(file(key));
  std::string token;
  if (!in || !std::getline(in, token) || !plausible(token)) return std::nullopt;
  return token;
}

bool TokenStore::save(const std::string& key, const std::optional<std::string>& token) const {
  if (!token || !plausible(*token)) {
    std::error_code ignored;
    std::filesystem::remove(file(key), ignored);
    return !token;
  }
  if (!makePrivateDirectory(directory_)) return false;
  // Written beside its place and renamed over it, so a reader never sees half a token.
  const std::filesystem::path temporary = file(key).string() + ".new";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const std::string line = *token + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), file(key).c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace platform::wayland

}  // namespace capture
