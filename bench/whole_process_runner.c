/* Runs one command and prints "cpu_seconds elapsed_seconds peak_rss_kib" for it:
 * user + system time and peak resident memory of the child from wait4 (microsecond
 * resolution, where /usr/bin/time rounds to 10 ms), elapsed time from the monotonic
 * clock. The command's own output goes to /dev/null; its exit status is passed on.
 * Built by whole_process.sh beside it. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) {
    perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double elapsed =
      (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.6f %.6f %ld\n", Seconds(usage.ru_utime) + Seconds(usage.ru_stime), elapsed,
         usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
