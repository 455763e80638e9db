#include "common/dir.hpp"
#include "main/main_inner.hpp"

#include <csignal>

int main(int argc, char** argv) {
    // A closed pipe must surface as a write error, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    qb::hold_closed_standard_streams();
    qb::install_internal_failure_handler();
    // Walks size their descriptor budget from the limit, so it is raised before any.
    qb::dir::raise_open_file_limit();
    return qb::main_inner(argc, argv);
}
