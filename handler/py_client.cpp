/* handler/py_client.cpp: KinraClient configuration, connection and request traffic */
#include <cmath>

#include "py_client.hpp"
#include "py_support.hpp"
#include "settings.hpp"

namespace kinra::py {

using namespace nb::literals;

namespace {

/// Nesting beyond which the module search gives up; settings files are far shallower.
constexpr std::size_t max_search_depth = 200;

nb::object to_python(const SettingValue& value) {
    using Kind = SettingValue::Kind;
    switch (value.kind) {
        case Kind::null: return nb::none();
        case Kind::boolean: return nb::bool_(value.boolean);
        case Kind::integer: return nb::int_(value.integer);
        case Kind::big_integer: {
            PyObject* number = PyLong_FromString(value.text.c_str(), nullptr, value.base);
            if (number == nullptr) throw nb::python_error();
            return nb::steal(number);
        }
        case Kind::real: return nb::float_(value.real);
        case Kind::text: {
            PyObject* text = PyUnicode_DecodeUTF8(value.text.data(), static_cast<Py_ssize_t>(value.text.size()), nullptr);
            if (text == nullptr) throw nb::python_error();
            return nb::steal(text);
        }
        case Kind::list: {
            nb::list items;
            for (const SettingValue& item : value.items) items.append(to_python(item));
            return items;
        }
        case Kind::map: {
            nb::dict entries;
            for (const auto& [key, item] : value.entries) entries[to_python(key)] = to_python(item);
            return entries;
        }
    }
    return nb::none();
}

std::string text_of(nb::handle value) { return nb::str(value).c_str(); }

/// The walk behind getKinraDict: collects, for every module entry whose KinraID matches, the map keys
/// on the path to it and the entry's own keys. Path values are deep-copied once at the end instead of
/// at every level, which keeps the search linear in the size of the tree.
class ModuleSearch {
public:
    explicit ModuleSearch(nb::handle target) : target_(target) {}

    void add_path_entry(nb::handle key, nb::handle value) { path_.emplace_back(nb::borrow(key), nb::borrow(value)); }

    void visit(nb::handle node, std::size_t depth) {
        if (depth > max_search_depth) {
            PyErr_SetString(PyExc_RecursionError, "getKinraDict(): settings nested too deeply to search");
            throw nb::python_error();
        }
        if (PyList_Check(node.ptr())) {
            nb::list items = nb::borrow<nb::list>(node);
            for (std::size_t k = 0; k < items.size(); ++k) visit(nb::object(items[k]), depth + 1);
        } else if (PyDict_Check(node.ptr())) {
            nb::dict map = nb::borrow<nb::dict>(node);
            if (map.contains("KinraID")) {
                if (matches(map["KinraID"])) add_match(map);
                return;
            }
            nb::list items = nb::steal<nb::list>(PyDict_Items(map.ptr()));
            for (nb::handle item : items) {
                nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
                nb::handle value = PyTuple_GET_ITEM(item.ptr(), 1);
                path_.emplace_back(nb::borrow(key), nb::borrow(value));
                visit(value, depth + 1);
                path_.pop_back();
            }
        }
    }

    nb::dict result() {
        nb::object deepcopy = nb::module_::import_("copy").attr("deepcopy");
        for (auto [key, unused] : from_path_) result_[key] = deepcopy(result_[key]);
        return result_;
    }

private:
    bool matches(nb::handle kinra_id) {
        if (!target_int_.is_valid()) {
            target_int_ = nb::steal(PyNumber_Long(target_.ptr()));
            if (!target_int_.is_valid()) throw nb::python_error();
        }
        nb::object id = nb::steal(PyNumber_Long(kinra_id.ptr()));
        if (!id.is_valid()) throw nb::python_error();
        return id.equal(target_int_);
    }

    void add_match(nb::dict module) {
        for (auto& [key, value] : path_) {
            result_[key] = value;
            from_path_[key] = nb::none();
        }
        for (auto [key, value] : module) {
            result_[key] = value;
            if (from_path_.contains(key)) PyDict_DelItem(from_path_.ptr(), key.ptr());
        }
    }

    nb::handle target_;
    nb::object target_int_;
    std::vector<std::pair<nb::object, nb::object>> path_;
    nb::dict result_;
    nb::dict from_path_;  // keys whose value came from the path and is copied at the end
};

}  // namespace

KinraClient::KinraClient(nb::object server_address, nb::object config_file_path)
    : config_fp(std::move(config_file_path)),
      config_data(nb::none()),
      module_data_map(nb::dict()),
      output_start_byte(nb::none()),
      input_start_byte(nb::none()),
      io_slot_order(nb::list()),
      context_(std::make_shared<zmq::context_t>()),
      requests_(context_) {
    set_server_address(std::move(server_address));
}

void KinraClient::set_server_address(nb::object address) {
    const std::string host = text_of(address);
    server_address_ = std::move(address);
    requests_.set_endpoints(tcp_endpoint(host, action_enqueue_req_port), tcp_endpoint(host, logger_req_port));
    // Subscribed from now on, so that the completion of a request sent before its wait begins is kept
    // for that wait. An unusable address is reported by the first wait.
    try {
        hub();
    } catch (const std::exception&) {
    }
}

void KinraClient::load_config() {
    std::string reason;
    try {
        nb::object path = nb::steal(PyOS_FSPath(config_fp.ptr()));
        if (!path.is_valid()) throw nb::python_error();
        config_data = to_python(load_settings(text_of(path)));
        nb::object data = config_data;
        if (PySequence_Contains(data.ptr(), nb::str("xan_handler").ptr()) == 1) {
            nb::object handler = data["xan_handler"];
            if (PySequence_Contains(handler.ptr(), nb::str("server_address").ptr()) == 1) {
                set_server_address(handler["server_address"]);
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return;
    } catch (const SettingsError& e) {
        reason = e.what();
    } catch (nb::python_error& e) {
        // An interrupt (Ctrl-C, or a stop signal the host turned into one) is no reason the file could
        // not be loaded: it goes on to the caller, as every Python error that is not an Exception does.
        if (!e.matches(PyExc_Exception)) throw;
        reason = text_of(e.value());
    }
    print_line("[Warning] Filed to load config file at " + text_of(config_fp) + ", because " + reason);
}

void KinraClient::decode_io_config() {
    nb::object io_list = config_data["xan_handler"]["IOModule"]["Modules"];
    nb::object by_slot = nb::cpp_function([](nb::handle entry) { return nb::object(entry["Slot"]); });
    nb::list sorted = nb::borrow<nb::list>(nb::module_::import_("builtins").attr("sorted")(io_list, "key"_a = by_slot));
    nb::list inputs, outputs, slots;
    nb::object input_offset = nb::int_(0), output_offset = nb::int_(0);
    const nb::int_ zero(0);
    for (nb::handle entry : sorted) {
        nb::object in_bytes = entry["InputBytes"];
        if (in_bytes.equal(zero)) {
            inputs.append(-1);
        } else {
            inputs.append(input_offset);
            input_offset = input_offset + in_bytes;
        }
        nb::object out_bytes = entry["OutputBytes"];
        if (out_bytes.equal(zero)) {
            outputs.append(-1);
        } else {
            outputs.append(output_offset);
            output_offset = output_offset + out_bytes;
        }
        slots.append(entry["Slot"]);
    }
    inputs.append(input_offset);
    outputs.append(output_offset);
    input_start_byte = inputs;
    output_start_byte = outputs;
    io_slot_order = slots;
}

nb::object KinraClient::getKinraDict(nb::handle target_kinra_id) {
    const int cached = PySequence_Contains(module_data_map.ptr(), target_kinra_id.ptr());
    if (cached < 0) throw nb::python_error();
    if (cached == 1) return module_data_map[target_kinra_id];
    nb::dict found = getKinraDictHelper(config_data, target_kinra_id, nb::dict());
    module_data_map[target_kinra_id] = found;
    return found;
}

nb::dict KinraClient::getKinraDictHelper(nb::handle input_data, nb::handle target_kinra_id, nb::handle input_return_dict) {
    ModuleSearch search(target_kinra_id);
    for (auto [key, value] : nb::borrow<nb::dict>(input_return_dict)) search.add_path_entry(key, value);
    search.visit(input_data, 0);
    return search.result();
}

int KinraClient::init_socket(bool reset) {
    std::string error;
    bool ok;
    {
        vemo::GilReleased released;
        ok = requests_.init(reset, error);
    }
    if (!ok) print_line("[Zmq Socket Error] " + error);
    return ok ? 1 : 0;
}

nb::object KinraClient::exchange_failure(const char* tag, const RequestPair::Exchange& exchange) {
    using Outcome = RequestSocket::Outcome;
    if (exchange.outcome == Outcome::abandoned) throw nb::python_error();
    const char* what = exchange.outcome == Outcome::send_failed ? "Failed to send request."
                                                                : "Failed to receive response after request.";
    print_line(std::string("[") + tag + "] Somthing is wrong in the zmqServer. " + what);
    print_line(exchange.error);
    return nb::int_(-3);
}

int KinraClient::enqueue(XANAction& action) {
    if (PyUnicode_Check(action.cmd_id.ptr()) && PyUnicode_GetLength(action.cmd_id.ptr()) == 0) {
        action.cmd_id = nb::str(ids_.next().c_str());
    }
    nb::bytes record = pack_action(action);
    const std::string_view request(record.c_str(), record.size());
    // A completion published before the subscriber is in place would be lost to a later wait.
    std::shared_ptr<CompletionHub> subscriber;
    {
        std::lock_guard lock(hub_mutex_);
        subscriber = hub_;
    }
    if (subscriber && !subscriber->subscribed_or_given_up())
        wait_released([&](std::chrono::milliseconds slice) { return subscriber->wait_subscribed(slice); },
                      Clock::now() + CompletionHub::handshake_grace);
    RequestPair::Exchange exchange;
    {
        AbandonCheck check = signal_check();
        vemo::GilReleased released;
        exchange = requests_.exchange(RequestPair::Channel::action, request, check);
    }
    if (exchange.reset_error) print_line("[Zmq Socket Error] " + *exchange.reset_error);
    if (exchange.outcome != RequestSocket::Outcome::replied) {
        exchange_failure("Enqueue Action Error", exchange);
        return -3;
    }
    nb::list fields = unpack_record(action_layout(), exchange.reply.data(), exchange.reply.size());
    return nb::cast<int>(fields[fields.size() - 1]);
}

nb::object KinraClient::enqueue_action(nb::handle xan_action) { return nb::int_(enqueue(as_action(xan_action))); }

nb::object KinraClient::get_logger(nb::handle kinra_id, nb::handle idx) {
    auto as_int32 = [](nb::handle value, const char* name) {
        nb::object index = nb::steal(PyNumber_Index(value.ptr()));
        if (!index.is_valid()) throw nb::python_error();
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) {
            PyErr_SetString(PyExc_ValueError, (std::string("get_logger(): ") + name + " lies outside the signed 32-bit range").c_str());
            throw nb::python_error();
        }
        return static_cast<std::int32_t>(number);
    };
    std::string request(log_record_size, '\0');
    pack_log(as_int32(kinra_id, "kinra_id"), as_int32(idx, "idx"), "", request.data());
    RequestPair::Exchange exchange;
    {
        AbandonCheck check = signal_check();
        vemo::GilReleased released;
        exchange = requests_.exchange(RequestPair::Channel::log, request, check);
    }
    if (exchange.reset_error) print_line("[Zmq Socket Error] " + *exchange.reset_error);
    if (exchange.outcome != RequestSocket::Outcome::replied) return exchange_failure("Get Logger Error", exchange);
    nb::list fields = unpack_record(log_layout(), exchange.reply.data(), exchange.reply.size());
    return fields[fields.size() - 1];
}

namespace {

/// The awaited identifier and the topics of a wait, as given by a caller; TypeError for anything not str.
std::pair<std::string, std::vector<std::string>> wait_topics(nb::handle target_func_id, nb::handle topic_list) {
    if (!PyUnicode_Check(target_func_id.ptr())) {
        PyErr_SetString(PyExc_TypeError, "target_func_id must be str");
        throw nb::python_error();
    }
    std::vector<std::string> topics;
    if (!topic_list.is_none()) {
        for (nb::handle topic : topic_list) {
            if (!PyUnicode_Check(topic.ptr())) {
                PyErr_SetString(PyExc_TypeError, "topic_list must hold str topics");
                throw nb::python_error();
            }
            topics.emplace_back(nb::borrow<nb::str>(topic).c_str());
        }
    }
    return {nb::borrow<nb::str>(target_func_id).c_str(), std::move(topics)};
}

}  // namespace

std::shared_ptr<CompletionReceiver> make_receiver(std::shared_ptr<zmq::context_t> context, const std::string& endpoint,
                                                  nb::handle target_func_id, nb::handle topic_list) {
    auto [target, topics] = wait_topics(target_func_id, topic_list);
    auto sink = [](const std::string& text) {
        vemo::GilAcquired acquired;
        try {
            print_line("[Error when Receiving]:  " + text);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("kinra_client receive thread");
        }
    };
    return std::make_shared<CompletionReceiver>(std::move(context), endpoint, std::move(target), std::move(topics), sink);
}

namespace {

/// The deadline of a wait given in seconds from now; None waits without limit.
Clock::time_point deadline_after(nb::handle timeout) {
    if (timeout.is_none()) return Clock::time_point::max();
    double seconds = -1;
    if (!PyBool_Check(timeout.ptr())) {
        seconds = PyFloat_AsDouble(timeout.ptr());
        if (seconds == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    if (!std::isfinite(seconds) || seconds < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "receive_dequeue_action(): timeout must be a non-negative number of seconds or None");
        throw nb::python_error();
    }
    const auto now = Clock::now();
    const auto left = std::chrono::duration<double>(seconds);
    if (left >= Clock::time_point::max() - now) return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(left);
}

}  // namespace

std::shared_ptr<CompletionHub> KinraClient::hub() {
    const std::string endpoint = tcp_endpoint(text_of(server_address_), action_dequeue_sub_port);
    std::lock_guard lock(hub_mutex_);
    if (!hub_ || hub_->endpoint() != endpoint) hub_ = std::make_shared<CompletionHub>(context_, endpoint, ids_.prefix());
    return hub_;
}

nb::object KinraClient::receive_dequeue_action(nb::handle action_list, nb::handle target_func_id, nb::handle topic_list,
                                               nb::handle timeout) {
    return wait_for_batch(action_list, target_func_id, topic_list, deadline_after(timeout), false);
}

nb::object KinraClient::wait_for_own(nb::handle action_list, nb::handle target_func_id, nb::handle topic_list) {
    return wait_for_batch(action_list, target_func_id, topic_list, Clock::time_point::max(), true);
}

nb::object KinraClient::wait_for_batch(nb::handle action_list, nb::handle target_func_id, nb::handle topic_list,
                                       Clock::time_point deadline, bool exact) {
    auto [target, topics] = wait_topics(target_func_id, topic_list);
    std::set<std::string> sending;
    for (nb::handle entry : action_list)
        if (is_action(entry) && PyUnicode_Check(as_action(entry).cmd_id.ptr()))
            sending.emplace(nb::borrow<nb::str>(as_action(entry).cmd_id).c_str());

    std::shared_ptr<CompletionHub> subscriber;  // outlives the registration: a cancellation may still reach it
    try {
        subscriber = hub();
    } catch (const std::exception& e) {
        print_line(std::string("[Error when Receiving]:  ") + e.what());
        print_line("[Zmq Recv Error] Somthing is wrong in the zmqServer. Failed to start a recv socket.");
        return nb::int_(-3);
    }
    CompletionHub::Waiter waiter(std::move(target), std::move(topics), exact, std::move(sending));
    WaitRegistry::Registration registration(waits_, waiter);
    subscriber->add(waiter);
    struct RemoveOnExit {
        CompletionHub& hub;
        CompletionHub::Waiter& waiter;
        ~RemoveOnExit() { hub.remove(waiter); }
    } remove_on_exit{*subscriber, waiter};
    const nb::object cancelled = nb::int_(-3);

    // Without a connection after the grace period the requests go out anyway and report the failure.
    wait_released([&](std::chrono::milliseconds slice) { return subscriber->wait_ready(waiter, slice); },
                  Clock::now() + CompletionHub::handshake_grace);
    if (waiter.cancelled()) return cancelled;

    for (nb::handle entry : action_list) {
        if (is_action(entry)) {
            const int result = enqueue(as_action(entry));
            if (waiter.cancelled()) return cancelled;
            if (result != 1) return nb::int_(result);
            continue;
        }
        // A pause entry: ("wait", seconds).
        double seconds;
        try {
            if (!nb::object(entry[0]).equal(nb::str("wait"))) return nb::int_(-2);
            seconds = nb::cast<double>(nb::object(entry[1]));
        } catch (nb::python_error&) {
            return nb::int_(-2);
        } catch (nb::cast_error&) {
            return nb::int_(-2);
        }
        if (!std::isfinite(seconds) || seconds < 0) return nb::int_(-2);
        const auto pause = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        wait_released([&](std::chrono::milliseconds slice) { return waiter.wait_cancelled(slice); }, Clock::now() + pause);
        if (waiter.cancelled()) return cancelled;
    }

    wait_released([&](std::chrono::milliseconds slice) { return waiter.wait_ended(slice); }, deadline);
    if (waiter.cancelled()) return cancelled;
    for (const std::string& error : waiter.errors()) print_line("[Error when Receiving]:  " + error);
    nb::list received;
    nb::object target_result;
    for (const auto& [topic, body] : waiter.messages()) {
        nb::list fields = unpack_record(action_layout(), body.data(), body.size());
        if (topic == waiter.target()) target_result = fields[fields.size() - 1];
        received.append(nb::str(topic.data(), topic.size()));
    }
    if (target_result.is_valid()) return target_result;
    return received;
}

}  // namespace kinra::py
