/* handler/simulator/wire.hpp: turns request records into model calls and model results into records */
#pragma once

#include <string>
#include <string_view>

#include "cell.hpp"

namespace vemo::sim {

/// The outcome of one action request: the reply record, and for a refusal the reason.
struct ActionReply {
    std::string record;  // always 216 bytes
    Verdict verdict;
    Request request;     // as decoded (ids of a malformed record blanked)
};

/// Decodes a request record and submits it. A record of the wrong length or with non-ASCII ids is
/// refused (result 0) without reaching the model; the reply then echoes what could be read.
ActionReply handle_action_record(Cell& cell, std::string_view body, TimePoint now);

/// Answers a log request: the same kinra_id and idx with the value as text (empty when the module
/// has no such item); a request of the wrong length is answered with -1, -1 and an empty text.
std::string handle_log_record(Cell& cell, std::string_view body, TimePoint now);

/// The record published for a finished request: the request with result 1 or 0.
std::string completion_record(const Completion& completion);

}  // namespace vemo::sim
