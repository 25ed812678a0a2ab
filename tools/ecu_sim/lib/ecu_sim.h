// ECU simulator: answers OBD-II requests on a CAN bus like one or more real
// engine control units, from a vehicle profile (JSON), through the classic
// OBD services or, for an "obd_on_uds" profile, through UDS services.
//
// Three layers, each usable on its own:
//   profile  ecu_profile, loaded from JSON (see configs/vehicles/*.json)
//   engine   ecu_engine: pure state machine, tester frames in, ECU frames
//            out, the clock passed in by the caller (unit tests drive it
//            with made-up times)
//   server   ecu_sim: a background thread serving the engine on the host
//            simulation's Unix socket or on a SocketCAN interface, with
//            runtime controls (unplug, another vehicle, injected frames) and
//            a log of every frame the tester sent
//
// Everything here is independent of the daemon's own code.
#pragma once

#include <linux/can.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using byte_vector = std::vector<std::uint8_t>;

// ---- profile -------------------------------------------------------------------

enum class ecu_addressing : std::uint8_t { bits11, bits29 };

// What a clear request (service 04) finally gets, after the configured number
// of "response pending" (7F 04 78) answers.
enum class ecu_clear_result : std::uint8_t { positive, refuse, silent };

// A canned answer, matched by request prefix (service byte first): "01 0C"
// matches every request whose payload starts with 01 0C. Checked before the
// built-in services; the first matching rule wins.
struct ecu_rule {
    byte_vector request;                 // prefix of the request payload
    std::vector<byte_vector> responses;  // answer payloads, cycled per request
    std::uint8_t nrc = 0;                // non-zero: answer 7F <service> <nrc>
    bool silent = false;                 // answer nothing
    // > 0: answer 7F <service> 78 first and the final answer (the rule's, or
    // the built-in one when the rule gives none) this many ms later.
    int pending_ms = 0;
    // > 0: the rule holds for this many matching requests, then no more.
    int times = 0;
};

// Holds back answers to matching requests (longest prefix wins).
struct ecu_delay {
    byte_vector request;
    int delay_ms = 0;
};

using dtc_bytes = std::array<std::uint8_t, 2>;

// Service 01 PID 01, when "pids" does not give it: the monitors' readiness
// as bytes B, C and D hold it; byte A (MIL, count of confirmed codes) comes
// from `mil` and the stored codes. A clear makes every supported monitor
// incomplete and turns the MIL off, as on a real ECU.
struct ecu_readiness {
    bool compression = false;  // B bit 3
    bool mil = false;
    std::uint8_t b = 0;        // bits 0-2 supported, 4-6 incomplete
    std::uint8_t c = 0;        // supported
    std::uint8_t d = 0;        // incomplete
};

// Service 02, frame 0: the code that stored it (00 00: none) and the PIDs
// frozen with it (data bytes behind 42 <PID> 00). A clear erases it.
// OBD on UDS: the DTC snapshot of that code (none without a code), its
// number `record` and the frozen PIDs as F4xx identifiers.
struct ecu_freeze_frame {
    dtc_bytes dtc{};
    std::uint8_t failure_type = 0;
    std::uint8_t record = 0;
    std::map<std::uint8_t, byte_vector> pids;
};

struct ecu_node_profile {
    std::string name;
    canid_t response_id = 0;  // identifier of its answers (no CAN_EFF_FLAG)
    canid_t physical_id = 0;  // its physical request / flow-control identifier
    // Service 01: PID -> data bytes behind 41 <PID>, cycled one per request.
    // Bitmap PIDs (00, 20, ... E0) not listed here are computed from the list.
    std::map<std::uint8_t, std::vector<byte_vector>> pids;
    // Service 09: InfoType -> bytes behind 49 <InfoType>, item count first
    // (the loader adds 0x01 for "vin", "calibration_id", "cvn", "ecu_name").
    // InfoType 00 is computed when not listed.
    std::map<std::uint8_t, byte_vector> info;
    std::vector<dtc_bytes> stored_dtcs;     // service 03
    std::vector<dtc_bytes> pending_dtcs;    // service 07
    std::vector<dtc_bytes> permanent_dtcs;  // service 0A
    // OBD on UDS: the failure-type byte of each code above, index by index
    // (00 where the list is shorter).
    std::vector<std::uint8_t> stored_failure_types;
    std::vector<std::uint8_t> pending_failure_types;
    std::vector<std::uint8_t> permanent_failure_types;
    std::optional<ecu_readiness> readiness; // service 01 PID 01
    ecu_freeze_frame freeze_frame;          // service 02
    int clear_pending_answers = 0;          // 7F 04 78 (7F 14 78) answers before the final one
    // > 0: one 7F 04 78, then the final answer this many ms later on its own,
    // as ISO 14229 has it; a 04 arriving meanwhile is ignored, a later one
    // starts a new clear. clear_pending_answers is not used then.
    int clear_final_after_ms = 0;
    ecu_clear_result clear_result = ecu_clear_result::positive;
    std::uint8_t clear_nrc = 0x22;          // for ecu_clear_result::refuse
    std::vector<ecu_rule> rules;
    int answer_delay_ms = 0;            // every answer, unless a delay below matches
    std::vector<ecu_delay> delays;
};

struct ecu_profile {
    std::string name;
    ecu_addressing addressing = ecu_addressing::bits11;
    canid_t functional_id = 0x7DF;  // 0x18DB33F1 for 29-bit
    std::uint8_t fill_byte = 0x55;
    bool padding = true;            // false: frames only as long as their data
    int fc_timeout_ms = 1000;       // N_Bs: wait for the tester's flow control
    int max_fc_waits = 10;          // FC "wait" frames accepted per transfer
    // OBD on UDS: silent to the classic services, the same data through
    // 22 F4xx / F8xx, 19 42 / 55 / 03 / 04 and 14 FF FF 33 instead.
    bool obd_on_uds = false;
    bool info_item_count = false;   // OBD on UDS: F8xx data starts with the item count
    std::vector<ecu_node_profile> ecus;
};

// Loads a profile. On failure returns false with a one-line reason in `error`
// (naming the member at fault) and leaves `out` unspecified.
bool ecu_profile_from_json(const std::string &text, ecu_profile &out, std::string &error);
bool ecu_profile_from_file(const std::string &path, ecu_profile &out, std::string &error);

// "P0133" -> {0x01, 0x33}, "U0100" -> {0xC1, 0x00}. False for anything else.
bool ecu_dtc_from_text(const std::string &text, dtc_bytes &out);

// ---- engine --------------------------------------------------------------------

using ecu_clock = std::chrono::steady_clock;
using ecu_time = ecu_clock::time_point;

// One ISO-TP transmission of one node (at most one at a time).
struct ecu_transfer {
    enum class phase : std::uint8_t { idle, wait_fc, sending };
    phase state = phase::idle;
    byte_vector payload;
    std::size_t offset = 0;        // payload bytes already sent
    std::uint8_t next_sn = 1;
    int block_left = 0;            // CFs left in this block, 0 = no limit
    std::chrono::microseconds st_min{0};
    int fc_waits = 0;
    ecu_time deadline{};           // FC timeout (wait_fc) or next CF (sending)
};

struct ecu_queued_answer {
    ecu_time due;
    byte_vector payload;
};

struct ecu_node_state {
    ecu_transfer transfer;
    std::deque<ecu_queued_answer> queue;   // answers not yet started, by due time
    std::map<std::uint8_t, std::size_t> pid_cursor;
    std::vector<std::size_t> rule_cursor;  // one per rule
    std::vector<int> rule_uses;            // one per rule: matching requests it answered
    int clear_pending_sent = 0;
    ecu_time clear_final_due{};            // deferred clear: when its final answer goes out
};

// The engine owns a copy of the profile; clearing trouble codes changes it.
struct ecu_engine {
    ecu_profile profile;
    std::vector<ecu_node_state> nodes;     // one per profile.ecus entry
    std::vector<std::string> notes;        // happenings worth a log line
};

// Answers of the kernel ISO-TP mode: whole payloads, the kernel segments.
struct ecu_payload_out {
    std::size_t node;
    byte_vector payload;
};

// Starts afresh with `profile` (all transfers and queued answers dropped).
void ecu_engine_reset(ecu_engine &engine, const ecu_profile &profile);
// Drops transfers and queued answers, keeps the stored data (unplugging).
void ecu_engine_abort_transfers(ecu_engine &engine);

// A frame the tester put on the bus. Requests (to the functional or a
// physical id) are answered, flow-control frames drive transmissions; frames
// due at once are appended to `out`.
void ecu_engine_receive_frame(ecu_engine &engine, const can_frame &frame, ecu_time now,
                              std::vector<can_frame> &out);
// Appends every frame due at `now` (consecutive frames, delayed answers) and
// drops transfers whose flow control did not come in time.
void ecu_engine_advance(ecu_engine &engine, ecu_time now, std::vector<can_frame> &out);
// When ecu_engine_advance has something to do next; nullopt when nothing.
std::optional<ecu_time> ecu_engine_next_deadline(const ecu_engine &engine);

// Kernel ISO-TP mode: a whole request payload received by `node`; answers
// come out of ecu_engine_take_payloads when due.
void ecu_engine_receive_payload(ecu_engine &engine, std::size_t node, const byte_vector &request,
                                ecu_time now);
void ecu_engine_take_payloads(ecu_engine &engine, ecu_time now, std::vector<ecu_payload_out> &out);

// The answer payload a node gives to a request, nullopt for silence. Advances
// value cycles and the clear sequence; clears trouble codes on success.
std::optional<byte_vector> ecu_engine_answer(ecu_engine &engine, std::size_t node,
                                             const byte_vector &request);

// ---- frame helpers ---------------------------------------------------------------

// Payload of a single frame (PCI 0x01..0x07 fitting the frame's length);
// false for anything else.
bool ecu_single_frame_payload(const can_frame &frame, byte_vector &payload);
// "7DF [8] 02 01 0C 55 55 55 55 55" (29-bit ids with 8 digits, "ERR" flag noted).
std::string ecu_describe_frame(const can_frame &frame);
// "01 0C ENGRPM", "09 02 VIN", "04 CLEAR" ...; "" when not a request.
std::string ecu_describe_request(const byte_vector &payload);

// ---- server --------------------------------------------------------------------

struct ecu_sim_options {
    bool kernel_isotp = false;  // SocketCAN only: answers through CAN_ISOTP sockets
    // One line per request received and per notable event; null = quiet.
    // Called on the simulator's thread with its lock held: it must not call
    // back into ecu_sim_*.
    std::function<void(const std::string &line)> log;
    bool log_tx = false;        // also log every frame the ECUs send
};

struct ecu_sim_record {
    ecu_time time;
    bool from_tester;  // false: sent by the simulated ECUs (or injected)
    can_frame frame;
};

struct ecu_sim;  // a running simulator
void ecu_sim_stop(ecu_sim *sim);  // stops the thread, closes and removes the socket
struct ecu_sim_deleter {
    void operator()(ecu_sim *sim) const { ecu_sim_stop(sim); }
};
using ecu_sim_ptr = std::unique_ptr<ecu_sim, ecu_sim_deleter>;

// Listens on an AF_UNIX SOCK_SEQPACKET socket at `socket_path` (a stale file
// there is removed) and serves every client that connects. Null with a
// reason in `error` on failure.
ecu_sim_ptr ecu_sim_start_unix(const ecu_profile &profile, const std::string &socket_path,
                               const ecu_sim_options &options, std::string &error);
// Raw CAN socket (or CAN_ISOTP sockets) on interface `ifname`.
ecu_sim_ptr ecu_sim_start_socketcan(const ecu_profile &profile, const std::string &ifname,
                                    const ecu_sim_options &options, std::string &error);

// Unplugged: requests are still logged but nothing is answered, and
// transfers in progress are dropped.
void ecu_sim_set_connected(ecu_sim &sim, bool connected);
bool ecu_sim_is_connected(ecu_sim &sim);
// Another vehicle: the new profile replaces the old one at once.
void ecu_sim_set_profile(ecu_sim &sim, const ecu_profile &profile);
// The profile as the ECUs hold it now (trouble codes gone after a clear).
ecu_profile ecu_sim_profile(ecu_sim &sim);

// Puts a frame on the bus as if an ECU sent it, whatever it holds (DLC 0 or
// above 8, error frames, stray ids). Clients receive it if their filter (or,
// for error frames, their error mask) passes it, or always with
// `bypass_filters`. False when not a single client got it.
bool ecu_sim_inject_frame(ecu_sim &sim, const can_frame &frame, bool bypass_filters = false);
// Unix backend only: a record of any size, as is, to every client.
bool ecu_sim_inject_record(ecu_sim &sim, const void *data, std::size_t size);

// Every frame the tester sent, oldest first, with its arrival time.
std::vector<ecu_sim_record> ecu_sim_requests(ecu_sim &sim);
// Both directions, oldest first.
std::vector<ecu_sim_record> ecu_sim_bus_log(ecu_sim &sim);
void ecu_sim_clear_log(ecu_sim &sim);
// Waits until at least `count` tester frames are logged. False on timeout.
bool ecu_sim_wait_for_requests(ecu_sim &sim, std::size_t count, std::chrono::milliseconds timeout);
// Waits until `done` holds for the tester frames logged so far.
bool ecu_sim_wait_for(ecu_sim &sim, const std::function<bool(const std::vector<ecu_sim_record> &)> &done,
                      std::chrono::milliseconds timeout);
// Unix backend: connected clients (0 for SocketCAN).
std::size_t ecu_sim_client_count(ecu_sim &sim);
bool ecu_sim_wait_for_clients(ecu_sim &sim, std::size_t count, std::chrono::milliseconds timeout);
