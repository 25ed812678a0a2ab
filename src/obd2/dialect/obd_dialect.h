// Which bytes ask an OBD question, and what the answer means, in both
// dialects: the classic services and OBD on UDS. The services ask for what
// they need through these functions and hold no service bytes; everything
// here works on byte buffers only (no socket, no clock, no global state).
//
// Answers are response buffers as send_obd2_request fills them: byte 0 the
// length byte, byte 1 the service byte, `len` the bytes that belong to the
// answer (answer_length applied by the decoder).
#pragma once

#include "obd2/isotp.h"
#include "obd2/obd2_types.h"

#include <cstddef>
#include <cstdint>

// ---- requests ----------------------------------------------------------------------

enum class obd_question : std::uint8_t {
    pid_value,       // arg: PID.               classic 01 PID        uds 22 F4 PID
    vehicle_info,    // arg: InfoType.          classic 09 type       uds 22 F8 type
    stored_codes,    //                         classic 03            uds: codes_by_status
    pending_codes,   //                         classic 07            uds: codes_by_status
    permanent_codes, //                         classic 0A            uds 19 55 33
    codes_by_status, // arg: status mask.       (uds only)            uds 19 42 33 mask FF
    clear_codes,     //                         classic 04            uds 14 FF FF 33
    frame_pid,       // args: PID, frame.       classic 02 PID frame  (classic only)
    snapshot_list,   //                         (uds only)            uds 19 03
    snapshot,        // args: code (3), record. (uds only)            uds 19 04 code record
};

// Writes the request (PCI byte first, fill bytes behind) into `req`
// (OBD2_REQUEST_SIZE bytes). False when the dialect has no such question or
// the wrong number of arguments is given.
//   classic, pid_value, {0x0C}, fill AA -> 02 01 0C AA AA AA AA AA
//   uds, pid_value, {0x0C}, fill AA     -> 03 22 F4 0C AA AA AA AA
bool build_obd_request(obd_dialect dialect, obd_question question, const std::uint8_t *args,
                       std::size_t arg_count, std::uint8_t fill, std::uint8_t *req);

// The request of a one-argument question (or none: arg ignored); fill from config.json.
bool build_obd_request(obd_dialect dialect, obd_question question, std::uint8_t *req, int arg = -1);

// DTC status bits of OBD on UDS.
constexpr std::uint8_t DTC_STATUS_PENDING = 0x04;
constexpr std::uint8_t DTC_STATUS_CONFIRMED = 0x08; // stored

// ---- answers -----------------------------------------------------------------------

// The data bytes of a PID's value (service 01 / DID F4xx) or a vehicle
// information item (service 09 / DID F8xx): they point into the answer.
struct obd_item {
    std::uint8_t id; // PID or InfoType echoed
    const std::uint8_t *data;
    std::size_t size;
};

// Does `resp` answer the PID (or InfoType) `id` positively? `item` gets its
// data: classic 41 PID data / 49 type data, uds 62 F4 PID data / 62 F8 type data.
bool decode_pid_answer(obd_dialect dialect, const std::uint8_t *resp, std::size_t len, std::uint8_t pid,
                       obd_item &item);
// The PID of a positive PID answer that an exchange passed over (a late one).
bool passed_pid_answer(obd_dialect dialect, const isotp_passed_answer &answer, std::uint8_t *pid);

bool decode_info_answer(obd_dialect dialect, const std::uint8_t *resp, std::size_t len,
                        std::uint8_t info_type, obd_item &item);

// One trouble-code record of a 59 42 or 59 55 answer.
struct dtc_record {
    std::uint8_t high, low; // the code's first two bytes: what its text shows
    std::uint8_t failure_type;
    std::uint8_t status;
};

// Records of one answer; at most DTC_RECORDS_MAX are kept (a 4095-byte
// answer holds at most 818 five-byte records).
constexpr int DTC_RECORDS_MAX = 1024;
struct dtc_records {
    dtc_record items[DTC_RECORDS_MAX];
    int count = 0;
};

// 59 42 33 <availability> <severity availability> <format> {severity, high,
// low, failure type, status}... and 59 55 33 <availability> <format> {high,
// low, failure type, status}...: false for another answer or a record list
// that is not a whole number of records (nothing of it counts then).
bool decode_codes_by_status(const std::uint8_t *resp, std::size_t len, dtc_records &out);
bool decode_permanent_codes(const std::uint8_t *resp, std::size_t len, dtc_records &out);

// A snapshot a 59 03 answer lists: the code's three bytes and the record number.
struct snapshot_id {
    std::uint8_t code[3];
    std::uint8_t record;
};

// 59 03 {code (3), record}...: `chosen` gets record 00, else the first listed;
// `found` is false when none is listed. False for another answer or a partial record.
bool decode_snapshot_list(const std::uint8_t *resp, std::size_t len, snapshot_id &chosen, bool &found);

// One value of a snapshot: a PID (DID F4xx) and its data bytes.
constexpr int SNAPSHOT_VALUES_MAX = 64;
struct snapshot_values {
    obd_item items[SNAPSHOT_VALUES_MAX];
    int count = 0;
};

// The data length of a DID's value, 0 for a DID whose length is not known.
using did_length_fn = std::size_t (*)(std::uint16_t did);

// 59 04 <code (3)> <status> <record> <number of DIDs> {DID, data}...: the
// F4xx DIDs whose length `length_of` knows, up to the first it does not know
// or the end of the answer (a DID cut short ends the reading). False when the
// answer does not echo `asked`'s code.
bool decode_snapshot(const std::uint8_t *resp, std::size_t len, const snapshot_id &asked,
                     did_length_fn length_of, snapshot_values &out);
