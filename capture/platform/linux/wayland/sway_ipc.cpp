// sway's IPC socket (i3's framing: "i3-ipc", payload length and message type
// as native 32-bit integers, then JSON), asked for its layout tree.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/linux/wayland/window_processes.hpp"

namespace capture {

namespace platform::wayland {

namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr uint32_t kGetTree = 4;
constexpr uint32_t kLargestReply = 64u << 20;
constexpr size_t kHeader = sizeof kMagic + 2 * sizeof(uint32_t);

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::optional<pid_t> peerProcess(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0)
    return std::nullopt;
  return peer.pid;
}

bool sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool receiveAll(int fd, char* data, size_t size) {
  while (size > 0) {
    const ssize_t got = recv(fd, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // closed, failed or timed out
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

std::optional<std::string> tree(int waylandFd) {
  const char* path = std::getenv("SWAYSOCK");
  const std::optional<pid_t> compositor = peerProcess(waylandFd);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!path || !*path || !compositor || std::strlen(path) >= sizeof address.sun_path)
    return std::nullopt;
  std::strcpy(address.sun_path, path);
  Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // A compositor that does not answer within 5 s (a loaded machine's
  // answer is far quicker) tells nothing.
  const timeval timeout{5, 0};
  if (socket.fd() < 0 ||
      setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
      setsockopt(socket.fd(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
      connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      peerProcess(socket.fd()) != compositor)
    return std::nullopt;

  char header[kHeader];
  const uint32_t request[2] = {0, kGetTree};
  std::memcpy(header, kMagic, sizeof kMagic);
  std::memcpy(header + sizeof kMagic, request, sizeof request);
  if (!sendAll(socket.fd(), header, sizeof header) ||
      !receiveAll(socket.fd(), header, sizeof header) ||
      std::memcmp(header, kMagic, sizeof kMagic) != 0)
    return std::nullopt;
  uint32_t reply[2];
  std::memcpy(reply, header + sizeof kMagic, sizeof reply);
  if (reply[1] != kGetTree || reply[0] > kLargestReply) return std::nullopt;
  std::string payload(reply[0], '\0');
  if (!receiveAll(socket.fd(), payload.data(), payload.size())) return std::nullopt;
  return payload;
}

}  // namespace

std::vector<View> compositorViews(int waylandFd) {
  const std::optional<std::string> text = tree(waylandFd);
  return text ? parseViews(*text) : std::vector<View>{};
}

}  // namespace platform::wayland

}  // namespace capture
