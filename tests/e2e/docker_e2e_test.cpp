// `docker` and `docker clean` end to end with a fake client alone on PATH, so no real
// client or daemon is ever reached, whatever the machine has installed.

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace qb::test {
namespace {

using nlohmann::json;

// Logs every call, then answers like a client with 3 GB of build cache, 2 GB of it
// reclaimable, until a prune leaves 1 GB. QB_FAKE=down plays a daemon that is not
// running.
constexpr const char* kFakeClient = R"sh(#!/bin/sh
echo "$*" >> "$QB_LOG/calls"
if [ "$QB_FAKE" = down ]; then
  echo 'Cannot connect to the Docker daemon at unix:///var/run/docker.sock. Is the docker daemon running?' >&2
  exit 1
fi
if [ "$1" = builder ]; then
  /bin/touch "$QB_LOG/pruned"; echo 'Total reclaimed space: 2GB'; exit 0
fi
size=3GB; reclaimable=2GB
if [ -e "$QB_LOG/pruned" ]; then size=1GB; reclaimable=0B; fi
echo '{"Type":"Images","TotalCount":"2","Active":"1","Size":"4GB","Reclaimable":"1GB (25%)"}'
echo '{"Type":"Containers","TotalCount":"0","Active":"0","Size":"0B","Reclaimable":"0B"}'
echo '{"Type":"Local Volumes","TotalCount":"1","Active":"1","Size":"1MB","Reclaimable":"0B"}'
echo "{\"Type\":\"Build Cache\",\"TotalCount\":\"9\",\"Active\":\"0\",\"Size\":\"$size\",\"Reclaimable\":\"$reclaimable\"}"
)sh";

const std::string kPreview = "system df --format json";
const std::string kPrune = "builder prune --force";

class DockerE2e : public testing::Test {
protected:
    void SetUp() override {
        env_ = hermetic_env(sandbox_ / "env");
        make_dirs(sandbox_ / "log");
        write_file(sandbox_ / "bin/docker", kFakeClient);
        ASSERT_EQ(::chmod((sandbox_ / "bin/docker").c_str(), 0755), 0);
        env_["QB_LOG"] = sandbox_ / "log";
        env_["PATH"] = sandbox_ / "bin";
    }

    ProcessResult run(const std::vector<std::string>& args) {
        ProcessOptions options;
        options.env = env_;
        options.cwd = sandbox_.path();
        return run_quillbarrow(args, options);
    }

    // The calls since the last look, one line each.
    std::vector<std::string> calls() {
        const std::string log = sandbox_ / "log/calls";
        std::vector<std::string> lines;
        if (!exists_nofollow(log)) {
            return lines;
        }
        std::string text = read_file(log);
        ::unlink(log.c_str());
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    void unprune() { ::unlink((sandbox_ / "log/pruned").c_str()); }
    bool pruned() { return exists_nofollow(sandbox_ / "log/pruned"); }

    TempDir sandbox_;
    std::map<std::string, std::string> env_;
};

TEST_F(DockerE2e, WithoutAClientInspectionReportsAndPruneFails) {
    env_["PATH"] = hermetic_env(sandbox_ / "env")["PATH"];
    auto text = run({"-o", "text", "docker"});
    EXPECT_EQ(text.exit_status, 0);
    EXPECT_EQ(text.out,
              "Docker storage unavailable: Docker is not installed or is not available on PATH\n");
    auto j = run({"docker"});
    EXPECT_EQ(j.exit_status, 0);
    json doc = json::parse(j.out);
    EXPECT_EQ(doc["available"], false);
    EXPECT_EQ(doc["items"], json::array());
    EXPECT_EQ(doc["total"], 0);
    EXPECT_EQ(doc["total_bytes"], 0);
    EXPECT_EQ(doc["truncated"], false);
    ASSERT_EQ(doc["diagnostics"].size(), 1u);
    EXPECT_EQ(doc["diagnostics"][0]["kind"], "not_found");

    auto prune = run({"docker", "clean", "--yes"});
    EXPECT_EQ(prune.exit_status, 7);
    EXPECT_EQ(json::parse(prune.err)["error"]["kind"], "native_unavailable");
    EXPECT_TRUE(calls().empty());
}

TEST_F(DockerE2e, InspectionTableAndPage) {
    auto text = run({"-o", "text", "docker"});
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_EQ(text.out, "Docker uses 6.5 GiB; 2.8 GiB is potentially reclaimable\n"
                        "RECLAIMABLE\tSIZE\tACTIVE\tTOTAL\tKIND\n"
                        "1.9 GiB\t2.8 GiB\t0\t9\tdocker-build-cache\n"
                        "953.7 MiB\t3.7 GiB\t1\t2\tdocker-images\n"
                        "0 B\t0 B\t0\t0\tdocker-containers\n"
                        "0 B\t976.6 KiB\t1\t1\tdocker-volumes\n");
    auto page = run({"docker", "--limit", "1", "--offset", "1", "--fields", "kind"});
    ASSERT_EQ(page.exit_status, 0) << page.err;
    json doc = json::parse(page.out);
    EXPECT_EQ(doc["items"], json::parse(R"([{"kind":"docker-images"}])"));
    EXPECT_EQ(doc["total"], 4);
    EXPECT_EQ(doc["truncated"], true);
    EXPECT_EQ(doc["total_reclaimable_bytes"], 3'000'000'000ULL);
    EXPECT_EQ(calls(), (std::vector<std::string>{kPreview, kPreview}));
    EXPECT_FALSE(pruned());
}

TEST_F(DockerE2e, ConfirmedPrunePreviewsAroundThePrune) {
    auto text = run({"-o", "text", "docker", "clean", "--yes"});
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_EQ(text.out, "Pruned Docker build cache \u00b7 1.9 GiB reported reclaimed\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{kPreview, kPreview, kPrune, kPreview}));

    unprune();
    auto j = run({"docker", "clean", "--yes"});
    ASSERT_EQ(j.exit_status, 0) << j.err;
    json doc = json::parse(j.out);
    EXPECT_EQ(doc["changed"], true);
    EXPECT_EQ(doc["confirmed"], true);
    EXPECT_EQ(doc["before"]["bytes"], 3'000'000'000ULL);
    EXPECT_EQ(doc["after"]["bytes"], 1'000'000'000ULL);
    EXPECT_EQ(doc["reported_reclaimed_bytes"], 2'000'000'000ULL);
    EXPECT_EQ(doc["estimated_removed_bytes"], 2'000'000'000ULL);
    EXPECT_EQ(doc["diagnostics"], json::array());
    calls();

    // Nothing left to reclaim: no prune, and nothing to confirm either.
    auto again = run({"-o", "text", "docker", "clean"});
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(again.out, "Docker build cache is already clean; nothing changed\n");
    EXPECT_EQ(calls(), std::vector<std::string>{kPreview});
}

TEST_F(DockerE2e, WithoutConfirmationNothingIsPruned) {
    auto refused = run({"docker", "clean"});
    EXPECT_EQ(refused.exit_status, 6);
    EXPECT_EQ(json::parse(refused.err)["error"]["message"],
              "confirmation is required before pruning Docker build cache");
    auto dry = run({"-o", "text", "docker", "clean", "--dry-run", "--yes"});
    EXPECT_EQ(dry.exit_status, 0);
    EXPECT_EQ(dry.out, "Would prune Docker build cache \u00b7 1.9 GiB reclaimable of 2.8 GiB "
                       "used \u00b7 rebuilding may require downloads\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{kPreview, kPreview}));
    EXPECT_FALSE(pruned());
}

TEST_F(DockerE2e, PromptOnATerminal) {
    auto ask = [&](const std::string& answer) {
        ProcessOptions options;
        options.env = env_;
        options.cwd = sandbox_.path();
        options.terminal = TerminalInput{answer};
        return run_quillbarrow({"-o", "text", "docker", "clean"}, options);
    };
    const std::string prompt = "Prune Docker build cache (1.9 GiB reclaimable of 2.8 GiB used)? "
                               "Rebuilding may require downloads. [y/N] ";
    auto no = ask("n\n");
    EXPECT_EQ(no.exit_status, 0) << no.err;
    EXPECT_EQ(no.err, prompt);
    EXPECT_EQ(no.out, "Docker build-cache prune cancelled; nothing changed\n");
    EXPECT_EQ(calls(), std::vector<std::string>{kPreview});

    auto eof = ask(std::string(kEndOfInputKey));
    EXPECT_EQ(eof.out, "Docker build-cache prune cancelled; nothing changed\n");
    auto garbled = ask("\xc3\x28\n");
    EXPECT_EQ(garbled.exit_status, 4);
    EXPECT_EQ(garbled.err, prompt +
                               "Error: filesystem operation failed for <stdin>: stream did not "
                               "contain valid UTF-8\n"
                               "Hint: check permissions and whether another process is using "
                               "the path\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{kPreview, kPreview}));
    EXPECT_FALSE(pruned());

    auto yes = ask("y\n");
    EXPECT_EQ(yes.exit_status, 0) << yes.err;
    EXPECT_TRUE(yes.answered);
    EXPECT_EQ(yes.out, "Pruned Docker build cache \u00b7 1.9 GiB reported reclaimed\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{kPreview, kPreview, kPrune, kPreview}));
}

TEST_F(DockerE2e, DaemonNotRunning) {
    env_["QB_FAKE"] = "down";
    auto j = run({"docker"});
    ASSERT_EQ(j.exit_status, 0) << j.err;
    json doc = json::parse(j.out);
    EXPECT_EQ(doc["available"], false);
    ASSERT_EQ(doc["diagnostics"].size(), 1u);
    EXPECT_EQ(doc["diagnostics"][0]["kind"], "daemon_unavailable");
    EXPECT_EQ(doc["diagnostics"][0]["retryable"], true);
    const std::string message = doc["diagnostics"][0]["message"];

    auto text = run({"-o", "text", "docker"});
    EXPECT_EQ(text.exit_status, 0);
    EXPECT_EQ(text.out, "Docker storage unavailable: " + message + "\n");

    auto prune = run({"docker", "clean", "--yes"});
    EXPECT_EQ(prune.exit_status, 7);
    json e = json::parse(prune.err)["error"];
    EXPECT_EQ(e["kind"], "native_unavailable");
    EXPECT_EQ(e["retryable"], true);
    EXPECT_EQ(e["message"], "docker operation is unavailable: " + message);
    EXPECT_EQ(calls(), (std::vector<std::string>{kPreview, kPreview, kPreview}));
}

} // namespace
} // namespace qb::test
