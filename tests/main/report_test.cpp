#include "common/saturating.hpp"
#include "main/catalog_command.hpp"
#include "main/report.hpp"
#include "main/scan_command.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(Report, FieldValidationNamesTheFirstUnknownField) {
    EXPECT_TRUE(validate_fields({}, kScanFields).has_value());
    EXPECT_TRUE(validate_fields({"path", "kind", "path"}, kScanFields).has_value());
    auto bad = validate_fields({"kind", "nosuch", "other"}, kScanFields);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().exit_status(), 2);
    EXPECT_EQ(fmt_app_error(bad.error()),
              "invalid input: unknown field nosuch; expected one of kind, ecosystem, scope, "
              "path, bytes, allocated_bytes, modified_unix, age_days, protected, "
              "network_restore, cleanable");
    // Exact names only: no trimming, no case folding, no empty name.
    EXPECT_FALSE(validate_fields({" kind"}, kScanFields).has_value());
    EXPECT_FALSE(validate_fields({"KIND"}, kScanFields).has_value());
    EXPECT_FALSE(validate_fields({""}, kScanFields).has_value());
    EXPECT_TRUE(validate_fields({"description"}, kCatalogFields).has_value());
    EXPECT_FALSE(validate_fields({"description"}, kScanFields).has_value());
}

TEST(Report, ProjectionKeepsNamedMembersOnce) {
    Json item = {{"kind", "k"}, {"path", "/p"}, {"age_days", nullptr}, {"bytes", 3}};
    EXPECT_EQ(project_fields(item, {}), item);
    Json projected = project_fields(item, {"path", "kind", "path", "age_days", "missing"});
    EXPECT_EQ(projected, (Json{{"kind", "k"}, {"path", "/p"}, {"age_days", nullptr}}));
    EXPECT_EQ(json_compact(projected), R"({"age_days":null,"kind":"k","path":"/p"})");
}

TEST(Report, Paging) {
    auto check = [](std::uint64_t total, std::uint64_t offset, std::uint64_t limit,
                    std::uint64_t returned, bool truncated) {
        Page p = page_of(total, offset, limit);
        EXPECT_EQ(p.returned, returned) << total << " " << offset << " " << limit;
        EXPECT_EQ(p.truncated, truncated) << total << " " << offset << " " << limit;
    };
    check(100, 0, 100, 100, false);
    check(101, 0, 100, 100, true);
    check(150, 100, 100, 50, false);
    check(150, 150, 100, 0, false);
    check(150, 200, 100, 0, false);
    check(0, 0, 100, 0, false);
    check(10, 9, 1, 1, false);
    check(10, 8, 1, 1, true);
    // The end saturates instead of wrapping around to a small number.
    check(150, kU64Max - 5, 1000, 0, false);

    std::vector<int> rows{0, 1, 2, 3, 4};
    auto page = page_of(rows.size(), 3, 10).of(rows);
    EXPECT_EQ(std::vector<int>(page.begin(), page.end()), (std::vector<int>{3, 4}));
    EXPECT_TRUE(page_of(rows.size(), 9, 10).of(rows).empty());
}

Candidate candidate(std::string path, std::uint64_t bytes, CacheScope scope = CacheScope::Project) {
    Candidate c;
    c.kind = "cargo-target";
    c.ecosystem = "rust";
    c.scope = scope;
    c.path = std::move(path);
    c.bytes = bytes;
    c.allocated_bytes = bytes * 2;
    c.modified_unix = 1700000000;
    c.age_days = 12;
    c.is_protected = false;
    c.anchor = "/secret-anchor";
    c.identity = DirIdentity{77, 88};
    return c;
}

TEST(ScanReport, JsonEnvelopeWithPagingAndTotals) {
    ScanResult result;
    for (int i = 0; i < 150; ++i) {
        result.candidates.push_back(candidate(fmt::format("/p/{}", i), 1000));
    }
    result.walk_errors = {"IO error for operation on /p/x: Permission denied (os error 13)"};
    ScanArgs args;
    Json doc = Json::parse(scan_report(result, args, true));
    EXPECT_EQ(doc["total"], 150);
    EXPECT_EQ(doc["returned"], 100);
    EXPECT_EQ(doc["truncated"], true);
    EXPECT_EQ(doc["offset"], 0);
    EXPECT_EQ(doc["limit"], 100);
    EXPECT_EQ(doc["total_bytes"], 150000);
    EXPECT_EQ(doc["total_allocated_bytes"], 300000);
    EXPECT_EQ(doc["items"].size(), 100u);
    EXPECT_EQ(doc["warnings"], Json::array({result.walk_errors[0]}));
    EXPECT_EQ(doc.size(), 9u);

    args.offset = 200;
    doc = Json::parse(scan_report(result, args, true));
    EXPECT_EQ(doc["items"], Json::array());
    EXPECT_EQ(doc["truncated"], false);
    EXPECT_EQ(doc["total_bytes"], 150000);

    args.offset = 149;
    args.fields = {"path", "bytes"};
    doc = Json::parse(scan_report(result, args, true));
    EXPECT_EQ(doc["items"], Json::parse(R"([{"bytes":1000,"path":"/p/149"}])"));
}

TEST(ScanReport, ItemMembersAndTheirAbsence) {
    Candidate timeless = candidate("/g/cache", 5, CacheScope::Global);
    timeless.modified_unix.reset();
    timeless.age_days.reset();
    timeless.is_protected = true;
    timeless.path = "/g/\xff";
    EXPECT_EQ(json_compact(candidate_json(timeless)),
              "{\"age_days\":null,\"allocated_bytes\":10,\"bytes\":5,\"cleanable\":true,"
              "\"ecosystem\":\"rust\",\"kind\":\"cargo-target\",\"modified_unix\":null,"
              "\"network_restore\":false,\"path\":\"/g/\xEF\xBF\xBD\",\"protected\":true,"
              "\"scope\":\"global\"}");
}

TEST(ScanReport, TextTable) {
    ScanResult empty;
    EXPECT_EQ(scan_report(empty, ScanArgs{}, false),
              "Found 0 storage locations using 0 B apparent (0 B allocated)\n"
              "APPARENT\tALLOCATED\tAGE\tSCOPE\tKIND\tPATH");

    ScanResult result;
    result.candidates.push_back(candidate("/p/big", 1536));
    Candidate timeless = candidate("/g/\xff", 100, CacheScope::Global);
    timeless.age_days.reset();
    timeless.modified_unix.reset();
    timeless.is_protected = true;
    result.candidates.push_back(timeless);
    result.candidates.push_back(candidate("/p/small", 1));
    result.walk_errors = {"a", "b", "c"};
    ScanArgs args;
    args.limit = 2;
    EXPECT_EQ(scan_report(result, args, false),
              "Found 3 storage locations using 1.6 KiB apparent (3.2 KiB allocated) (output "
              "truncated)\n"
              "APPARENT\tALLOCATED\tAGE\tSCOPE\tKIND\tPATH\n"
              "1.5 KiB\t3.0 KiB\t12d\tProject\tcargo-target\t/p/big\n"
              "100 B\t200 B\t?\tGlobal\tcargo-target\t/g/\xEF\xBF\xBD [protected]\n"
              "3 paths could not be inspected");
}

TEST(CatalogReport, JsonAndText) {
    std::vector<CatalogEntry> rows{
        {"cargo-target", "rust", "Cargo build output", false, false, true},
        {"docker-thing", "docker", "Seen only", true, true, false},
    };
    CatalogArgs args;
    Json doc = Json::parse(catalog_report(rows, args, true));
    EXPECT_EQ(doc["total"], 2);
    EXPECT_EQ(doc["returned"], 2);
    EXPECT_EQ(doc["truncated"], false);
    EXPECT_EQ(doc.size(), 6u);
    EXPECT_EQ(doc["items"][1], Json::parse(R"({"cleanable":false,"description":"Seen only",
        "ecosystem":"docker","kind":"docker-thing","network_restore":true,"scope":"global"})"));

    args.limit = 1;
    args.fields = {"description"};
    doc = Json::parse(catalog_report(rows, args, true));
    EXPECT_EQ(doc["items"], Json::parse(R"([{"description":"Cargo build output"}])"));
    EXPECT_EQ(doc["truncated"], true);

    EXPECT_EQ(catalog_report(rows, CatalogArgs{}, false),
              "KIND\tECOSYSTEM\tSCOPE\tRESTORE\tCLEAN\n"
              "cargo-target\trust\tProject\tlocal\tyes\n"
              "docker-thing\tdocker\tGlobal\tnetwork\tscan-only");
    CatalogArgs beyond;
    beyond.offset = 2;
    EXPECT_EQ(catalog_report(rows, beyond, false), "KIND\tECOSYSTEM\tSCOPE\tRESTORE\tCLEAN");
}

} // namespace
} // namespace qb
