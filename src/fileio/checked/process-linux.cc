// The process's seam on Linux: closed standard streams taken by pipes, and
// an interruption that cuts the registered files and ends the process as
// its signal would have.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "fileio/checked/process.h"
#include "fileio/system.h"

namespace sys {
namespace {

// Ends the process after an interruption the way the signal would have,
// once the interrupt text is out and the registered files are cut. Only
// async-signal-safe calls.
void CutAndReraise(int signalNumber) {
  std::size_t length = 0;
  const char* text = InterruptText(&length);
  [[maybe_unused]] const ssize_t put = write(STDOUT_FILENO, text, length);
  CutFilesAfterFailure();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

void PrepareStandardStreams() {
  // Descriptors are handed out lowest first, so each closed standard one is
  // taken here rather than by a device file later: by a pipe's reading end
  // for input, its writing end for output, the other end closed. A pipe
  // needs no /dev and can never be a device.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int ends[2];
    if (pipe(ends) != 0) _exit(1);  // nothing could keep a device off it: refuse the run
    const int kept = ends[fd == 0 ? 0 : 1];
    if (kept != fd) dup2(kept, fd);
    for (int end : ends) {
      if (end != fd) close(end);
    }
  }
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit then fails the write (EFBIG) instead of killing us.
  signal(SIGXFSZ, SIG_IGN);
  for (int signalNumber : {SIGHUP, SIGINT, SIGTERM}) {
    struct sigaction old;
    if (sigaction(signalNumber, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
      signal(signalNumber, CutAndReraise);
    }
  }
}

void WriteStandardError(NativeStringView text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t put = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;  // a signal came first: again
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace sys
