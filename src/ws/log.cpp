// The accept loop's log lines, each written whole with one system call.
#include "ws/log.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace tarnel::ws {

void log_line(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 32);
    line.append("[tarnel ws server] ").append(text).push_back('\n');
    const char* at = line.data();
    std::size_t left = line.size();
    while (left > 0) {  // a pipe may take a long line in parts; a signal may interrupt the call
        const ssize_t written = ::write(STDERR_FILENO, at, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        at += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace tarnel::ws
