/* handler/py_client.hpp: the Python-facing objects of kinra_client: XANAction, KinraClient, RecvTread */
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <vector>

#include "command_ids.hpp"
#include "completion_hub.hpp"
#include "receiver.hpp"
#include "protocol.hpp"
#include "record_codec.hpp"
#include "transport.hpp"
#include "wait_registry.hpp"

namespace kinra::py {

namespace nb = nanobind;

using protocol::blank_condition;
using protocol::condition_start;
inline constexpr int each_kinra_condition_num = protocol::codes_per_module;
inline constexpr int admin_festo_state_spawned = protocol::festo_spawned;
inline constexpr int admin_akribis_state_spawned = protocol::akribis_spawned;

/// The enumeration classes created at import, kept for lookups by member name.
struct Enumerations {
    nb::handle festo_function;
    nb::handle akribis_function;
    nb::handle data_index;
    nb::handle condition;
};
Enumerations& enumerations();

/// An absent (None) list argument becomes a new empty list; anything else is used as given.
inline nb::object new_list_if_none(nb::handle value) {
    return value.is_none() ? nb::object(nb::list()) : nb::borrow(value);
}

/// `enum_class[name]`: raises KeyError for a name that is no member.
nb::object enum_value(nb::handle enum_class, nb::handle name);

/// One action request before packing; the lists are kept as given (not copied).
struct XANAction {
    nb::object module_id;
    nb::object func_id;
    nb::object arg_list;
    nb::object dep_list;
    nb::object cmd_id;

    /// Python objects held, for the garbage collector.
    template <class Visit>
    void for_each_object(Visit&& visit) {
        visit(module_id);
        visit(func_id);
        visit(arg_list);
        visit(dep_list);
        visit(cmd_id);
    }
};

/// The 216-byte action record of `action` as Python bytes; raises on values that cannot be packed.
nb::bytes pack_action(const XANAction& action);

/// Decodes `data` by a layout text into a list of int and str; raises ValueError or UnicodeDecodeError.
nb::list unpack_record(const Layout& layout, const char* data, std::size_t size);
nb::list unpack_struct_helper(const std::string& datatype, nb::handle data);

nb::object new_action(nb::handle module_id, nb::handle func_id, nb::handle arg_list, nb::handle dep_list, nb::handle cmd_id);
bool is_action(nb::handle object);
XANAction& as_action(nb::handle object);

/// The ZeroMQ context of a client, shared with its receive threads.
struct ContextHandle {
    std::shared_ptr<zmq::context_t> context;
};

struct RecvTread {
    std::shared_ptr<CompletionReceiver> receiver;
    nb::object ctx, server_address, server_port, target_func_id, topic_list;

    /// Python objects held, for the garbage collector.
    template <class Visit>
    void for_each_object(Visit&& visit) {
        visit(ctx);
        visit(server_address);
        visit(server_port);
        visit(target_func_id);
        visit(topic_list);
    }
};

/// Builds the receiver of one batch; its failures are printed as "[Error when Receiving]: " lines.
std::shared_ptr<CompletionReceiver> make_receiver(std::shared_ptr<zmq::context_t> context, const std::string& endpoint,
                                                  nb::handle target_func_id, nb::handle topic_list);

class KinraClient {
public:
    static constexpr int action_dequeue_sub_port = 5001;
    static constexpr int action_enqueue_req_port = 5002;
    static constexpr int logger_req_port = 5003;

    KinraClient(nb::object server_address, nb::object config_fp);

    // Configuration and connection.
    void load_config();
    void decode_io_config();
    nb::object getKinraDict(nb::handle target_kinra_id);
    nb::dict getKinraDictHelper(nb::handle input_data, nb::handle target_kinra_id, nb::handle input_return_dict);
    int init_socket(bool reset);
    std::string generate_func_id() { return ids_.next(); }

    // Traffic.
    nb::object enqueue_action(nb::handle xan_action);
    int enqueue(XANAction& action);
    nb::object get_logger(nb::handle kinra_id, nb::handle idx);
    /// Sends the batch and waits for the target's published result; `timeout` (seconds, or None for no
    /// limit) bounds the wait, which then ends as one without the result does. -3 when cancelled.
    nb::object receive_dequeue_action(nb::handle action_list, nb::handle target_func_id, nb::handle topic_list,
                                      nb::handle timeout);
    /// receive_dequeue_action for the client's own waiting commands: a completion counts only when its
    /// identifier equals one of `topic_list`, so another request's identifier that merely starts with
    /// the awaited one (…-12 and …-120) neither joins the result nor starts the quiet period.
    nb::object wait_for_own(nb::handle action_list, nb::handle target_func_id, nb::handle topic_list);
    /// Ends every wait in progress on this client; those calls return -3. Returns how many there were.
    std::size_t cancel_waits() noexcept { return waits_.cancel_all(); }

    // Conditions.
    nb::object generate_condition(nb::handle kinra_id, nb::handle func_id, nb::handle condition_type_name,
                                  nb::handle arg_list, nb::handle dep_list);
    nb::object generate_condition_and_send(nb::handle kinra_id, nb::handle func_id, nb::handle condition_type_name,
                                           nb::handle arg_list, nb::handle dep_list, bool block);

    // Motor and IO commands.
    static bool check_motor_helper(nb::handle motor_data);
    static bool check_io_helper(nb::handle io_data);
    nb::object generate_motor_action(nb::handle kinra_id, nb::handle func_enum_name, nb::handle arg_list, nb::handle dep_list);
    nb::object motor_action_template(nb::handle kinra_id, nb::handle func_enum_name, nb::handle arg_list,
                                     nb::handle dep_list, bool block);
    nb::object simple_motor_command(const char* name, nb::handle kinra_id, nb::handle dep_list, bool return_action);
    nb::object motor_move(const char* name, nb::handle kinra_id, nb::handle target, nb::handle vel, nb::handle acc,
                          nb::handle deacc, nb::handle dep_list, bool block, bool return_action);
    nb::object motor_home(nb::handle kinra_id, nb::handle homing_method, nb::handle dep_list, bool block, bool return_action);
    nb::object motor_monitor(nb::handle kinra_id);
    nb::object io_set(nb::handle kinra_id, nb::handle tgtpin, nb::handle tgtval, nb::handle dep_list, bool block,
                      bool return_action);
    nb::object io_monitor(nb::handle kinra_id, nb::handle datatype);

    // Composite motions.
    bool move_and_check(nb::handle motor_list, nb::handle target_position, nb::handle speed, nb::handle accel,
                        nb::handle decel, nb::handle tol);
    bool axis_homing(nb::handle motor_list, nb::handle homing_method_list);

    nb::object server_address() const { return server_address_; }
    void set_server_address(nb::object address);
    bool action_req_socket_status() const { return requests_.status(RequestPair::Channel::action); }
    bool logger_req_socket_status() const { return requests_.status(RequestPair::Channel::log); }
    const std::shared_ptr<zmq::context_t>& context() const { return context_; }
    CommandIds& ids() { return ids_; }

    nb::object config_fp;
    nb::object config_data;
    nb::object module_data_map;
    nb::object output_start_byte;
    nb::object input_start_byte;
    nb::object io_slot_order;  // Slot values in slot order, to find a module's place among the IO modules

    /// Python objects held, for the garbage collector.
    template <class Visit>
    void for_each_object(Visit&& visit) {
        visit(server_address_);
        visit(config_fp);
        visit(config_data);
        visit(module_data_map);
        visit(output_start_byte);
        visit(input_start_byte);
        visit(io_slot_order);
    }

private:
    nb::object exchange_failure(const char* tag, const RequestPair::Exchange& exchange);
    nb::object send_or_wait(nb::handle action, bool block);
    nb::object wait_for_batch(nb::handle action_list, nb::handle target_func_id, nb::handle topic_list,
                              std::chrono::steady_clock::time_point deadline, bool exact);
    /// The completion subscriber for the current server address, made on first use.
    std::shared_ptr<CompletionHub> hub();

    nb::object server_address_;
    std::shared_ptr<zmq::context_t> context_;
    RequestPair requests_;
    CommandIds ids_;
    WaitRegistry waits_;
    std::mutex hub_mutex_;
    std::shared_ptr<CompletionHub> hub_;
};

}  // namespace kinra::py
