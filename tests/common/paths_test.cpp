#include "common/paths.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <unordered_set>

namespace qb::path {
namespace {

TEST(Paths, ComponentsFollowTheByteStringModel) {
    auto names = [](std::string_view p) {
        std::vector<std::string> out;
        for (auto c : components(p)) {
            out.emplace_back(c.name);
        }
        return out;
    };
    EXPECT_EQ(names("/a//b/./c/"), (std::vector<std::string>{"/", "a", "b", "c"}));
    EXPECT_EQ(names("//x"), (std::vector<std::string>{"/", "x"}));
    EXPECT_EQ(names("./a/../b"), (std::vector<std::string>{".", "a", "..", "b"}));
    EXPECT_EQ(names("a/./."), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(names("").empty());
    EXPECT_EQ(components("..")[0].kind, ComponentKind::ParentDir);

    EXPECT_EQ(lexically_normal("/t/x/../h/./"), "/t/h");
    EXPECT_EQ(lexically_normal("//.."), "/");
    EXPECT_EQ(lexically_normal("a/../../b"), "../b");
}

TEST(Paths, FileNameAndParent) {
    EXPECT_EQ(file_name("/a/b/"), "b");
    EXPECT_EQ(file_name("/a/b/."), "b");
    EXPECT_EQ(file_name("pip"), "pip");
    EXPECT_FALSE(file_name(""));
    EXPECT_FALSE(file_name("/"));
    EXPECT_FALSE(file_name("."));
    EXPECT_FALSE(file_name("a/.."));

    EXPECT_EQ(parent("/a/b/"), "/a");
    EXPECT_EQ(parent("/a"), "/");
    EXPECT_EQ(parent("/a/./b"), "/a");
    EXPECT_EQ(parent("pip"), ""); // resolves against the working directory
    EXPECT_EQ(parent("a/.."), "a");
    EXPECT_EQ(parent("./pip"), ".");
    EXPECT_FALSE(parent("/"));
    EXPECT_FALSE(parent("//"));
    EXPECT_FALSE(parent(""));
}

TEST(Paths, JoinAndExtension) {
    EXPECT_EQ(join("/h", ".cache"), "/h/.cache");
    EXPECT_EQ(join("/h/", ".cache"), "/h/.cache");
    EXPECT_EQ(join("", "pip"), "pip");
    EXPECT_EQ(join("/h", "/abs"), "/abs");

    EXPECT_EQ(extension("main.tf"), "tf");
    EXPECT_EQ(extension("a.b.tf"), "tf");
    EXPECT_EQ(extension("..tf"), "tf");
    EXPECT_FALSE(extension(".tf"));
    EXPECT_FALSE(extension(".."));
    EXPECT_FALSE(extension("Makefile"));
    EXPECT_EQ(extension("x."), "");
}

TEST(Paths, EqualityAgreesWithOrderOnEverySpelling) {
    // Short texts over the characters that matter, so that redundant spellings of one
    // path meet often.
    std::mt19937 rng(7);
    const char alphabet[] = {'/', '/', '.', 'a', 'b'};
    auto text = [&] {
        std::string s;
        for (unsigned n = rng() % 7; n > 0; --n) {
            s.push_back(alphabet[rng() % sizeof alphabet]);
        }
        return s;
    };
    int equal_pairs = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string a = text();
        std::string b = text();
        bool same = compare(a, b) == 0;
        ASSERT_EQ(equal(a, b), same) << "'" << a << "' vs '" << b << "'";
        equal_pairs += same && a != b;
    }
    EXPECT_GT(equal_pairs, 100);
}

TEST(Paths, OrderEqualityAndPrefixAreComponentWise) {
    EXPECT_TRUE(compare("/p/a/b", "/p/a-b") < 0); // byte order would say the opposite
    EXPECT_TRUE(compare("/p/a", "/p/a/b") < 0);
    EXPECT_TRUE(compare("/z", "a") < 0); // root before names
    EXPECT_TRUE(equal("/a/b/", "/a/./b"));
    EXPECT_TRUE(equal("/a//b", "/a/b"));
    EXPECT_FALSE(equal("/a/b", "a/b"));
    EXPECT_FALSE(equal("/a/b", "/a/b/c"));
    EXPECT_TRUE(equal("./a", "./a/."));
    EXPECT_FALSE(equal("./a", "a"));
    EXPECT_FALSE(equal("/a/..", "/"));
    EXPECT_TRUE(equal("//a", "/a"));
    EXPECT_FALSE(equal("", "."));

    EXPECT_TRUE(starts_with("/h/.cache/x", "/h/"));
    EXPECT_TRUE(starts_with("/h", "/h"));
    EXPECT_FALSE(starts_with("/home", "/h"));
    EXPECT_FALSE(starts_with("/h", "/h/x"));

    std::vector<std::string> v{"/p/a-b", "/p/a/b", "/p/a", "/p"};
    std::sort(v.begin(), v.end(), Less{});
    EXPECT_EQ(v, (std::vector<std::string>{"/p", "/p/a", "/p/a/b", "/p/a-b"}));

    std::unordered_set<std::string, Hash, Equal> set{"/a/b/"};
    EXPECT_TRUE(set.count("/a/./b"));
    EXPECT_FALSE(set.count("/a/b/c"));
}

TEST(Paths, DisplayReplacesInvalidBytes) {
    EXPECT_EQ(display("/a/\xff/b"), "/a/\xEF\xBF\xBD/b");
}

} // namespace
} // namespace qb::path
