// The fake platform scripted from a JSON document, for the end-to-end tests
// that run the whole program on it:
//   {"displays": [{"id": 1, "width": 1920, "height": 1080}],
//    "applications": [{"pid": 10, "bundleId": "org.example.player", "name": "Player"}],
//    "windows": [{"id": 5, "frame": [0, 0, 800, 600], "pid": 10, "title": "..."}],
//    "contentError": "...", "writerError": "...", "refuseSettings": "...",
//    "streamStartError": "...", "streamStopError": "...",
//    "generator": {"frameRate": 60, "audioInterval": 0.02, "audioLatency": 0.1,
//                  "incompleteEvery": 4, "failAfter": 0.5, "failMessage": "..."}}
// A scripted run reads the monotonic clock and leaves writer summaries.
#include <nlohmann/json.hpp>

#include "platform/fake/fake_platform.hpp"

namespace capture {

namespace fake {

namespace {

using nlohmann::json;

template <class T>
void read(const json& object, const char* key, T& field) {
  if (object.contains(key)) field = object.at(key).get<T>();
}

template <class T>
void readOptional(const json& object, const char* key, std::optional<T>& field) {
  if (object.contains(key)) field = object.at(key).get<T>();
}

platform::RunningApplication application(const json& a) {
  platform::RunningApplication app;
  read(a, "pid", app.processID);
  read(a, "bundleId", app.bundleIdentifier);
  read(a, "name", app.applicationName);
  return app;
}

}  // namespace

std::optional<std::string> applyScript(State& s, const std::string& text) {
  try {
    const json script = json::parse(text);
    if (!script.is_object()) return "the script is not a JSON object";
    for (const auto& d : script.value("displays", json::array())) {
      platform::Display display;
      read(d, "id", display.displayID);
      read(d, "width", display.width);
      read(d, "height", display.height);
      display.frame = {0, 0, static_cast<double>(display.width),
                       static_cast<double>(display.height)};
      s.content.displays.push_back(display);
    }
    for (const auto& a : script.value("applications", json::array()))
      s.content.applications.push_back(application(a));
    for (const auto& w : script.value("windows", json::array())) {
      platform::Window window;
      read(w, "id", window.windowID);
      const auto frame = w.value("frame", std::vector<double>{0, 0, 640, 480});
      if (frame.size() != 4) return "a window frame needs four numbers";
      window.frame = {frame[0], frame[1], frame[2], frame[3]};
      window.onScreen = true;
      read(w, "title", window.title);
      if (w.contains("pid"))
        for (const auto& app : s.content.applications)
          if (app.processID == w.at("pid").get<int32_t>()) window.owningApplication = app;
      s.content.windows.push_back(window);
    }
    readOptional(script, "contentError", s.contentError);
    readOptional(script, "writerError", s.writerError);
    if (script.contains("refuseSettings"))
      s.refuseSettings = [refusal = script.at("refuseSettings").get<std::string>()](
                             const platform::OutputSettings&) -> std::optional<std::string> {
        return refusal;
      };
    std::optional<std::string> startError, stopError;
    readOptional(script, "streamStartError", startError);
    readOptional(script, "streamStopError", stopError);
    if (startError || stopError)
      s.prepareStream = [startError, stopError](FakeStream& stream) {
        std::lock_guard lock(stream.mutex);
        stream.startError = startError;
        stream.stopError = stopError;
      };
    if (script.contains("generator")) {
      const json& g = script.at("generator");
      Generator generator;
      read(g, "frameRate", generator.frameRate);
      read(g, "audioInterval", generator.audioInterval);
      read(g, "audioLatency", generator.audioLatency);
      read(g, "incompleteEvery", generator.incompleteEvery);
      read(g, "failAfter", generator.failAfter);
      read(g, "failMessage", generator.failMessage);
      s.generator = generator;
    }
    s.realHostClock = true;
    s.writeSummaries = true;
  } catch (const json::exception& error) {
    return std::string("malformed script: ") + error.what();
  }
  return std::nullopt;
}

}  // namespace fake

}  // namespace capture
