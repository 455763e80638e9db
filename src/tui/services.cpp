#include "tui/services.hpp"

#include "common/io.hpp"

#include <mutex>
#include <system_error>
#include <thread>

namespace qb::tui {
namespace {

std::mutex hook_mutex;
std::function<void()>& restore_hook() {
    static std::function<void()> hook;
    return hook;
}

} // namespace

void set_terminal_restore_hook(std::function<void()> hook) {
    std::lock_guard lock(hook_mutex);
    restore_hook() = std::move(hook);
}

void spawn_detached(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error& e) {
        std::function<void()> hook;
        {
            std::lock_guard lock(hook_mutex);
            hook = restore_hook();
        }
        if (hook) {
            hook();
        }
        fail_internal(std::string("failed to spawn thread: ") + e.what());
    }
}

} // namespace qb::tui
