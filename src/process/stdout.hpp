// The process's standard output (file descriptor 1), written directly, under
// one process-wide re-entrant lock shared by the banner and the log lines.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace norbe {

std::recursive_mutex& stdout_lock();

// Writes all of text to fd 1, retrying on EINTR and continuing partial writes.
// A closed fd 1 (EBADF) discards the text silently. Returns the empty string on
// success, else the error text ("Broken pipe (os error 32)").
std::string write_stdout(std::string_view text);

}  // namespace norbe
