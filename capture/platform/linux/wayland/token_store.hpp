#pragma once
// The screen-cast portal's restore tokens, one per capture target, kept so
// that only the first recording of a target asks the user: files readable by
// the owner alone in a directory only the owner can enter.
#include <filesystem>
#include <optional>
#include <string>

namespace capture {

namespace platform::wayland {

class TokenStore {
 public:
  explicit TokenStore(std::filesystem::path directory) : directory_(std::move(directory)) {}
  // $XDG_STATE_HOME/orvik, else ~/.local/state/orvik; nothing without either.
  static std::optional<TokenStore> forUser();

  std::optional<std::string> load(const std::string& key) const;
  // Keeps `token` for `key` (none forgets it). False when it could not be
  // written; the next recording then asks again, nothing worse.
  bool save(const std::string& key, const std::optional<std::string>& token) const;

 private:
  std::filesystem::path file(const std::string& key) const { return directory_ / (key + ".token"); }
  std::filesystem::path directory_;
};

}  // namespace platform::wayland

}  // namespace capture
