/* handler/command_ids.cpp: command identifier generation */
#include "command_ids.hpp"

namespace kinra {

std::string command_id_prefix(const std::tm& moment) {
    char digits[16];
    const std::size_t n = std::strftime(digits, sizeof digits, "%m%d%H%M%S", &moment);
    return "PC" + std::string(digits, n) + "-";
}

namespace {
std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm moment{};
    localtime_r(&now, &moment);
    return moment;
}
}  // namespace

CommandIds::CommandIds() : prefix_(command_id_prefix(local_now())) {}

CommandIds::CommandIds(std::string prefix) : prefix_(std::move(prefix)) {}

std::string CommandIds::next() {
    int number;
    {
        std::lock_guard lock(mutex_);
        number = count_;
        count_ = (count_ + 1) % period;
    }
    return prefix_ + std::to_string(number);
}

int CommandIds::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

void CommandIds::set_count(int count) {
    std::lock_guard lock(mutex_);
    count_ = ((count % period) + period) % period;
}

}  // namespace kinra
