/* handler/simulator/cell_layout.cpp: reads the cell's axes and IO modules out of a settings tree */
#include "cell_layout.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <utility>

namespace vemo::sim {

namespace {

using kinra::SettingValue;

/// A module entry with the map keys on its path from the root, as the client merges them.
struct FoundEntry {
    const SettingValue* entry;
    std::vector<std::pair<std::string, const SettingValue*>> path;

    /// The entry's own key first, then the path's, deepest first (later keys overwrite earlier ones).
    const SettingValue* find(std::string_view key) const {
        if (const SettingValue* own = entry->find(key)) return own;
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            if (it->first == key) return it->second;
        }
        return nullptr;
    }
};

void collect(const SettingValue& node, std::vector<std::pair<std::string, const SettingValue*>>& path,
             std::vector<FoundEntry>& out) {
    if (node.kind == SettingValue::Kind::list) {
        for (const SettingValue& item : node.items) collect(item, path, out);
    } else if (node.kind == SettingValue::Kind::map) {
        if (node.find("KinraID")) {
            out.push_back({&node, path});  // the client never looks below a module entry
            return;
        }
        for (const auto& [key, value] : node.entries) {
            if (key.kind != SettingValue::Kind::text) continue;
            path.emplace_back(key.text, &value);
            collect(value, path, out);
            path.pop_back();
        }
    }
}

std::string describe(const FoundEntry& e) {
    std::string path;
    for (const auto& [key, value] : e.path) path += (path.empty() ? "" : "/") + key;
    return path.empty() ? "module entry" : "module entry under " + path;
}

std::optional<double> number_of(const SettingValue* v) {
    if (!v) return std::nullopt;
    switch (v->kind) {
        case SettingValue::Kind::integer: return static_cast<double>(v->integer);
        case SettingValue::Kind::real: return v->real;
        case SettingValue::Kind::text: {
            double d = 0;
            const char* first = v->text.data();
            const char* last = first + v->text.size();
            auto [ptr, ec] = std::from_chars(first, last, d);
            if (ec == std::errc() && ptr == last) return d;
            return std::nullopt;
        }
        default: return std::nullopt;
    }
}

int integer_of(const SettingValue* v, const std::string& what, const std::string& where) {
    const auto d = number_of(v);
    if (!d || !std::isfinite(*d) || *d != std::trunc(*d) || std::fabs(*d) > 2147483647.0)
        throw CellSpecError(where + ": " + what + " must be an integer");
    return static_cast<int>(*d);
}

double positive_of(const SettingValue* map, std::string_view key, double fallback, const std::string& where) {
    const SettingValue* v = map ? map->find(key) : nullptr;
    if (!v) return fallback;
    const auto d = number_of(v);
    if (!d || !std::isfinite(*d) || *d <= 0)
        throw CellSpecError(where + ": " + std::string(key) + " must be a positive number");
    return *d;
}

std::optional<double> optional_number(const SettingValue* map, std::string_view key, const std::string& where) {
    const SettingValue* v = map ? map->find(key) : nullptr;
    if (!v) return std::nullopt;
    const auto d = number_of(v);
    if (!d || !std::isfinite(*d)) throw CellSpecError(where + ": " + std::string(key) + " must be a number");
    return d;
}

std::string name_of(const FoundEntry& e, int kinra_id) {
    const SettingValue* n = e.entry->find("Name");
    if (n && n->kind == SettingValue::Kind::text) return n->text;
    return "module " + std::to_string(kinra_id);
}

AxisSpec axis_from(const FoundEntry& e, int kinra_id, const std::string& where) {
    AxisSpec a;
    a.kinra_id = kinra_id;
    a.name = name_of(e, kinra_id);
    a.family = e.find("Akribis") ? DriveFamily::akribis : DriveFamily::festo;
    if (const SettingValue* slave = e.find("SlaveNo")) a.slave_no = integer_of(slave, "SlaveNo", where);
    if (a.family == DriveFamily::festo && a.slave_no < 0)
        throw CellSpecError(where + ": a Festo drive needs a SlaveNo of 0 or more");
    const SettingValue* params = e.find("Params");
    a.distance_factor = positive_of(params, "DistanceFactor", 1, where);
    a.speed_factor = positive_of(params, "SpeedFactor", 1, where);
    a.accel_factor = positive_of(params, "AccelerationFactor", 1, where);
    const SettingValue* sim = e.entry->find("Sim");
    a.default_speed = positive_of(sim, "Speed", a.default_speed, where);
    a.default_accel = positive_of(sim, "Acceleration", a.default_accel, where);
    a.homing_settle_s = optional_number(sim, "HomingSettle", where).value_or(a.homing_settle_s);
    a.home_position = optional_number(sim, "HomePosition", where).value_or(0);
    a.start_position = optional_number(sim, "StartPosition", where).value_or(a.home_position);
    a.min_position = optional_number(sim, "Min", where);
    a.max_position = optional_number(sim, "Max", where);
    a.temperature = optional_number(sim, "Temperature", where).value_or(a.temperature);
    if (a.homing_settle_s < 0) throw CellSpecError(where + ": HomingSettle must not be negative");
    if (a.min_position && a.max_position && *a.min_position > *a.max_position)
        throw CellSpecError(where + ": Min lies above Max");
    return a;
}

std::vector<InputRule> input_rules(const SettingValue& list, const std::string& where);

IoModuleSpec io_module_from(const FoundEntry& e, int kinra_id, const std::string& where) {
    IoModuleSpec m;
    m.kinra_id = kinra_id;
    m.name = name_of(e, kinra_id);
    m.slot = integer_of(e.entry->find("Slot"), "Slot", where);
    m.input_bytes = integer_of(e.entry->find("InputBytes"), "InputBytes", where);
    m.output_bytes = integer_of(e.entry->find("OutputBytes"), "OutputBytes", where);
    if (m.input_bytes < 0 || m.output_bytes < 0 || m.input_bytes > 40 || m.output_bytes > 40)
        throw CellSpecError(where + ": InputBytes and OutputBytes must lie in 0..40 (an image is read as 80 hex digits)");
    if (const SettingValue* sim = e.entry->find("Sim"); sim && sim->find("Loopback"))
        m.loopback = integer_of(sim->find("Loopback"), "Sim/Loopback", where);
    if (const SettingValue* sim = e.entry->find("Sim"); sim && sim->find("Inputs"))
        m.rules = input_rules(*sim->find("Inputs"), where);
    return m;
}

RuleSource rule_source(const SettingValue& map, const std::string& what, const std::string& where) {
    if (map.kind != SettingValue::Kind::map) throw CellSpecError(where + ": " + what + " must be a map");
    RuleSource source;
    source.kinra_id = integer_of(map.find("Module"), what + "/Module", where);
    if (map.find("Pin")) source.pin = integer_of(map.find("Pin"), what + "/Pin", where);
    source.position = optional_number(&map, "Position", where);
    if (const auto tolerance = optional_number(&map, "Tolerance", where)) source.tolerance = *tolerance;
    if ((source.pin >= 0) == source.position.has_value())
        throw CellSpecError(where + ": " + what + " names either an output Pin or an axis Position");
    if (source.tolerance < 0) throw CellSpecError(where + ": " + what + "/Tolerance must not be negative");
    return source;
}

std::vector<InputRule> input_rules(const SettingValue& list, const std::string& where) {
    if (list.kind != SettingValue::Kind::list) throw CellSpecError(where + ": Sim/Inputs must be a list of rules");
    std::vector<InputRule> rules;
    for (const SettingValue& item : list.items) {
        if (item.kind != SettingValue::Kind::map) throw CellSpecError(where + ": a Sim/Inputs rule must be a map");
        InputRule rule;
        rule.pin = integer_of(item.find("Pin"), "Sim/Inputs Pin", where);
        const SettingValue* follows = item.find("Follows");
        const SettingValue* every = item.find("Every");
        if ((follows != nullptr) == (every != nullptr))
            throw CellSpecError(where + ": input rule of pin " + std::to_string(rule.pin) +
                                " needs either Follows or Every (with TakenBy)");
        if (follows) {
            rule.follows = rule_source(*follows, "Follows", where);
            if (!rule.follows->position) {
                rule.delay_s = optional_number(&item, "Delay", where).value_or(0);
                if (rule.delay_s < 0) throw CellSpecError(where + ": Delay must not be negative");
            } else {
                throw CellSpecError(where + ": Follows names an output Pin, not a Position");
            }
        } else {
            rule.every_s = positive_of(&item, "Every", 1, where);
            if (!item.find("TakenBy"))
                throw CellSpecError(where + ": input rule of pin " + std::to_string(rule.pin) + " with Every needs TakenBy");
            rule.taken_by = rule_source(*item.find("TakenBy"), "TakenBy", where);
        }
        for (const InputRule& other : rules)
            if (other.pin == rule.pin)
                throw CellSpecError(where + ": two input rules drive pin " + std::to_string(rule.pin));
        rules.push_back(rule);
    }
    return rules;
}

/// Refuses rules on pins the module does not have or that watch what the cell does not have.
void check_rules(const CellSpec& cell, const IoModuleSpec& m) {
    if (m.rules.empty()) return;
    const std::string where = m.name;
    if (m.loopback) throw CellSpecError(where + ": Sim/Inputs and Sim/Loopback both drive its inputs");
    const auto output_pin = [&](const RuleSource& s, const std::string& what) {
        const auto it = std::find_if(cell.io_modules.begin(), cell.io_modules.end(),
                                     [&](const IoModuleSpec& o) { return o.kinra_id == s.kinra_id; });
        if (it == cell.io_modules.end() || s.pin >= it->output_bytes * 8)
            throw CellSpecError(where + ": " + what + " names no output pin " + std::to_string(s.pin) + " of KinraID " +
                                std::to_string(s.kinra_id));
    };
    for (const InputRule& rule : m.rules) {
        if (rule.pin < 0 || rule.pin >= m.input_bytes * 8)
            throw CellSpecError(where + ": an input rule drives pin " + std::to_string(rule.pin) + ", but the module has " +
                                std::to_string(m.input_bytes * 8) + " inputs");
        if (rule.follows) output_pin(*rule.follows, "Follows");
        if (rule.taken_by && !rule.taken_by->position) output_pin(*rule.taken_by, "TakenBy");
        if (rule.taken_by && rule.taken_by->position &&
            std::none_of(cell.axes.begin(), cell.axes.end(),
                         [&](const AxisSpec& a) { return a.kinra_id == rule.taken_by->kinra_id; }))
            throw CellSpecError(where + ": TakenBy names no axis with KinraID " + std::to_string(rule.taken_by->kinra_id));
    }
}

}  // namespace

CellSpec cell_from_settings(const SettingValue& root) {
    std::vector<FoundEntry> found;
    std::vector<std::pair<std::string, const SettingValue*>> path;
    collect(root, path, found);

    CellSpec cell;
    std::set<int> kinra_ids;
    std::map<std::pair<DriveFamily, int>, std::string> addresses;
    for (const FoundEntry& e : found) {
        const std::string where = describe(e);
        const int kinra_id = integer_of(e.entry->find("KinraID"), "KinraID", where);
        if (kinra_id < 1) throw CellSpecError(where + ": KinraID must be 1 or more");
        if (!kinra_ids.insert(kinra_id).second)
            throw CellSpecError(where + ": KinraID " + std::to_string(kinra_id) + " is used twice");
        if (e.find("IOModule")) {
            cell.io_modules.push_back(io_module_from(e, kinra_id, where));
            if (!cell.io_station_slave) {
                const SettingValue* section = e.find("IOModule");
                if (const SettingValue* slave = section->find("SlaveNo"))
                    cell.io_station_slave = integer_of(slave, "IOModule/SlaveNo", where);
            }
            continue;
        }
        AxisSpec axis = axis_from(e, kinra_id, where);
        const int address = axis.family == DriveFamily::akribis ? axis.kinra_id : axis.slave_no;
        auto [it, fresh] = addresses.emplace(std::pair{axis.family, address}, axis.name);
        if (!fresh)
            throw CellSpecError(where + ": drive address " + std::to_string(address) + " is already used by " +
                                it->second);
        cell.axes.push_back(std::move(axis));
    }

    // Offsets into the concatenated process images, in slot order (stable for equal slots).
    std::stable_sort(cell.io_modules.begin(), cell.io_modules.end(),
                     [](const IoModuleSpec& a, const IoModuleSpec& b) { return a.slot < b.slot; });
    for (IoModuleSpec& m : cell.io_modules) {
        if (m.input_bytes > 0) {
            m.input_start = cell.input_image_bytes;
            cell.input_image_bytes += m.input_bytes;
        }
        if (m.output_bytes > 0) {
            m.output_start = cell.output_image_bytes;
            cell.output_image_bytes += m.output_bytes;
        }
    }
    for (const IoModuleSpec& m : cell.io_modules) check_rules(cell, m);
    for (const IoModuleSpec& m : cell.io_modules) {
        if (!m.loopback) continue;
        const bool ok = std::any_of(cell.io_modules.begin(), cell.io_modules.end(), [&](const IoModuleSpec& o) {
            return o.kinra_id == *m.loopback && o.output_bytes > 0;
        });
        if (!ok)
            throw CellSpecError(m.name + ": Sim/Loopback names no IO module with outputs (" +
                                std::to_string(*m.loopback) + ")");
    }
    return cell;
}

}  // namespace vemo::sim
