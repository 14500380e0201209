// okuva-tool quality --csv: judging every picture of an archive into one CSV file.
#pragma once

#include <string>
#include <vector>

namespace okuva::tool {

// Exit code of a batch in which some pictures could not be read (their rows say why).
constexpr int kSomeUnread = 4;

// Judges the pictures named by `paths` (files, or folders walked recursively without
// following symbolic links, where pictures are found by their content or extension)
// on `jobs` threads and writes one row per picture, sorted by path, to `csvPath`
// (replaced whole once complete). Prints a summary on standard output and, when
// standard error is a terminal, progress there. Returns kOk or kSomeUnread.
int RunBatch(const std::string& csvPath, const std::vector<std::string>& paths, unsigned jobs);

// The processors this process may run on (as nproc counts them), at least 1.
unsigned DefaultJobs();
// A --jobs value: a whole number from 1 to kMaxJobs, else a usage error.
unsigned ParseJobs(const std::string& text);
constexpr unsigned kMaxJobs = 1024;

}  // namespace okuva::tool
