// okuva-tool quality --csv: the walk that finds the pictures in sorted order, the
// workers that judge them, and the writer that puts their rows in that order.
//
// Memory stays bounded whatever the archive's size: the walk holds only the listings of
// the folders it is inside, each worker one picture, and at most kWindowPerJob rows per
// job wait for an earlier, slower picture before they are written.
#include "tools/okuva_tool/quality_batch.h"

#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "iris/quality.h"
#include "platform/picture/picture.h"
#include "platform/runtime/error.h"
#include "platform/runtime/files.h"
#include "tools/okuva_tool/command.h"
#include "tools/okuva_tool/quality_common.h"

namespace okuva::tool {
namespace {

namespace fs = std::filesystem;

constexpr size_t kWindowPerJob = 64;

// ---- Finding the pictures -------------------------------------------------------------

// Extensions taken as pictures whatever their content (a damaged one then gets a row
// saying why it could not be read).
bool HasPictureExtension(const std::string& name) {
  const std::string e = ExtensionOf(name);
  for (const char* known :
       {"bmp", "dib", "png", "jpg", "jpeg", "jpe", "jfif", "pgm", "ppm", "pnm"}) {
    if (e == known) {
      return true;
    }
  }
  return false;
}

// The signatures of the formats the picture layer reads: BMP, PNG, JPEG, binary PNM.
bool StartsLikeAPicture(const uint8_t* b, size_t n) {
  static constexpr uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (n >= 2 && b[0] == 'B' && b[1] == 'M') {
    return true;
  }
  if (n >= 8 && std::memcmp(b, kPng, 8) == 0) {
    return true;
  }
  if (n >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) {
    return true;
  }
  return n >= 3 && b[0] == 'P' && (b[1] == '5' || b[1] == '6') && std::isspace(b[2]);
}

// A regular file found in a folder is judged when its name or its first bytes say it
// is a picture; one that cannot be opened is listed too (it may be one), to say why.
bool IsCandidate(const std::string& path, const std::string& name) {
  if (HasPictureExtension(name)) {
    return true;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    return true;
  }
  uint8_t head[8];
  const ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  return n < 0 || StartsLikeAPicture(head, static_cast<size_t>(n));
}

struct Found {
  std::string path;
  std::string error;  // set for a folder that could not be listed
};

// Yields the pictures under the given paths, sorted byte by byte by path: each folder's
// entries are sorted with a folder's name followed by '/', which puts every file under
// it exactly where sorting the whole paths would. Symbolic links met in the walk are
// not followed (the paths given themselves are).
class PictureWalk {
public:
  explicit PictureWalk(const std::vector<std::string>& paths) {
    for (const std::string& p : paths) {
      std::error_code ec;
      const bool folder = fs::is_directory(p, ec);
      roots_.push_back({folder && p.back() != '/' ? p + "/" : p, p, folder});
    }
    std::sort(roots_.begin(), roots_.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    // A path given twice, or inside a folder also given, is judged once.
    std::vector<Entry> kept;
    for (Entry& e : roots_) {
      if (!kept.empty() && (kept.back().key == e.key ||
                            (kept.back().folder && e.key.starts_with(kept.back().key)))) {
        continue;
      }
      kept.push_back(std::move(e));
    }
    roots_ = std::move(kept);
  }

  // The next picture or unlistable folder; false at the end.
  bool Next(Found& found) {
    while (true) {
      if (!stack_.empty() && stack_.back().next == stack_.back().entries.size()) {
        stack_.pop_back();
        continue;
      }
      Entry e;
      if (!stack_.empty()) {
        e = std::move(stack_.back().entries[stack_.back().next++]);
      } else if (nextRoot_ < roots_.size()) {
        e = roots_[nextRoot_++];
      } else {
        return false;
      }
      if (!e.folder) {
        found = {e.path, {}};
        return true;
      }
      std::string error;
      if (Enter(e.path, error)) {
        continue;
      }
      found = {e.path, "cannot list the folder: " + error};
      return true;
    }
  }

private:
  struct Entry {
    std::string key;   // the path, with '/' after a folder's name
    std::string path;  // as shown in the rows
    bool folder = false;
  };
  struct Folder {
    std::vector<Entry> entries;
    size_t next = 0;
  };

  bool Enter(const std::string& path, std::string& error) {
    Folder folder;
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const std::string child = (fs::path(path) / name).string();
      std::error_code gone;  // an entry removed meanwhile is simply not there
      const fs::file_type type = it->symlink_status(gone).type();
      if (gone) {
        continue;
      }
      if (type == fs::file_type::directory) {
        folder.entries.push_back({name + "/", child, true});
      } else if (type == fs::file_type::regular && IsCandidate(child, name)) {
        folder.entries.push_back({name, child, false});
      }
    }
    if (ec) {
      error = ec.message();
      return false;
    }
    std::sort(folder.entries.begin(), folder.entries.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    stack_.push_back(std::move(folder));
    return true;
  }

  std::vector<Entry> roots_;
  size_t nextRoot_ = 0;
  std::vector<Folder> stack_;
};

// ---- Judging one picture --------------------------------------------------------------

struct Judged {
  std::string row;  // the CSV line, newline included
  bool read = false;
  bool pass = false;
  std::array<bool, iris::kMetricCount> failed{};
};

// RFC 4180: a field with a comma, a quote or a line break is quoted, quotes doubled.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    return text;
  }
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') {
      quoted += '"';
    }
    quoted += c;
  }
  return quoted + "\"";
}

std::string CsvHeader() {
  std::string header = "path,width,height";
  for (const char* circle : {"pupil", "iris"}) {
    for (const char* field : {"x", "y", "radius", "confidence"}) {
      header += std::string(",") + circle + "_" + field;
    }
  }
  for (const iris::Threshold& t : iris::Thresholds()) {
    header += std::string(",") + t.name;
  }
  return header + ",verdict,failed,error\n";
}

std::string CircleFields(const std::optional<iris::Circle>& c) {
  std::string fields;
  for (const double v :
       {c ? c->x : NAN, c ? c->y : NAN, c ? c->radius : NAN, c ? c->confidence : NAN}) {
    fields += ',';
    fields += Number(v, "");
  }
  return fields;
}

constexpr size_t kEmptyColumns = 2 + 8 + iris::kMetricCount + 2;  // width .. failed

Judged ErrorRow(const std::string& path, const std::string& error) {
  return {CsvField(path) + std::string(kEmptyColumns, ',') + "," + CsvField(error) + "\n"};
}

Judged Judge(const Found& found) {
  if (!found.error.empty()) {
    return ErrorRow(found.path, found.error);
  }
  try {
    const Canvas picture = ReadCanvas(found.path);
    const iris::Quality q = iris::Assess(GreyOf(picture).View());
    Judged j;
    j.read = true;
    j.pass = q.pass;
    j.row = CsvField(found.path) + "," + std::to_string(q.width) + "," + std::to_string(q.height) +
            CircleFields(q.circles.pupil) + CircleFields(q.circles.iris);
    for (const iris::Threshold& t : iris::Thresholds()) {
      j.row += ',';
      j.row += Number(q.Value(t.metric), "");
    }
    j.row += q.pass ? ",pass," : ",fail,";
    for (size_t i = 0; i < q.failed.size(); ++i) {
      if (i > 0) {
        j.row += ' ';
      }
      j.row += iris::ThresholdOf(q.failed[i]).name;
      j.failed[static_cast<size_t>(q.failed[i])] = true;
    }
    j.row += ",\n";
    return j;
  } catch (const RuntimeError& e) {
    return ErrorRow(found.path,
                    e.Number() == kErrOutOfMemory ? "Error 7: Out of memory" : e.Description());
  } catch (const PictureError& e) {
    return ErrorRow(found.path, e.what());
  } catch (const std::bad_alloc&) {
    return ErrorRow(found.path, "Error 7: Out of memory");
  } catch (const std::exception& e) {
    return ErrorRow(found.path, e.what());
  }
}

// ---- Progress and summary -------------------------------------------------------------

using Clock = std::chrono::steady_clock;

std::string Duration(double seconds) {
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%.0f s", std::ceil(seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%d min %02d s", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds) % 60);
  } else {
    std::snprintf(text, sizeof text, "%d h %02d min", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60) % 60);
  }
  return text;
}

// One line on a terminal, rewritten in place.
class Progress {
public:
  Progress(size_t total, Clock::time_point start) : total_(total), start_(start) {}

  void Show(size_t done, bool force = false) {
    const Clock::time_point now = Clock::now();
    if (!force && now - shown_ < std::chrono::milliseconds(200)) {
      return;
    }
    shown_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char line[160];
    std::snprintf(line, sizeof line, "\r%zu / %zu pictures  %.1f per second", done, total_, rate);
    std::string text = line;
    if (rate > 0 && done < total_) {
      text += "  " + Duration(static_cast<double>(total_ - done) / rate) + " left";
    }
    text += "\x1b[K";  // clears what a longer line left behind
    std::cerr << text << std::flush;
  }
  void Finish() { std::cerr << "\r\x1b[K" << std::flush; }

private:
  size_t total_;
  Clock::time_point start_;
  Clock::time_point shown_{};
};

struct Tally {
  size_t judged = 0, passed = 0, unread = 0;
  std::array<size_t, iris::kMetricCount> failed{};
};

void PrintSummary(const Tally& t, double seconds, unsigned jobs) {
  char line[200];
  std::string out;
  const size_t count = t.judged + t.unread;
  const double rate = seconds > 0 ? static_cast<double>(count) / seconds : 0;
  std::snprintf(line, sizeof line, "%zu picture%s in %.2f s (%.1f per second, %u job%s)\n", count,
                count == 1 ? "" : "s", seconds, rate, jobs, jobs == 1 ? "" : "s");
  out += line;
  if (t.judged > 0) {
    std::snprintf(line, sizeof line, "%zu judged: %zu pass, %zu fail (pass rate %.1f %%)\n",
                  t.judged, t.passed, t.judged - t.passed,
                  100.0 * static_cast<double>(t.passed) / static_cast<double>(t.judged));
    out += line;
  }
  if (t.unread > 0) {
    out += std::to_string(t.unread) + " could not be read (see the error column)\n";
  }
  std::vector<size_t> order;
  for (size_t i = 0; i < iris::kMetricCount; ++i) {
    if (t.failed[i] > 0) {
      order.push_back(i);
    }
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return t.failed[a] > t.failed[b]; });
  if (order.size() > 3) {
    order.resize(3);
  }
  if (!order.empty()) {
    out += "failing most often:";
    for (size_t k = 0; k < order.size(); ++k) {
      std::snprintf(
          line, sizeof line, "%s %s %zu (%.1f %%)", k ? "," : "", iris::Thresholds()[order[k]].name,
          t.failed[order[k]],
          100.0 * static_cast<double>(t.failed[order[k]]) / static_cast<double>(t.judged));
      out += line;
    }
    out += "\n";
  }
  std::cout << out << std::flush;
}

// ---- The workers ----------------------------------------------------------------------

// Hands out the walk's pictures in order, keeps the judged rows until their turn, and
// stops the workers (joining them) when it goes away, also on an error.
class Batch {
public:
  Batch(PictureWalk& walk, unsigned jobs)
      : walk_(walk), window_(kWindowPerJob * jobs), ring_(window_) {
    for (unsigned i = 0; i < jobs; ++i) {
      workers_.emplace_back([this] { Work(); });
    }
  }
  ~Batch() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) {
      t.join();
    }
  }

  // The next row in order, or nothing when every picture has been written.
  std::optional<Judged> Next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      return ring_[written_ % window_].has_value() || (ended_ && written_ == claimed_);
    });
    std::optional<Judged> row = std::move(ring_[written_ % window_]);
    if (!row) {
      return row;
    }
    ring_[written_ % window_].reset();
    ++written_;
    lock.unlock();
    changed_.notify_all();
    return row;
  }

private:
  void Work() {
    while (true) {
      Found found;
      size_t index = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || ended_ || claimed_ < written_ + window_; });
        if (stop_ || ended_) {
          return;
        }
        try {
          if (!walk_.Next(found)) {
            ended_ = true;
            lock.unlock();
            changed_.notify_all();
            return;
          }
        } catch (const std::exception& e) {  // a listing that ran out of memory: the row says so
          found = {"", e.what()};
        }
        index = claimed_++;
      }
      Judged judged = Judge(found);
      {
        std::lock_guard lock(mutex_);
        ring_[index % window_] = std::move(judged);
      }
      changed_.notify_all();
    }
  }

  PictureWalk& walk_;
  const size_t window_;
  std::vector<std::optional<Judged>> ring_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t claimed_ = 0, written_ = 0;
  bool ended_ = false, stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace

unsigned DefaultJobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&set));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

unsigned ParseJobs(const std::string& text) {
  unsigned value = 0;
  const bool digits =
      !text.empty() && text.size() <= 6 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    value = static_cast<unsigned>(std::stoul(text));
  }
  if (!digits || value < 1 || value > kMaxJobs) {
    throw UsageError{"--jobs must be a whole number from 1 to " + std::to_string(kMaxJobs) +
                     ", not '" + text + "'"};
  }
  return value;
}

int RunBatch(const std::string& csvPath, const std::vector<std::string>& paths, unsigned jobs) {
  const Clock::time_point start = Clock::now();
  // Every picture takes and frees buffers of the same few sizes. Left to the allocator's
  // defaults, the larger ones are mapped and unmapped (or trimmed) each time, and the
  // fresh pages' faults cost a fifth of the time and contend between the jobs; kept in
  // the heap, they are reused. What stays is bounded by a few pictures per job.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
  std::optional<Progress> progress;
  if (::isatty(STDERR_FILENO)) {
    // A first walk counts the pictures for "done / total"; it reads only names and
    // the first bytes of files without a picture's extension.
    PictureWalk counting(paths);
    size_t total = 0;
    for (Found f; counting.Next(f);) {
      ++total;
    }
    progress.emplace(total, start);
  }
  Tally tally;
  files::ReplaceFile(csvPath, [&](int fd) {
    std::string buffer = CsvHeader();
    const auto flush = [&] {
      files::WriteAll(fd, {reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size()},
                      csvPath);
      buffer.clear();
    };
    PictureWalk walk(paths);
    Batch batch(walk, jobs);
    while (std::optional<Judged> j = batch.Next()) {
      if (j->read) {
        ++tally.judged;
        tally.passed += j->pass ? 1 : 0;
        for (size_t i = 0; i < iris::kMetricCount; ++i) {
          tally.failed[i] += j->failed[i] ? 1 : 0;
        }
      } else {
        ++tally.unread;
      }
      buffer += j->row;
      if (buffer.size() >= 64 * 1024) {
        flush();
      }
      if (progress) {
        progress->Show(tally.judged + tally.unread);
      }
    }
    flush();
  });
  if (progress) {
    progress->Finish();
  }
  PrintSummary(tally, std::chrono::duration<double>(Clock::now() - start).count(), jobs);
  return tally.unread > 0 ? kSomeUnread : kOk;
}

}  // namespace okuva::tool
