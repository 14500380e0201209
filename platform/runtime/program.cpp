#include "platform/runtime/program.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <random>
#include <vector>

namespace okuva {

namespace {

// The running executable's full path; /proc/self/exe resolves symbolic links and
// relative start-up paths. Falls back to the name the program was started with.
std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      break;
    }
    if (static_cast<size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(n));
    }
    buffer.resize(buffer.size() * 2);
  }
  return program_invocation_name != nullptr ? program_invocation_name : "";
}

struct RandomState {
  std::mutex lock;
  // Rnd before any re-seeding gives the same sequence in every run, as the classic
  // generator does.
  std::mt19937_64 generator{0x5DEECE66DULL};
};

RandomState& Random() {
  static RandomState state;
  return state;
}

}  // namespace

std::string ProgramFolder() {
  const std::string path = ExecutablePath();
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    // Only a bare name is known: the folder is the current one.
    std::vector<char> cwd(4096);
    if (::getcwd(cwd.data(), cwd.size()) != nullptr) {
      return cwd.data();
    }
    return ".";
  }
  if (slash == 0) {
    return "/";
  }
  return path.substr(0, slash);
}

std::string ExecutableName() {
  std::string name = ExecutablePath();
  if (const auto slash = name.find_last_of('/'); slash != std::string::npos) {
    name.erase(0, slash + 1);
  }
  // A leading dot marks a hidden file, not an extension.
  if (const auto dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) {
    name.erase(dot);
  }
  return name;
}

void RandomizeFromTimeOfDay() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  // Seconds since local midnight, to the nanosecond, so two re-seeds within the same
  // second still differ.
  const uint64_t seconds = static_cast<uint64_t>(local.tm_hour) * 3600 +
                           static_cast<uint64_t>(local.tm_min) * 60 +
                           static_cast<uint64_t>(local.tm_sec);
  const uint64_t seed = seconds * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
  RandomState& state = Random();
  std::lock_guard<std::mutex> guard(state.lock);
  state.generator.seed(seed);
}

double Rnd() {
  RandomState& state = Random();
  uint64_t bits = 0;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    bits = state.generator();
  }
  // The top 53 bits scaled by 2^-53: every value is exact and strictly below 1.
  return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

}  // namespace okuva
