#include "obd2/ecu_detection.h"

#include <initializer_list>

namespace {

// The first mode that answers, as detect_mode() reports it; `first` gets the
// answer's sender, `first_mode` the mode it answered on.
int detect_first_responder(queued_answer queued, const std::uint8_t *req, std::size_t req_len,
                           std::uint8_t *resp, std::uint64_t *resp_len, canid_t *first, int *first_mode)
{
    for (int mode : {ADDR_MODE_11BIT, ADDR_MODE_29BIT}) {
        *first_mode = mode;
        int r = send_obd2_request_functional(mode, queued, req, req_len, resp, resp_len, REQ_KIND_DETECT, first);
        if (r == 0)
            return mode;
        if (r == -2)
            return -2;
    }
    return 0;
}

// Inserts `id` into the list, kept in ascending order, once.
void add_responder(ecu_entry *found, int max_found, int *found_count, canid_t id, int mode)
{
    int at = 0;
    while (at < *found_count && found[at].resp_id < id)
        ++at;
    if ((at < *found_count && found[at].resp_id == id) || *found_count >= max_found)
        return;
    for (int i = *found_count; i > at; --i)
        found[i] = found[i - 1];
    found[at] = ecu_entry{id, mode};
    ++*found_count;
}

// Answers of further ECUs to the same functional request.
void listen_for_more_responders(int mode, const std::uint8_t *req, std::size_t req_len, ecu_entry *found,
                                int max_found, int *found_count)
{
    canid_t heard[MAX_ECUS * 4];
    const int n = isotp_listen_for_answers(mode, req, req_len, ISOTP_MORE_RESPONDERS_MS, heard,
                                           static_cast<int>(sizeof heard / sizeof heard[0]));
    for (int i = 0; i < n; ++i)
        add_responder(found, max_found, found_count, heard[i], mode);
}

} // namespace

int detect_mode(const std::uint8_t *req, std::size_t req_len, std::uint8_t *resp,
                std::uint64_t *resp_len, queued_answer queued)
{
    canid_t first = 0;
    int first_mode = 0;
    return detect_first_responder(queued, req, req_len, resp, resp_len, &first, &first_mode);
}

int detect_ecus(const std::uint8_t *req, std::size_t req_len, std::uint8_t *resp, std::uint64_t *resp_len,
                ecu_entry *found, int max_found, int *found_count)
{
    *found_count = 0;
    canid_t first = 0;
    int first_mode = 0;
    const int result =
        detect_first_responder(queued_answer::counts, req, req_len, resp, resp_len, &first, &first_mode);
    if (result != 0) {
        add_responder(found, max_found, found_count, first, first_mode);
        listen_for_more_responders(first_mode, req, req_len, found, max_found, found_count);
    }
    return result;
}
