#include "Stdout.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FilePath.h"

namespace Core {

int CloseStdout(const char* program, int status) {
    // A write that failed earlier left the error flag; its reason is in errno
    // unless a flush that fails now gives a fresher one.
    int error = errno;
    bool failed = std::ferror(stdout) != 0;
    if (std::fflush(stdout) != 0) {
        failed = true;
        error = errno;
    }
    if (!failed && close(STDOUT_FILENO) != 0 && errno != EBADF) {
        failed = true;
        error = errno;
    }
    if (!failed)
        return status;
    std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(error));
    return 1;
}

std::string SeparateFromMessages(const std::string& output) {
    if (File::DescriptorOf(File::FollowLinks(output)) != STDOUT_FILENO)
        return output;
    std::fflush(stdout);
    const int kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (kept < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return output;
    // Lines then reach standard error in the order they were printed, beside
    // those written there directly.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return "/dev/fd/" + std::to_string(kept);
}

}  // namespace Core
