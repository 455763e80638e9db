// Feeds arbitrary bytes to the snapshot reader. Whatever it accepts must write back to
// a text that reads as the same snapshot.

#include "scanner/snapshot.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > qb::kSnapshotMaxBytes) {
        return 0;
    }
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto parsed = qb::parse_snapshot(bytes);
    if (!parsed) {
        return 0;
    }
    auto text = qb::write_snapshot(*parsed);
    if (!text) {
        __builtin_trap(); // every string the reader accepts is valid UTF-8
    }
    auto again = qb::parse_snapshot(*text);
    if (!again || !(*again == *parsed)) {
        __builtin_trap();
    }
    return 0;
}
