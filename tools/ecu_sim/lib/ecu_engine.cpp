// The simulated ECUs' state machine: requests in, ISO 15765-2 frames out.
// Pure: no sockets, no clock of its own, so every timing case is testable
// with made-up times.
#include "ecu_answers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t MAX_ISOTP_PAYLOAD = 4095;
constexpr std::size_t MAX_PIDS_PER_REQUEST = 6;
constexpr std::uint8_t NEGATIVE_RESPONSE = 0x7F;

canid_t wire_id(const ecu_profile &profile, canid_t id)
{
    return profile.addressing == ecu_addressing::bits29 ? (id | CAN_EFF_FLAG) : id;
}

// Does the frame carry identifier `id` in the profile's identifier format?
bool frame_has_id(const ecu_profile &profile, const can_frame &frame, canid_t id)
{
    if (frame.can_id & (CAN_ERR_FLAG | CAN_RTR_FLAG))
        return false;
    bool extended = (frame.can_id & CAN_EFF_FLAG) != 0;
    if (profile.addressing == ecu_addressing::bits29)
        return extended && (frame.can_id & CAN_EFF_MASK) == id;
    return !extended && (frame.can_id & CAN_SFF_MASK) == id;
}

std::string node_label(const ecu_engine &engine, std::size_t node)
{
    char text[16];
    canid_t id = engine.profile.ecus[node].response_id;
    std::snprintf(text, sizeof(text), engine.profile.addressing == ecu_addressing::bits29 ? "%08X" : "%03X",
                  id);
    return text;
}

void note(ecu_engine &engine, std::size_t node, const std::string &text)
{
    engine.notes.push_back(node_label(engine, node) + ": " + text);
}

// One frame from the node, padded to 8 bytes with the fill byte when the
// profile pads.
can_frame make_frame(const ecu_engine &engine, std::size_t node, const std::uint8_t *data,
                     std::size_t len)
{
    can_frame frame{};
    frame.can_id = wire_id(engine.profile, engine.profile.ecus[node].response_id);
    std::memcpy(frame.data, data, len);
    if (engine.profile.padding) {
        std::memset(frame.data + len, engine.profile.fill_byte, 8 - len);
        len = 8;
    }
    frame.len = static_cast<std::uint8_t>(len);
    return frame;
}

// STmin byte of a flow-control frame; reserved values count as the longest
// valid time, 127 ms, as ISO 15765-2 asks of a sender.
std::chrono::microseconds decode_st_min(std::uint8_t value)
{
    if (value <= 0x7F)
        return std::chrono::milliseconds(value);
    if (value >= 0xF1 && value <= 0xF9)
        return std::chrono::microseconds((value - 0xF0) * 100);
    return std::chrono::milliseconds(127);
}

bool starts_with(const byte_vector &payload, const byte_vector &prefix)
{
    return !prefix.empty() && prefix.size() <= payload.size() &&
           std::equal(prefix.begin(), prefix.end(), payload.begin());
}

// ---- answers ---------------------------------------------------------------------

// The first rule that holds for `request`: its prefix matches and its
// "times" are not used up (counted here).
const ecu_rule *matching_rule(ecu_engine &engine, std::size_t node, const byte_vector &request, std::size_t &index)
{
    const ecu_node_profile &ecu = engine.profile.ecus[node];
    ecu_node_state &state = engine.nodes[node];
    for (std::size_t i = 0; i < ecu.rules.size(); ++i) {
        const ecu_rule &rule = ecu.rules[i];
        if (!starts_with(request, rule.request))
            continue;
        if (rule.times > 0 && state.rule_uses[i] >= rule.times)
            continue;
        ++state.rule_uses[i];
        index = i;
        return &rule;
    }
    return nullptr;
}

// `matched` says whether a rule decided the answer; `pending_ms` gets the
// matching rule's "response pending" time (its final answer may be the
// built-in one).
std::optional<byte_vector> rule_answer(ecu_engine &engine, std::size_t node, const byte_vector &request,
                                       bool &matched, int &pending_ms)
{
    std::size_t i = 0;
    const ecu_rule *rule = matching_rule(engine, node, request, i);
    matched = rule != nullptr && (rule->silent || rule->nrc != 0 || !rule->responses.empty());
    if (rule != nullptr)
        pending_ms = rule->pending_ms;
    if (!matched || rule->silent)
        return std::nullopt;
    if (rule->nrc != 0)
        return ecu_negative(request[0], rule->nrc);
    std::size_t &cursor = engine.nodes[node].rule_cursor[i];
    const byte_vector &answer = rule->responses[cursor % rule->responses.size()];
    cursor = (cursor + 1) % rule->responses.size();
    return answer;
}

// Bitmap of "supported" numbers (b+1 .. b+0x20) for base `base`, from the
// numbers listed in `keys`. Bit b+0x20 also announces that a later range
// exists. Nullopt when nothing at or above base+1 is listed (range not
// supported), except for base 0 which always answers.
template <class Map>
std::optional<byte_vector> supported_bitmap(const Map &keys, std::uint8_t base)
{
    byte_vector bits(4, 0);
    bool any_above = false;
    for (const auto &entry : keys) {
        unsigned number = entry.first;
        if (number <= base)
            continue;
        any_above = true;
        unsigned bit = std::min(number, base + 0x20u) - base - 1;
        bits[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    }
    if (base != 0 && !any_above)
        return std::nullopt;
    return bits;
}

constexpr std::uint8_t PID_MONITOR_STATUS = 0x01;
constexpr std::uint8_t MAX_DTC_COUNT = 0x7F;

// 41 01 A B C D from the readiness and the stored codes.
byte_vector monitor_status(const ecu_node_profile &ecu)
{
    const ecu_readiness &r = *ecu.readiness;
    const auto count = static_cast<std::uint8_t>(std::min<std::size_t>(ecu.stored_dtcs.size(), MAX_DTC_COUNT));
    const auto a = static_cast<std::uint8_t>((r.mil ? 0x80 : 0x00) | count);
    const auto b = static_cast<std::uint8_t>(r.b | (r.compression ? 0x08 : 0x00));
    return {a, b, r.c, r.d};
}

} // namespace

std::optional<byte_vector> ecu_pid_data(ecu_engine &engine, std::size_t node, std::uint8_t pid)
{
    const ecu_node_profile &ecu = engine.profile.ecus[node];
    auto found = ecu.pids.find(pid);
    if (found != ecu.pids.end() && !found->second.empty()) {
        std::size_t &cursor = engine.nodes[node].pid_cursor[pid];
        const byte_vector &value = found->second[cursor % found->second.size()];
        cursor = (cursor + 1) % found->second.size();
        return value;
    }
    if (pid == PID_MONITOR_STATUS && ecu.readiness)
        return monitor_status(ecu);
    if (pid % 0x20 == 0) {
        std::map<std::uint8_t, bool> listed;
        for (const auto &entry : ecu.pids)
            listed[entry.first] = true;
        if (ecu.readiness)
            listed[PID_MONITOR_STATUS] = true;
        return supported_bitmap(listed, pid);
    }
    return std::nullopt;
}

std::optional<byte_vector> ecu_info_data(const ecu_node_profile &ecu, std::uint8_t info_type)
{
    if (auto found = ecu.info.find(info_type); found != ecu.info.end())
        return found->second;
    if (info_type % 0x20 != 0)
        return std::nullopt;
    return supported_bitmap(ecu.info, info_type);
}

byte_vector ecu_negative(std::uint8_t service, std::uint8_t nrc) { return {NEGATIVE_RESPONSE, service, nrc}; }

namespace {

// Service 02 for frame 0 (02 PID 00): PID 02 is the code that stored the
// frame (00 00 when none), the bitmaps list PID 02 and the frozen PIDs.
std::optional<byte_vector> answer_freeze_frame(const ecu_node_profile &ecu, const byte_vector &request)
{
    constexpr std::uint8_t PID_FRAME_DTC = 0x02;
    if (request.size() < 3 || request[2] != 0)
        return std::nullopt;
    const std::uint8_t pid = request[1];
    const ecu_freeze_frame &frame = ecu.freeze_frame;
    byte_vector answer{0x42, pid, 0x00};
    if (pid == PID_FRAME_DTC) {
        answer.insert(answer.end(), frame.dtc.begin(), frame.dtc.end());
        return answer;
    }
    std::optional<byte_vector> data;
    if (auto found = frame.pids.find(pid); found != frame.pids.end()) {
        data = found->second;
    } else if (pid % 0x20 == 0) {
        std::map<std::uint8_t, bool> listed{{PID_FRAME_DTC, true}};
        for (const auto &entry : frame.pids)
            listed[entry.first] = true;
        data = supported_bitmap(listed, pid);
    }
    if (!data)
        return std::nullopt;
    answer.insert(answer.end(), data->begin(), data->end());
    return answer;
}

// Service 01, up to six PIDs per request; silent when none is supported.
std::optional<byte_vector> answer_current_data(ecu_engine &engine, std::size_t node,
                                               const byte_vector &request)
{
    byte_vector answer{0x41};
    std::size_t count = std::min(request.size() - 1, MAX_PIDS_PER_REQUEST);
    for (std::size_t i = 1; i <= count; ++i) {
        std::optional<byte_vector> data = ecu_pid_data(engine, node, request[i]);
        if (!data)
            continue;
        answer.push_back(request[i]);
        answer.insert(answer.end(), data->begin(), data->end());
    }
    if (answer.size() == 1)
        return std::nullopt;
    return answer;
}

std::optional<byte_vector> answer_trouble_codes(const std::vector<dtc_bytes> &codes, std::uint8_t service)
{
    std::size_t count = std::min<std::size_t>(codes.size(), (MAX_ISOTP_PAYLOAD - 2) / 2);
    byte_vector answer{static_cast<std::uint8_t>(service + 0x40), static_cast<std::uint8_t>(std::min<std::size_t>(count, 255))};
    for (std::size_t i = 0; i < count; ++i)
        answer.insert(answer.end(), codes[i].begin(), codes[i].end());
    return answer;
}

std::optional<byte_vector> answer_vehicle_info(const ecu_node_profile &ecu, const byte_vector &request)
{
    if (request.size() < 2)
        return std::nullopt;
    std::optional<byte_vector> data = ecu_info_data(ecu, request[1]);
    if (!data)
        return std::nullopt;
    byte_vector answer{0x49, request[1]};
    answer.insert(answer.end(), data->begin(), data->end());
    return answer;
}

// Codes, the frame and the MIL go, every supported monitor runs again before
// it reports complete; permanent codes stay, as on a real ECU.
void clear_trouble_codes(ecu_node_profile &ecu)
{
    ecu.stored_dtcs.clear();
    ecu.pending_dtcs.clear();
    ecu.stored_failure_types.clear();
    ecu.pending_failure_types.clear();
    ecu.freeze_frame = ecu_freeze_frame{};
    if (ecu.readiness) {
        ecu_readiness &r = *ecu.readiness;
        r.mil = false;
        r.b = static_cast<std::uint8_t>((r.b & 0x07) | (r.b & 0x07) << 4);
        r.d = r.c;
    }
}

} // namespace

std::optional<byte_vector> ecu_final_clear_answer(ecu_engine &engine, std::size_t node, std::uint8_t service)
{
    ecu_node_profile &ecu = engine.profile.ecus[node];
    switch (ecu.clear_result) {
    case ecu_clear_result::positive:
        clear_trouble_codes(ecu);
        note(engine, node, "trouble codes cleared");
        return byte_vector{static_cast<std::uint8_t>(service + 0x40)};
    case ecu_clear_result::refuse:
        return ecu_negative(service, ecu.clear_nrc);
    case ecu_clear_result::silent:
        break;
    }
    return std::nullopt;
}

std::optional<byte_vector> ecu_clear_answer(ecu_engine &engine, std::size_t node, std::uint8_t service)
{
    ecu_node_state &state = engine.nodes[node];
    if (state.clear_pending_sent < engine.profile.ecus[node].clear_pending_answers) {
        ++state.clear_pending_sent;
        return ecu_negative(service, NRC_RESPONSE_PENDING);
    }
    state.clear_pending_sent = 0;
    return ecu_final_clear_answer(engine, node, service);
}

namespace {

// The answer a node gives, and the "response pending" time of the rule
// that matched (0: none).
std::optional<byte_vector> answer_after_pending(ecu_engine &engine, std::size_t node, const byte_vector &request,
                                                int &pending_ms)
{
    if (node >= engine.nodes.size() || request.empty())
        return std::nullopt;
    bool matched = false;
    std::optional<byte_vector> answer = rule_answer(engine, node, request, matched, pending_ms);
    if (matched)
        return answer;
    if (engine.profile.obd_on_uds)
        return ecu_obd_on_uds_answer(engine, node, request);
    const ecu_node_profile &ecu = engine.profile.ecus[node];
    switch (request[0]) {
    case 0x01:
        return answer_current_data(engine, node, request);
    case 0x02:
        return answer_freeze_frame(ecu, request);
    case 0x03:
        return answer_trouble_codes(ecu.stored_dtcs, 0x03);
    case 0x07:
        return answer_trouble_codes(ecu.pending_dtcs, 0x07);
    case 0x0A:
        return answer_trouble_codes(ecu.permanent_dtcs, 0x0A);
    case 0x04:
        return ecu_clear_answer(engine, node, 0x04);
    case 0x09:
        return answer_vehicle_info(ecu, request);
    default:
        return std::nullopt; // unsupported services stay silent, as on a functional request
    }
}


// ---- queue and transfers -----------------------------------------------------------

int delay_for(const ecu_node_profile &ecu, const byte_vector &request)
{
    std::size_t best_length = 0;
    int delay = ecu.answer_delay_ms;
    for (const ecu_delay &entry : ecu.delays) {
        if (starts_with(request, entry.request) && entry.request.size() > best_length) {
            best_length = entry.request.size();
            delay = entry.delay_ms;
        }
    }
    return delay;
}

void queue_payload(ecu_engine &engine, std::size_t node, byte_vector payload, ecu_time due)
{
    std::deque<ecu_queued_answer> &queue = engine.nodes[node].queue;
    auto later = std::upper_bound(queue.begin(), queue.end(), due,
                                  [](ecu_time t, const ecu_queued_answer &a) { return t < a.due; });
    queue.insert(later, ecu_queued_answer{due, std::move(payload)});
}

// A clear answered "response pending" with the final answer following on its
// own; true when the request was handled that way (or ignored meanwhile).
bool queue_deferred_clear(ecu_engine &engine, std::size_t node, const byte_vector &request, ecu_time now)
{
    const ecu_node_profile &ecu = engine.profile.ecus[node];
    const bool uds = engine.profile.obd_on_uds;
    const std::uint8_t service = uds ? 0x14 : 0x04;
    if (ecu.clear_final_after_ms <= 0 || (uds ? !ecu_is_obd_on_uds_clear(request) : request[0] != 0x04))
        return false;
    ecu_node_state &state = engine.nodes[node];
    if (now < state.clear_final_due) {
        note(engine, node, "clear request while clearing ignored");
        return true;
    }
    const ecu_time pending_due = now + std::chrono::milliseconds(delay_for(ecu, request));
    state.clear_final_due = pending_due + std::chrono::milliseconds(ecu.clear_final_after_ms);
    queue_payload(engine, node, ecu_negative(service, NRC_RESPONSE_PENDING), pending_due);
    if (std::optional<byte_vector> final_answer = ecu_final_clear_answer(engine, node, service))
        queue_payload(engine, node, std::move(*final_answer), state.clear_final_due);
    return true;
}

void queue_answer(ecu_engine &engine, std::size_t node, const byte_vector &request, ecu_time now)
{
    if (!request.empty() && queue_deferred_clear(engine, node, request, now))
        return;
    int pending_ms = 0;
    std::optional<byte_vector> answer = answer_after_pending(engine, node, request, pending_ms);
    if (!answer || answer->empty())
        return;
    if (answer->size() > MAX_ISOTP_PAYLOAD) {
        note(engine, node, "answer longer than 4095 bytes dropped");
        return;
    }
    ecu_time due = now + std::chrono::milliseconds(delay_for(engine.profile.ecus[node], request));
    if (pending_ms > 0) {
        queue_payload(engine, node, ecu_negative(request[0], NRC_RESPONSE_PENDING), due);
        due += std::chrono::milliseconds(pending_ms);
    }
    queue_payload(engine, node, std::move(*answer), due);
}

void wait_for_flow_control(ecu_engine &engine, ecu_transfer &transfer, ecu_time now)
{
    transfer.state = ecu_transfer::phase::wait_fc;
    transfer.deadline = now + std::chrono::milliseconds(engine.profile.fc_timeout_ms);
}

// Single frame, or first frame followed by a wait for flow control.
void start_transfer(ecu_engine &engine, std::size_t node, byte_vector payload, ecu_time now,
                    std::vector<can_frame> &out)
{
    std::uint8_t data[8];
    std::size_t size = payload.size();
    if (size <= 7) {
        data[0] = static_cast<std::uint8_t>(size);
        std::memcpy(data + 1, payload.data(), size);
        out.push_back(make_frame(engine, node, data, size + 1));
        return;
    }
    data[0] = static_cast<std::uint8_t>(0x10 | (size >> 8));
    data[1] = static_cast<std::uint8_t>(size & 0xFF);
    std::memcpy(data + 2, payload.data(), 6);
    out.push_back(make_frame(engine, node, data, 8));
    ecu_transfer &transfer = engine.nodes[node].transfer;
    transfer = ecu_transfer{};
    transfer.payload = std::move(payload);
    transfer.offset = 6;
    transfer.next_sn = 1;
    wait_for_flow_control(engine, transfer, now);
}

void send_consecutive_frame(ecu_engine &engine, std::size_t node, ecu_time now, std::vector<can_frame> &out)
{
    ecu_transfer &transfer = engine.nodes[node].transfer;
    std::size_t count = std::min<std::size_t>(7, transfer.payload.size() - transfer.offset);
    std::uint8_t data[8];
    data[0] = static_cast<std::uint8_t>(0x20 | transfer.next_sn);
    std::memcpy(data + 1, transfer.payload.data() + transfer.offset, count);
    out.push_back(make_frame(engine, node, data, count + 1));
    transfer.offset += count;
    transfer.next_sn = (transfer.next_sn + 1) & 0x0F;
    if (transfer.offset >= transfer.payload.size()) {
        transfer = ecu_transfer{};
        return;
    }
    if (transfer.block_left > 0 && --transfer.block_left == 0) {
        wait_for_flow_control(engine, transfer, now);
        return;
    }
    transfer.deadline = now + transfer.st_min;
}

// One due action of a node; false when nothing is due at `now`.
bool step_node(ecu_engine &engine, std::size_t node, ecu_time now, std::vector<can_frame> &out)
{
    ecu_node_state &state = engine.nodes[node];
    ecu_transfer &transfer = state.transfer;
    switch (transfer.state) {
    case ecu_transfer::phase::wait_fc:
        if (now < transfer.deadline)
            return false;
        note(engine, node, "no flow control in time, transfer of " + std::to_string(transfer.payload.size()) +
                               " bytes dropped");
        transfer = ecu_transfer{};
        return true;
    case ecu_transfer::phase::sending:
        if (now < transfer.deadline)
            return false;
        send_consecutive_frame(engine, node, now, out);
        return true;
    case ecu_transfer::phase::idle:
        if (state.queue.empty() || now < state.queue.front().due)
            return false;
        byte_vector payload = std::move(state.queue.front().payload);
        state.queue.pop_front();
        start_transfer(engine, node, std::move(payload), now, out);
        return true;
    }
    return false;
}

void drop_transfer(ecu_engine &engine, std::size_t node, const std::string &why)
{
    note(engine, node, why + ", transfer dropped");
    engine.nodes[node].transfer = ecu_transfer{};
}

void handle_flow_control(ecu_engine &engine, std::size_t node, const can_frame &frame, ecu_time now)
{
    ecu_transfer &transfer = engine.nodes[node].transfer;
    if (transfer.state != ecu_transfer::phase::wait_fc || frame.len < 3)
        return; // ISO 15765-2: an unexpected flow control is ignored
    switch (frame.data[0] & 0x0F) {
    case 0: // continue to send: the first consecutive frame goes at once
        transfer.state = ecu_transfer::phase::sending;
        transfer.block_left = frame.data[1];
        transfer.st_min = decode_st_min(frame.data[2]);
        transfer.fc_waits = 0;
        transfer.deadline = now;
        break;
    case 1:
        if (++transfer.fc_waits > engine.profile.max_fc_waits) {
            drop_transfer(engine, node, "too many flow-control waits");
            break;
        }
        wait_for_flow_control(engine, transfer, now);
        break;
    case 2:
        drop_transfer(engine, node, "tester reported overflow");
        break;
    default:
        drop_transfer(engine, node, "invalid flow status");
        break;
    }
}

void handle_request(ecu_engine &engine, std::size_t node, const byte_vector &request, ecu_time now)
{
    ecu_transfer &transfer = engine.nodes[node].transfer;
    if (transfer.state != ecu_transfer::phase::idle)
        drop_transfer(engine, node, "new request");
    queue_answer(engine, node, request, now);
}

} // namespace

void ecu_engine_reset(ecu_engine &engine, const ecu_profile &profile)
{
    engine.profile = profile;
    engine.nodes.assign(profile.ecus.size(), ecu_node_state{});
    for (std::size_t i = 0; i < profile.ecus.size(); ++i) {
        engine.nodes[i].rule_cursor.assign(profile.ecus[i].rules.size(), 0);
        engine.nodes[i].rule_uses.assign(profile.ecus[i].rules.size(), 0);
    }
    engine.notes.clear();
}

void ecu_engine_abort_transfers(ecu_engine &engine)
{
    for (ecu_node_state &state : engine.nodes) {
        state.transfer = ecu_transfer{};
        state.queue.clear();
    }
}


std::optional<byte_vector> ecu_engine_answer(ecu_engine &engine, std::size_t node, const byte_vector &request)
{
    int pending_ms = 0;
    return answer_after_pending(engine, node, request, pending_ms);
}

void ecu_engine_receive_frame(ecu_engine &engine, const can_frame &frame, ecu_time now,
                              std::vector<can_frame> &out)
{
    if (frame.len > CAN_MAX_DLEN || frame.len == 0)
        return;
    byte_vector request;
    bool single = ecu_single_frame_payload(frame, request);
    bool functional = frame_has_id(engine.profile, frame, engine.profile.functional_id);
    for (std::size_t node = 0; node < engine.nodes.size(); ++node) {
        bool physical = frame_has_id(engine.profile, frame, engine.profile.ecus[node].physical_id);
        if (physical && (frame.data[0] & 0xF0) == 0x30)
            handle_flow_control(engine, node, frame, now);
        else if ((functional || physical) && single)
            handle_request(engine, node, request, now);
    }
    ecu_engine_advance(engine, now, out);
}

void ecu_engine_advance(ecu_engine &engine, ecu_time now, std::vector<can_frame> &out)
{
    for (std::size_t node = 0; node < engine.nodes.size(); ++node) {
        while (step_node(engine, node, now, out)) {
        }
    }
}

std::optional<ecu_time> ecu_engine_next_deadline(const ecu_engine &engine)
{
    std::optional<ecu_time> next;
    auto consider = [&next](ecu_time t) {
        if (!next || t < *next)
            next = t;
    };
    for (const ecu_node_state &state : engine.nodes) {
        if (state.transfer.state != ecu_transfer::phase::idle)
            consider(state.transfer.deadline);
        else if (!state.queue.empty())
            consider(state.queue.front().due);
    }
    return next;
}

void ecu_engine_receive_payload(ecu_engine &engine, std::size_t node, const byte_vector &request, ecu_time now)
{
    if (node < engine.nodes.size())
        queue_answer(engine, node, request, now);
}

void ecu_engine_take_payloads(ecu_engine &engine, ecu_time now, std::vector<ecu_payload_out> &out)
{
    for (std::size_t node = 0; node < engine.nodes.size(); ++node) {
        std::deque<ecu_queued_answer> &queue = engine.nodes[node].queue;
        while (!queue.empty() && queue.front().due <= now) {
            out.push_back(ecu_payload_out{node, std::move(queue.front().payload)});
            queue.pop_front();
        }
    }
}
