/* handler/command_ids.hpp: the command identifiers a client stamps on its action requests */
#pragma once

#include <ctime>
#include <mutex>
#include <string>

namespace kinra {

/// "PC" + MMDDhhmmss of `moment` + "-".
std::string command_id_prefix(const std::tm& moment);

/// Prefix plus a counter that wraps after 999, so identifiers repeat only every 1000 generations.
class CommandIds {
public:
    static constexpr int period = 1000;

    CommandIds();  // prefix from the local time now
    explicit CommandIds(std::string prefix);

    std::string next();
    const std::string& prefix() const noexcept { return prefix_; }
    int count() const;
    void set_count(int count);  // taken modulo the period

private:
    std::string prefix_;
    mutable std::mutex mutex_;
    int count_ = 0;
};

}  // namespace kinra
