/* handler/simulator/wire.cpp: turns request records into model calls and model results into records */
#include "wire.hpp"

#include <variant>

#include "record_codec.hpp"

namespace vemo::sim {

namespace {

std::string pack(const Request& r, std::int32_t result) {
    kinra::ActionFields fields;
    fields.head[0] = r.module_id;
    fields.head[1] = r.func_id;
    for (std::size_t i = 0; i < r.args.size(); ++i) fields.head[i + 2] = r.args[i];
    fields.cmd_id = r.cmd_id;
    for (std::size_t i = 0; i < r.dependencies.size(); ++i) fields.dependencies[i] = r.dependencies[i];
    fields.result = result;
    std::string out(kinra::action_record_size, '\0');
    kinra::pack_action(fields, out.data());
    return out;
}

/// Decodes an action record, blanking every text field that holds a byte above 127.
/// Returns whether the record was clean.
bool decode_request(std::string_view body, Request& out) {
    std::string copy(body);
    bool clean = true;
    for (std::size_t attempt = 0; attempt <= kinra::action_dependency_count + 1; ++attempt) {
        try {
            const auto fields = kinra::decode(kinra::action_layout(), copy);
            out.module_id = std::get<std::int32_t>(fields[0]);
            out.func_id = std::get<std::int32_t>(fields[1]);
            for (std::size_t i = 0; i < out.args.size(); ++i) out.args[i] = std::get<std::int32_t>(fields[i + 2]);
            out.cmd_id = std::get<std::string>(fields[8]);
            for (std::size_t i = 0; i < out.dependencies.size(); ++i)
                out.dependencies[i] = std::get<std::string>(fields[9 + i]);
            return clean;
        } catch (const kinra::DecodeError& e) {
            if (e.kind != kinra::DecodeError::Kind::non_ascii) throw;
            clean = false;
            copy.replace(e.field_offset, kinra::id_field_width, kinra::id_field_width, '\0');
        }
    }
    return false;
}

}  // namespace

ActionReply handle_action_record(Cell& cell, std::string_view body, TimePoint now) {
    ActionReply reply;
    if (body.size() != kinra::action_record_size) {
        reply.request.module_id = reply.request.func_id = -1;
        reply.verdict = {false, "action record of " + std::to_string(body.size()) + " bytes, not 216"};
    } else if (!decode_request(body, reply.request)) {
        reply.verdict = {false, "non-ASCII bytes in an identifier"};
    } else {
        reply.verdict = cell.submit(reply.request, now);
    }
    reply.record = pack(reply.request, reply.verdict.accepted ? 1 : 0);
    return reply;
}

std::string handle_log_record(Cell& cell, std::string_view body, TimePoint now) {
    std::int32_t kinra_id = -1, idx = -1;
    std::string text;
    if (body.size() == kinra::log_record_size) {
        try {
            const auto fields = kinra::decode(kinra::log_layout(), body);
            kinra_id = std::get<std::int32_t>(fields[0]);
            idx = std::get<std::int32_t>(fields[1]);
            text = cell.read(kinra_id, idx, now).value_or("");
        } catch (const kinra::DecodeError&) {
            kinra_id = idx = -1;  // a request's text must be empty; anything else is not a request
        }
    }
    std::string out(kinra::log_record_size, '\0');
    kinra::pack_log(kinra_id, idx, text, out.data());
    return out;
}

std::string completion_record(const Completion& c) { return pack(c.request, c.ok ? 1 : 0); }

}  // namespace vemo::sim
