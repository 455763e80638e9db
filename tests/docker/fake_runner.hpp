#pragma once

// A DockerRunner that answers from canned results in order and records every call.

#include "docker/run.hpp"

#include <deque>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qb::test {

struct RunnerCall {
    std::vector<std::string> args;
    std::uint64_t timeout_secs;
    std::string purpose;
};

class FakeRunner {
public:
    void reply(DockerRunResult result) { replies_.push_back(std::move(result)); }
    void reply_output(std::string out, std::string err = "", int exit_code = 0) {
        reply(DockerRunOutput{std::move(out), std::move(err), exit_code << 8});
    }

    DockerRunner runner() {
        return [this](const std::vector<std::string>& args, std::uint64_t timeout_secs,
                      std::string_view purpose) -> DockerRunResult {
            calls.push_back({args, timeout_secs, std::string(purpose)});
            if (replies_.empty()) {
                ADD_FAILURE() << "unexpected docker run: "
                              << fmt::format("{}", fmt::join(args, " "));
                return unexpected(native_diagnostic("not_found", "no canned reply", false));
            }
            DockerRunResult r = std::move(replies_.front());
            replies_.pop_front();
            return r;
        };
    }

    std::vector<RunnerCall> calls;

private:
    std::deque<DockerRunResult> replies_;
};

/// One line of the storage report.
inline std::string df_row(const std::string& type, const std::string& size,
                          const std::string& reclaimable, int total = 1, int active = 0) {
    return fmt::format(
               R"({{"Active":"{}","Reclaimable":"{}","Size":"{}","TotalCount":"{}","Type":"{}"}})",
               active, reclaimable, size, total, type) +
           "\n";
}

} // namespace qb::test
