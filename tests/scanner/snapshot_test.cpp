#include "scanner/snapshot.hpp"
#include "support/test_support.hpp"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qb {
namespace {

using test::TempDir;

RememberedCache entry(std::string path, std::uint64_t bytes = 10, std::uint64_t observed = 100) {
    RememberedCache e;
    e.kind = "cargo-target";
    e.ecosystem = "rust";
    e.scope = CacheScope::Project;
    e.path = std::move(path);
    e.bytes = bytes;
    e.allocated_bytes = bytes * 2;
    e.modified_unix = 50;
    e.cleanable = true;
    e.observed_unix = observed;
    return e;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::vector<std::string> dir_names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") {
                names.push_back(n);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string parse_error(std::string_view text) {
    auto r = parse_snapshot(text);
    return r ? std::string("accepted") : r.error().to_string();
}

TEST(SnapshotPath, ChoosesTheBaseFromTheEnvironment) {
    SystemEnv env;
    EXPECT_FALSE(snapshot_path(env).has_value());

    env.vars["HOME"] = "/home/u";
    EXPECT_EQ(snapshot_path(env), "/home/u/Library/Caches/quillbarrow/scan-v1.json");
    env.vars["XDG_CACHE_HOME"] = "";
    EXPECT_EQ(snapshot_path(env), "/home/u/Library/Caches/quillbarrow/scan-v1.json");
    env.vars["XDG_CACHE_HOME"] = "rel/cache";
    EXPECT_EQ(snapshot_path(env), "/home/u/Library/Caches/quillbarrow/scan-v1.json");
    env.vars["XDG_CACHE_HOME"] = "/x/cache/";
    EXPECT_EQ(snapshot_path(env), "/x/cache/quillbarrow/scan-v1.json");

    env.vars["QUILLBARROW_NO_CACHE"] = "";
    EXPECT_FALSE(snapshot_path(env).has_value());

    SystemEnv relative_home;
    relative_home.vars["HOME"] = "home";
    relative_home.vars["XDG_CACHE_HOME"] = "cache";
    EXPECT_EQ(snapshot_path(relative_home), "home/Library/Caches/quillbarrow/scan-v1.json");
}

TEST(SnapshotText, IsCompactInDeclarationOrderAndRoundTrips) {
    Snapshot snap;
    snap.entries.push_back(entry("/p/a\"b\\c\x01\x7f\xc3\xa9/target", 5, 7));
    RememberedCache global = entry("/h/.cargo/registry", 18446744073709551615ULL, 9);
    global.kind = "cargo-registry";
    global.scope = CacheScope::Global;
    global.modified_unix.reset();
    global.cleanable = false;
    snap.entries.push_back(global);

    auto text = write_snapshot(snap);
    ASSERT_TRUE(text) << text.error().to_string();
    EXPECT_EQ(*text, "{\"version\":1,\"entries\":["
                     "{\"kind\":\"cargo-target\",\"ecosystem\":\"rust\",\"scope\":\"project\","
                     "\"path\":\"/p/a\\\"b\\\\c\\u0001\x7f\xc3\xa9/target\",\"bytes\":5,"
                     "\"allocated_bytes\":10,\"modified_unix\":50,\"cleanable\":true,"
                     "\"observed_unix\":7},"
                     "{\"kind\":\"cargo-registry\",\"ecosystem\":\"rust\",\"scope\":\"global\","
                     "\"path\":\"/h/.cargo/registry\",\"bytes\":18446744073709551615,"
                     "\"allocated_bytes\":18446744073709551614,\"modified_unix\":null,"
                     "\"cleanable\":false,\"observed_unix\":9}]}");
    auto back = parse_snapshot(*text);
    ASSERT_TRUE(back) << back.error().to_string();
    EXPECT_EQ(*back, snap);
    EXPECT_EQ(*write_snapshot(*back), *text);

    EXPECT_EQ(*write_snapshot(Snapshot{}), "{\"version\":1,\"entries\":[]}");

    snap.entries.push_back(entry("/p/bad\xff/target"));
    auto bad = write_snapshot(snap);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().to_string(), "path contains invalid UTF-8 characters");
}

TEST(SnapshotRead, AcceptsEveryFormTheFormatAllows) {
    // Keys in any order, unknown keys skipped at both levels whatever their value (even one
    // that repeats keys inside), modified_unix missing or null, whitespace around.
    auto any_order = parse_snapshot(
        " \n{\"future\":{\"a\":1,\"a\":[2,{}]},\"entries\":[{\"observed_unix\":3,"
        "\"cleanable\":false,\"allocated_bytes\":2,\"bytes\":1,\"path\":\"/p/x\","
        "\"scope\":\"global\",\"ecosystem\":\"go\",\"kind\":\"go-build-cache\",\"extra\":null},"
        "{\"kind\":\"k\",\"ecosystem\":\"e\",\"scope\":\"project\",\"path\":\"/q\",\"bytes\":-0,"
        "\"allocated_bytes\":0,\"modified_unix\":null,\"cleanable\":true,\"observed_unix\":0}],"
        "\"version\":1}\t\r\n");
    ASSERT_TRUE(any_order) << any_order.error().to_string();
    ASSERT_EQ(any_order->entries.size(), 2u);
    const RememberedCache& g = any_order->entries[0];
    EXPECT_EQ(g.kind, "go-build-cache");
    EXPECT_EQ(g.scope, CacheScope::Global);
    EXPECT_EQ(g.path, "/p/x");
    EXPECT_EQ(g.bytes, 1u);
    EXPECT_EQ(g.allocated_bytes, 2u);
    EXPECT_FALSE(g.modified_unix.has_value());
    EXPECT_FALSE(g.cleanable);
    EXPECT_EQ(g.observed_unix, 3u);
    EXPECT_FALSE(any_order->entries[1].modified_unix.has_value());

    // The positional forms of both records.
    auto arrays = parse_snapshot(
        "[1,[[\"cargo-target\",\"rust\",\"project\",\"/p/a/target\",10,20,50,true,100]]]");
    ASSERT_TRUE(arrays) << arrays.error().to_string();
    ASSERT_EQ(arrays->entries.size(), 1u);
    EXPECT_EQ(arrays->entries[0], entry("/p/a/target"));
}

TEST(SnapshotRead, RefusesTheWholeFileForAnyFault) {
    const std::string good_entry =
        "{\"kind\":\"k\",\"ecosystem\":\"e\",\"scope\":\"project\",\"path\":\"/p\",\"bytes\":1,"
        "\"allocated_bytes\":1,\"modified_unix\":1,\"cleanable\":true,\"observed_unix\":1}";
    auto doc = [&](const std::string& bad_entry) {
        return "{\"version\":1,\"entries\":[" + good_entry + "," + bad_entry + "]}";
    };
    auto with = [&](const std::string& from, const std::string& to) {
        std::string e = good_entry;
        e.replace(e.find(from), from.size(), to);
        return doc(e);
    };
    ASSERT_EQ(parse_error(doc(good_entry)), "accepted");

    EXPECT_EQ(parse_error("{\"version\":2,\"entries\":[]}"), "unsupported scan snapshot version");
    EXPECT_EQ(parse_error("{\"version\":0,\"entries\":[]}"), "unsupported scan snapshot version");
    EXPECT_EQ(parse_error("{\"entries\":[]}"), "missing field `version`");
    EXPECT_EQ(parse_error("{\"version\":1}"), "missing field `entries`");
    EXPECT_EQ(parse_error("{\"version\":1,\"version\":1,\"entries\":[]}"),
              "duplicate field `version`");
    EXPECT_EQ(parse_error(with("\"bytes\":1,", "\"bytes\":1,\"bytes\":1,")),
              "duplicate field `bytes`");
    EXPECT_EQ(
        parse_error(with("\"modified_unix\":1,", "\"modified_unix\":null,\"modified_unix\":1,")),
        "duplicate field `modified_unix`");
    EXPECT_EQ(parse_error(with(",\"observed_unix\":1", "")), "missing field `observed_unix`");
    EXPECT_EQ(parse_error(with("\"kind\":\"k\",", "")), "missing field `kind`");
    EXPECT_NE(parse_error(with("\"project\"", "\"Project\"")).find("unknown variant `Project`"),
              std::string::npos);

    // Wrong types and numbers that do not fit.
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"\"bytes\":1", "\"bytes\":-1"},
             {"\"bytes\":1", "\"bytes\":1.0"},
             {"\"bytes\":1", "\"bytes\":1e2"},
             {"\"bytes\":1", "\"bytes\":18446744073709551616"},
             {"\"bytes\":1", "\"bytes\":\"1\""},
             {"\"kind\":\"k\"", "\"kind\":null"},
             {"\"kind\":\"k\"", "\"kind\":[\"k\"]"},
             {"\"path\":\"/p\"", "\"path\":{}"},
             {"\"scope\":\"project\"", "\"scope\":0"},
             {"\"modified_unix\":1", "\"modified_unix\":\"1\""},
             {"\"cleanable\":true", "\"cleanable\":1"},
             {"\"observed_unix\":1", "\"observed_unix\":null"},
         }) {
        EXPECT_NE(parse_error(with(from, to)), "accepted") << to;
    }
    EXPECT_NE(parse_error("{\"version\":4294967297,\"entries\":[]}"), "accepted");
    EXPECT_NE(parse_error("{\"version\":-1,\"entries\":[]}"), "accepted");
    EXPECT_NE(parse_error("{\"version\":\"1\",\"entries\":[]}"), "accepted");
    EXPECT_NE(parse_error("{\"version\":1,\"entries\":{}}"), "accepted");
    EXPECT_NE(parse_error("{\"version\":1,\"entries\":[1]}"), "accepted");
    EXPECT_NE(parse_error("{\"version\":1,\"entries\":null}"), "accepted");

    // Positional forms must have exactly their number of values.
    EXPECT_NE(parse_error("[1]"), "accepted");
    EXPECT_NE(parse_error("[1,[],0]"), "accepted");
    EXPECT_NE(parse_error("[1,[[\"k\",\"e\",\"project\",\"/p\",1,1,1,true]]]"), "accepted");
    EXPECT_NE(parse_error("[1,[[\"k\",\"e\",\"project\",\"/p\",1,1,1,true,1,1]]]"), "accepted");

    // Not one JSON value, or not an object or array.
    for (std::string text :
         {"", " ", "null", "1", "\"x\"", "{\"version\":1,\"entries\":[]} {}",
          "{\"version\":1,\"entries\":[]}x", "{\"version\":1,\"entries\":[]",
          "\xEF\xBB\xBF{\"version\":1,\"entries\":[]}", "{\"version\":1,/*c*/\"entries\":[]}",
          "{\"version\":1,\"entries\":[],\"x\":\"\xff\"}"}) {
        EXPECT_NE(parse_error(text), "accepted") << text;
    }
}

TEST(SnapshotRead, HoldsToTheSizeLimitAndReportsFileErrors) {
    TempDir tmp;
    std::string body = "{\"version\":1,\"entries\":[]}";
    std::string exact = body + std::string(kSnapshotMaxBytes - body.size(), ' ');
    test::write_file(tmp / "exact.json", exact);
    auto read = read_snapshot(tmp / "exact.json");
    EXPECT_TRUE(read) << read.error().to_string();

    test::write_file(tmp / "over.json", exact + " ");
    auto over = read_snapshot(tmp / "over.json");
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().to_string(), "scan snapshot exceeds its size limit");

    auto missing = read_snapshot(tmp / "missing.json");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_code, ENOENT);

    EXPECT_FALSE(read_snapshot(tmp.path()));
    // A FIFO with no writer would block an ordinary open for ever.
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(read_snapshot(tmp / "fifo"));
}

TEST(SnapshotMatch, FollowsScopeKindsAndRoots) {
    RememberedCache project = entry("/p/a/target");
    RememberedCache global = entry("/h/.cache/pip");
    global.scope = CacheScope::Global;
    global.kind = "pip-cache";
    const std::vector<std::string> roots = {"/p/a"};
    const std::vector<std::string> none;

    EXPECT_TRUE(remembered_entry_matches(ScopeFilter::All, none, roots, project));
    EXPECT_TRUE(remembered_entry_matches(ScopeFilter::All, none, none, global));
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::All, none, none, project));
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::Global, none, roots, project));
    EXPECT_TRUE(remembered_entry_matches(ScopeFilter::Global, none, roots, global));
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::Project, none, roots, global));
    EXPECT_TRUE(remembered_entry_matches(ScopeFilter::Project, none, roots, project));

    EXPECT_TRUE(remembered_entry_matches(ScopeFilter::All, {"x", "pip-cache"}, none, global));
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::All, {"Pip-cache"}, none, global));
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::All, {"pip-cache"}, roots, project));

    // Strictly inside, by component: the root itself and a sibling with a longer name
    // are not covered; separators and "." do not matter.
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::All, none, roots, entry("/p/a")));
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::All, none, roots, entry("/p/a/./")));
    EXPECT_FALSE(remembered_entry_matches(ScopeFilter::All, none, roots, entry("/p/ab/target")));
    EXPECT_TRUE(
        remembered_entry_matches(ScopeFilter::All, none, {"/q", "/p/a/"}, entry("/p//a/./target")));
}

TEST(SnapshotMatch, NormalisedRootsResolveLinksAndKeepTheRest) {
    TempDir tmp;
    test::make_dirs(tmp / "real/proj");
    test::make_symlink(tmp / "real", tmp / "link");
    auto roots = normalize_roots({tmp / "link/proj", "/no/such/root", "rel"});
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots[0], tmp / "real/proj");
    EXPECT_EQ(roots[1], "/no/such/root");
    EXPECT_EQ(roots[2], "rel");
    EXPECT_TRUE(
        remembered_entry_matches(ScopeFilter::All, {}, roots, entry(tmp / "real/proj/target")));
    // The stored path is compared as written, never resolved.
    EXPECT_FALSE(
        remembered_entry_matches(ScopeFilter::All, {}, roots, entry(tmp / "link/proj/target")));
}

TEST(SnapshotStore, WritesAtomicallyWithPrivateModes) {
    TempDir tmp;
    std::string file = tmp / "cache/quillbarrow/scan-v1.json";
    ASSERT_TRUE(store_snapshot_file(file, "first"));
    EXPECT_EQ(test::read_file(file), "first");
    EXPECT_EQ(mode_of(tmp / "cache/quillbarrow"), 0700u);
    EXPECT_EQ(mode_of(file), 0600u);

    // An existing directory is tightened; the old file is replaced whole.
    ASSERT_EQ(::chmod((tmp / "cache/quillbarrow").c_str(), 0755), 0);
    ASSERT_TRUE(store_snapshot_file(file, "second"));
    EXPECT_EQ(test::read_file(file), "second");
    EXPECT_EQ(mode_of(tmp / "cache/quillbarrow"), 0700u);
    EXPECT_EQ(dir_names(tmp / "cache/quillbarrow"), std::vector<std::string>{"scan-v1.json"});

    // A rename that fails leaves no temporary file behind.
    std::string blocked = tmp / "cache/quillbarrow/blocked";
    test::write_file(blocked + "/keep", "x");
    EXPECT_FALSE(store_snapshot_file(blocked, "third"));
    EXPECT_EQ(dir_names(tmp / "cache/quillbarrow"),
              (std::vector<std::string>{"blocked", "scan-v1.json"}));
    EXPECT_EQ(test::read_file(blocked + "/keep"), "x");
}

TEST(SnapshotStore, NeverWritesThroughALinkedDirectory) {
    TempDir tmp;
    test::make_dirs(tmp / "elsewhere");
    test::make_dirs(tmp / "cache");
    test::make_symlink(tmp / "elsewhere", tmp / "cache/quillbarrow");
    ::chmod((tmp / "elsewhere").c_str(), 0755);
    auto r = store_snapshot_file(tmp / "cache/quillbarrow/scan-v1.json", "x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "snapshot directory is not a real directory");
    EXPECT_TRUE(dir_names(tmp / "elsewhere").empty());
    EXPECT_EQ(mode_of(tmp / "elsewhere"), 0755u);

    // A plain file where the directory should be.
    test::write_file(tmp / "file-base/quillbarrow", "not a dir");
    EXPECT_FALSE(store_snapshot_file(tmp / "file-base/quillbarrow/scan-v1.json", "x"));
    EXPECT_EQ(test::read_file(tmp / "file-base/quillbarrow"), "not a dir");
}

TEST(SnapshotStore, RemovesOnlyTemporaryFilesOfDeadWriters) {
    TempDir tmp;
    std::string dir = tmp / "quillbarrow";
    test::make_dirs(dir);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    std::string dead = std::to_string(child);
    std::string alive = std::to_string(::getpid());

    test::write_file(dir + "/tmp-" + dead + "-12345", "stale");
    test::write_file(dir + "/tmp-" + alive + "-12345", "a writer of this process");
    test::write_file(dir + "/tmp-" + dead + "-12x", "not our name");
    test::write_file(dir + "/tmp-" + dead + "-", "not our name");
    test::write_file(dir + "/xtmp-" + dead + "-1", "not our name");
    test::write_file(dir + "/tmp-0-1", "pid 0 is no process");
    test::make_dirs(dir + "/tmp-" + dead + "-7");
    test::make_symlink(tmp / "target", dir + "/tmp-" + dead + "-8");
    test::write_file(tmp / "target", "link target");

    ASSERT_TRUE(store_snapshot_file(dir + "/scan-v1.json", "{}"));
    std::vector<std::string> kept = {"scan-v1.json",
                                     "tmp-0-1",
                                     "tmp-" + dead + "-",
                                     "tmp-" + dead + "-12x",
                                     "tmp-" + dead + "-7",
                                     "tmp-" + dead + "-8",
                                     "tmp-" + alive + "-12345",
                                     "xtmp-" + dead + "-1"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(dir_names(dir), kept);
    EXPECT_EQ(test::read_file(tmp / "target"), "link target");
}

// A writer killed at any moment leaves the old or the new snapshot, never a torn one,
// and the temporary files of killed writers do not pile up.
TEST(SnapshotStore, SurvivesWritersKilledAtRandomMoments) {
    TempDir tmp;
    const std::string file = tmp / "cache/quillbarrow/scan-v1.json";
    const std::string dir = tmp / "cache/quillbarrow";
    Snapshot small;
    small.entries.push_back(entry("/p/small/target"));
    Snapshot large;
    for (int i = 0; i < 3000; ++i) {
        large.entries.push_back(entry("/p/large/" + std::to_string(i) + "/target", i, i));
    }
    const std::string small_text = *write_snapshot(small);
    const std::string large_text = *write_snapshot(large);
    ASSERT_TRUE(store_snapshot_file(file, small_text));

    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> delay_us(0, 30000);
    for (int round = 0; round < 40; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i) {
                (void)store_snapshot_file(file, i % 2 == 0 ? large_text : small_text);
            }
        }
        ::usleep(static_cast<useconds_t>(delay_us(rng)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);

        auto read = read_snapshot(file);
        ASSERT_TRUE(read) << "round " << round << ": " << read.error().to_string();
        EXPECT_TRUE(*read == small || *read == large) << "round " << round;
        std::size_t temps = 0;
        for (const std::string& name : dir_names(dir)) {
            temps += name.starts_with("tmp-") ? 1 : 0;
        }
        // At most the one file of the writer just killed; the next writer removes it.
        EXPECT_LE(temps, 1u) << "round " << round;
    }
}

} // namespace
} // namespace qb
