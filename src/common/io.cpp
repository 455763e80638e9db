#include "common/io.hpp"

#include <atomic>
#include <cerrno>
#include <exception>
#include <string>
#include <unistd.h>

namespace qb {

int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO; // no progress: give up instead of spinning
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::string current_exception_text() {
    if (std::exception_ptr e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            return ex.what();
        } catch (...) {
        }
    }
    return "unknown exception";
}

namespace {
std::atomic<void (*)()> g_fail_hook{nullptr};
} // namespace

void set_fail_internal_hook(void (*hook)()) {
    g_fail_hook.store(hook);
}

void fail_internal(std::string_view message) {
    if (void (*hook)() = g_fail_hook.exchange(nullptr)) {
        hook();
    }
    std::string line(message);
    line.push_back('\n');
    (void)write_all(STDERR_FILENO, line);
    ::_exit(101);
}

} // namespace qb
