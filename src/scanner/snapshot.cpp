#include "scanner/snapshot.hpp"

#include "common/dir.hpp"
#include "common/fs.hpp"
#include "common/fs_sync.hpp"
#include "common/io.hpp"
#include "common/json.hpp"
#include "common/paths.hpp"
#include "common/text.hpp"
#include "common/unique_fd.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qb {
namespace {

IoError invalid_data(std::string text) {
    return IoError::from_text(std::move(text));
}

// ---- reading -------------------------------------------------------------------------

constexpr std::array<std::string_view, 2> kSnapshotFields = {"version", "entries"};
constexpr std::array<std::string_view, 9> kEntryFields = {
    "kind",          "ecosystem", "scope",        "path", "bytes", "allocated_bytes",
    "modified_unix", "cleanable", "observed_unix"};
constexpr int kModifiedField = 6;

int field_index(std::string_view name, const auto& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i] == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Builds a Snapshot straight from parser events. A streaming reader is needed because
// the ordinary document parser keeps the last of two equal keys without a word, and it
// also keeps memory flat whatever the nesting of values that are skipped.
class SnapshotReader {
public:
    using Json = nlohmann::json;

    const Snapshot& result() const { return result_; }
    const std::string& error() const { return error_; }

    bool null() { return scalar(Value::Null); }
    bool boolean(bool v) {
        bool_ = v;
        return scalar(Value::Bool);
    }
    bool number_integer(Json::number_integer_t v) {
        if (v < 0) {
            return scalar(Value::Negative);
        }
        unsigned_ = static_cast<std::uint64_t>(v);
        return scalar(Value::Unsigned);
    }
    bool number_unsigned(Json::number_unsigned_t v) {
        unsigned_ = v;
        return scalar(Value::Unsigned);
    }
    bool number_float(Json::number_float_t, const std::string&) { return scalar(Value::Float); }
    bool string(std::string& v) {
        string_ = std::move(v);
        return scalar(Value::String);
    }
    bool binary(Json::binary_t&) { return scalar(Value::Other); }

    bool start_object(std::size_t) { return open(Value::Object); }
    bool start_array(std::size_t) { return open(Value::Array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& name) {
        if (skip_depth_ > 0) {
            return true;
        }
        Frame& top = stack_.back();
        int index = top.kind == Frame::SnapshotObject ? field_index(name, kSnapshotFields)
                                                      : field_index(name, kEntryFields);
        if (index >= 0) {
            unsigned bit = 1U << index;
            if ((top.seen & bit) != 0) {
                return fail(fmt::format("duplicate field `{}`", name));
            }
            top.seen |= bit;
        }
        top.field = index;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        if (error_.empty()) {
            error_ = e.what();
        }
        return false;
    }

private:
    enum class Value { Null, Bool, Unsigned, Negative, Float, String, Object, Array, Other };

    struct Frame {
        enum Kind { SnapshotObject, SnapshotArray, EntryList, EntryObject, EntryArray } kind;
        int field = -1;    // object frames: the field whose value comes next, -1 to skip it
        unsigned seen = 0; // object frames: fields met so far; array frames: values so far
    };

    static std::string_view describe(Value v) {
        switch (v) {
        case Value::Null:
            return "null";
        case Value::Bool:
            return "boolean";
        case Value::Unsigned:
            return "integer";
        case Value::Negative:
            return "negative integer";
        case Value::Float:
            return "floating point";
        case Value::String:
            return "string";
        case Value::Object:
            return "map";
        case Value::Array:
            return "sequence";
        case Value::Other:
            break;
        }
        return "value";
    }

    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }
    bool wrong_type(Value got, std::string_view expected) {
        return fail(fmt::format("invalid type: {}, expected {}", describe(got), expected));
    }

    // Where the next value goes: the document, a snapshot field, an entry, an entry field,
    // or nowhere (-1 field: skipped).
    enum class Slot { Document, SnapshotField, Entry, EntryField, TooMany };
    Slot slot(int& field) const {
        field = -1;
        if (stack_.empty()) {
            return Slot::Document;
        }
        const Frame& top = stack_.back();
        switch (top.kind) {
        case Frame::SnapshotObject:
            field = top.field;
            return Slot::SnapshotField;
        case Frame::SnapshotArray:
            field = static_cast<int>(top.seen);
            return top.seen < kSnapshotFields.size() ? Slot::SnapshotField : Slot::TooMany;
        case Frame::EntryList:
            return Slot::Entry;
        case Frame::EntryObject:
            field = top.field;
            return Slot::EntryField;
        case Frame::EntryArray:
            field = static_cast<int>(top.seen);
            return top.seen < kEntryFields.size() ? Slot::EntryField : Slot::TooMany;
        }
        return Slot::TooMany;
    }

    // A value of the top frame is complete.
    void value_done() {
        if (stack_.empty()) {
            return;
        }
        Frame& top = stack_.back();
        if (top.kind == Frame::SnapshotObject || top.kind == Frame::EntryObject) {
            top.field = -1;
        } else if (top.kind == Frame::SnapshotArray || top.kind == Frame::EntryArray) {
            ++top.seen;
        }
    }

    bool too_many() {
        const Frame& top = stack_.back();
        return fail(top.kind == Frame::SnapshotArray
                        ? "invalid length, expected struct Snapshot with 2 elements"
                        : "invalid length, expected struct RememberedCache with 9 elements");
    }

    bool scalar(Value v) {
        if (skip_depth_ > 0) {
            return true;
        }
        int field = -1;
        switch (slot(field)) {
        case Slot::Document:
            return wrong_type(v, "struct Snapshot");
        case Slot::TooMany:
            return too_many();
        case Slot::Entry:
            return wrong_type(v, "struct RememberedCache");
        case Slot::SnapshotField:
            if (field == 0) {
                if (v != Value::Unsigned || unsigned_ > UINT32_MAX) {
                    return wrong_type(v, "u32");
                }
                result_.version = static_cast<std::uint32_t>(unsigned_);
            } else if (field == 1) {
                return wrong_type(v, "a sequence");
            }
            break;
        case Slot::EntryField:
            if (field >= 0 && !entry_field(field, v)) {
                return false;
            }
            break;
        }
        value_done();
        return true;
    }

    bool entry_field(int field, Value v) {
        auto text = [&](std::string& out) {
            if (v != Value::String) {
                return wrong_type(v, "a string");
            }
            out = std::move(string_);
            return true;
        };
        auto number = [&](std::uint64_t& out) {
            if (v != Value::Unsigned) {
                return wrong_type(v, "u64");
            }
            out = unsigned_;
            return true;
        };
        switch (field) {
        case 0:
            return text(entry_.kind);
        case 1:
            return text(entry_.ecosystem);
        case 2:
            if (v != Value::String) {
                return wrong_type(v, "variant identifier");
            }
            if (string_ == scope_json_text(CacheScope::Project)) {
                entry_.scope = CacheScope::Project;
            } else if (string_ == scope_json_text(CacheScope::Global)) {
                entry_.scope = CacheScope::Global;
            } else {
                return fail(
                    fmt::format("unknown variant `{}`, expected `project` or `global`", string_));
            }
            return true;
        case 3:
            return text(entry_.path);
        case 4:
            return number(entry_.bytes);
        case 5:
            return number(entry_.allocated_bytes);
        case 6:
            if (v == Value::Null) {
                entry_.modified_unix.reset();
                return true;
            }
            entry_.modified_unix.emplace();
            return number(*entry_.modified_unix);
        case 7:
            if (v != Value::Bool) {
                return wrong_type(v, "a boolean");
            }
            entry_.cleanable = bool_;
            return true;
        case 8:
            return number(entry_.observed_unix);
        default:
            return true;
        }
    }

    bool open(Value v) {
        if (skip_depth_ > 0) {
            ++skip_depth_;
            return true;
        }
        bool object = v == Value::Object;
        int field = -1;
        switch (slot(field)) {
        case Slot::Document:
            stack_.push_back({object ? Frame::SnapshotObject : Frame::SnapshotArray});
            return true;
        case Slot::TooMany:
            return too_many();
        case Slot::SnapshotField:
            if (field < 0) {
                skip_depth_ = 1;
                return true;
            }
            if (field == 0) {
                return wrong_type(v, "u32");
            }
            if (object) {
                return wrong_type(v, "a sequence");
            }
            stack_.push_back({Frame::EntryList});
            return true;
        case Slot::Entry:
            entry_ = RememberedCache{};
            stack_.push_back({object ? Frame::EntryObject : Frame::EntryArray});
            return true;
        case Slot::EntryField:
            if (field < 0) {
                skip_depth_ = 1;
                return true;
            }
            return wrong_type(v, field == 2 ? "variant identifier" : "a scalar");
        }
        return true;
    }

    bool close() {
        if (skip_depth_ > 0) {
            if (--skip_depth_ == 0) {
                value_done();
            }
            return true;
        }
        Frame top = stack_.back();
        stack_.pop_back();
        switch (top.kind) {
        case Frame::SnapshotObject:
            for (std::size_t i = 0; i < kSnapshotFields.size(); ++i) {
                if ((top.seen & (1U << i)) == 0) {
                    return fail(fmt::format("missing field `{}`", kSnapshotFields[i]));
                }
            }
            break;
        case Frame::SnapshotArray:
            if (top.seen != kSnapshotFields.size()) {
                return fail(fmt::format("invalid length {}, expected struct Snapshot with 2 "
                                        "elements",
                                        top.seen));
            }
            break;
        case Frame::EntryList:
            break;
        case Frame::EntryObject:
            for (std::size_t i = 0; i < kEntryFields.size(); ++i) {
                if (static_cast<int>(i) != kModifiedField && (top.seen & (1U << i)) == 0) {
                    return fail(fmt::format("missing field `{}`", kEntryFields[i]));
                }
            }
            result_.entries.push_back(std::move(entry_));
            break;
        case Frame::EntryArray:
            if (top.seen != kEntryFields.size()) {
                return fail(fmt::format("invalid length {}, expected struct RememberedCache "
                                        "with 9 elements",
                                        top.seen));
            }
            result_.entries.push_back(std::move(entry_));
            break;
        }
        value_done();
        return true;
    }

    std::vector<Frame> stack_;
    std::size_t skip_depth_ = 0;
    Snapshot result_;
    RememberedCache entry_;
    std::string error_;
    // The payload of the scalar being handled.
    bool bool_ = false;
    std::uint64_t unsigned_ = 0;
    std::string string_;
};

// ---- storing -------------------------------------------------------------------------

std::uint64_t now_unix_nanos() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000U +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// mkdir -p: missing ancestors get 0777 before the umask, the last directory `mode`. An
// existing directory (links followed) is accepted. Returns 0 or an errno.
int create_directories(const std::string& dir, mode_t mode) {
    if (dir.empty()) {
        return 0;
    }
    if (::mkdir(dir.c_str(), mode) == 0) {
        return 0;
    }
    int err = errno;
    if (err != ENOENT) {
        return is_directory(dir) ? 0 : err;
    }
    if (auto parent = path::parent(dir)) {
        if (int rc = create_directories(std::string(*parent), 0777); rc != 0) {
            return rc;
        }
    }
    if (::mkdir(dir.c_str(), mode) == 0) {
        return 0;
    }
    err = errno;
    return is_directory(dir) ? 0 : err;
}

// "tmp-{pid}-{nanos}" with both numbers plain decimal; the pid when the name matches.
std::optional<pid_t> temp_file_owner(std::string_view name) {
    if (!name.starts_with("tmp-")) {
        return std::nullopt;
    }
    name.remove_prefix(4);
    std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == name.size()) {
        return std::nullopt;
    }
    auto digits = [](std::string_view s) {
        return s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    std::string_view pid_text = name.substr(0, dash);
    if (!digits(pid_text) || !digits(name.substr(dash + 1)) || pid_text.size() > 10) {
        return std::nullopt;
    }
    unsigned long long pid = std::strtoull(std::string(pid_text).c_str(), nullptr, 10);
    if (pid == 0 || pid > static_cast<unsigned long long>(INT_MAX)) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

// A writer killed between creating its temporary file and renaming it leaves the file
// behind; without this every such crash would add one for good. Only regular files named
// exactly like our temporary files, whose writer process no longer exists, are removed.
void remove_stale_temp_files(dir::Handle& dir) {
    std::vector<std::string> stale;
    dir::Listing listing(dir); // the directory's own descriptor: it was opened just now
    dir::Entry entry;
    while (listing.next(entry)) {
        std::optional<pid_t> owner = temp_file_owner(entry.view());
        if (!owner) {
            continue;
        }
        if (::kill(*owner, 0) == 0 || errno != ESRCH) {
            continue; // alive, or not ours to judge
        }
        stale.emplace_back(entry.view());
    }
    const int dir_fd = dir.fd();
    for (const std::string& name : stale) {
        struct stat st {};
        if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            (void)::unlinkat(dir_fd, name.c_str(), 0);
        }
    }
}

} // namespace

std::optional<std::string> snapshot_path(const SystemEnv& env) {
    if (env.has("QUILLBARROW_NO_CACHE")) {
        return std::nullopt;
    }
    if (auto xdg = env.get("XDG_CACHE_HOME"); xdg && xdg->starts_with('/')) {
        return path::join(*xdg, kSnapshotRelativePath);
    }
    if (auto home = env.get("HOME")) {
        return path::join(path::join(*home, "Library/Caches"), kSnapshotRelativePath);
    }
    return std::nullopt;
}

Result<Snapshot, IoError> parse_snapshot(std::string_view bytes) {
    // The JSON library would pass over a byte order mark; the file never has one.
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        return unexpected(invalid_data("expected value at line 1 column 1"));
    }
    SnapshotReader reader;
    bool ok = nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &reader,
                                        nlohmann::json::input_format_t::json, true, false);
    if (!ok) {
        return unexpected(
            invalid_data(reader.error().empty() ? "invalid scan snapshot" : reader.error()));
    }
    if (reader.result().version != kSnapshotVersion) {
        return unexpected(invalid_data("unsupported scan snapshot version"));
    }
    return reader.result();
}

Result<Snapshot, IoError> read_snapshot(const std::string& path) {
    // Non-blocking, so that a FIFO planted at the path cannot hang the reader.
    dir::HeldFd file = dir::open_file_at(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK,
                                         std::move(dir::Slot::take_reserved(1).front()));
    const UniqueFd& fd = file.fd;
    if (!fd.valid()) {
        return unexpected(IoError::from_errno(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return unexpected(invalid_data("scan snapshot is not a regular file"));
    }
    if (static_cast<std::uint64_t>(st.st_size) > kSnapshotMaxBytes) {
        return unexpected(invalid_data("scan snapshot exceeds its size limit"));
    }
    // One byte beyond the limit tells a file that grew since fstat.
    std::string bytes(kSnapshotMaxBytes + 1, '\0');
    std::size_t used = 0;
    while (used < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unexpected(IoError::from_errno(errno));
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    if (used > kSnapshotMaxBytes) {
        return unexpected(invalid_data("scan snapshot exceeds its size limit"));
    }
    bytes.resize(used);
    return parse_snapshot(bytes);
}

bool remembered_entry_matches(ScopeFilter scope, const std::vector<std::string>& kinds,
                              const std::vector<std::string>& roots, const RememberedCache& entry) {
    if ((scope == ScopeFilter::Project && entry.scope == CacheScope::Global) ||
        (scope == ScopeFilter::Global && entry.scope == CacheScope::Project)) {
        return false;
    }
    if (!kinds.empty()) {
        bool listed = false;
        for (const std::string& kind : kinds) {
            listed = listed || kind == entry.kind;
        }
        if (!listed) {
            return false;
        }
    }
    if (entry.scope == CacheScope::Global) {
        return true;
    }
    for (const std::string& root : roots) {
        if (!path::equal(entry.path, root) && path::starts_with(entry.path, root)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> normalize_roots(const std::vector<std::string>& roots) {
    std::vector<std::string> out;
    out.reserve(roots.size());
    for (const std::string& root : roots) {
        out.push_back(resolve_canonical(root).value_or(root));
    }
    return out;
}

Result<std::string, IoError> write_snapshot(const Snapshot& snapshot) {
    OrderedJson entries = OrderedJson::array();
    for (const RememberedCache& e : snapshot.entries) {
        if (!text::is_utf8(e.path) || !text::is_utf8(e.kind) || !text::is_utf8(e.ecosystem)) {
            return unexpected(invalid_data("path contains invalid UTF-8 characters"));
        }
        OrderedJson row = OrderedJson::object();
        row["kind"] = e.kind;
        row["ecosystem"] = e.ecosystem;
        row["scope"] = scope_json_text(e.scope);
        row["path"] = e.path;
        row["bytes"] = e.bytes;
        row["allocated_bytes"] = e.allocated_bytes;
        row["modified_unix"] = e.modified_unix ? OrderedJson(*e.modified_unix) : OrderedJson();
        row["cleanable"] = e.cleanable;
        row["observed_unix"] = e.observed_unix;
        entries.push_back(std::move(row));
    }
    OrderedJson doc = OrderedJson::object();
    doc["version"] = snapshot.version;
    doc["entries"] = std::move(entries);
    return json_compact(doc);
}

Result<Ok, IoError> store_snapshot_file(const std::string& path, std::string_view text) {
    std::optional<std::string_view> parent = path::parent(path);
    std::optional<std::string_view> name = path::file_name(path);
    if (!parent || !name) {
        return unexpected(IoError::from_text("snapshot path has no parent"));
    }
    std::string dir(*parent);
    if (int rc = create_directories(dir, 0700); rc != 0) {
        return unexpected(IoError::from_errno(rc));
    }
    struct stat st {};
    if (::lstat(dir.empty() ? "." : dir.c_str(), &st) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return unexpected(invalid_data("snapshot directory is not a real directory"));
    }
    // The directory and the file, taken together: the holder of one waits for no other.
    std::vector<dir::Slot> slots = dir::Slot::take_reserved(2);
    // Everything below goes through this descriptor, so a directory swapped for a link
    // after the check above is never written through.
    dir::Handle dir_fd =
        dir::open_at(AT_FDCWD, dir.empty() ? "." : dir.c_str(), std::move(slots[0]));
    if (!dir_fd.valid()) {
        if (errno == ELOOP) {
            return unexpected(invalid_data("snapshot directory is not a real directory"));
        }
        return unexpected(IoError::from_errno(errno));
    }
    if (::fchmod(dir_fd.fd(), 0700) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    remove_stale_temp_files(dir_fd);

    std::string temp = fmt::format("tmp-{}-{}", ::getpid(), now_unix_nanos());
    dir::HeldFd held =
        dir::open_file_at(dir_fd.fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                          std::move(slots[1]), 0600);
    UniqueFd& file = held.fd;
    if (!file.valid()) {
        return unexpected(IoError::from_errno(errno));
    }
    int rc = write_all(file.get(), text);
    if (rc == 0) {
        rc = flush_to_storage(file.get());
    }
    if (int close_rc = file.reset(); rc == 0) {
        rc = close_rc;
    }
    if (rc == 0 &&
        ::renameat(dir_fd.fd(), temp.c_str(), dir_fd.fd(), std::string(*name).c_str()) != 0) {
        rc = errno;
    }
    if (rc != 0) {
        (void)::unlinkat(dir_fd.fd(), temp.c_str(), 0);
        return unexpected(IoError::from_errno(rc));
    }
    (void)flush_to_storage(dir_fd.fd());
    return Ok{};
}

} // namespace qb
