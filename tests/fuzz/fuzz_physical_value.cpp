// calculate_physical_value and answer_length on any service 01 answer: the
// value is a number within its catalogue row's range, 0 where there is none,
// and only bytes of the answer are read.
#include "fuzz_support.h"

#include "obd2/isotp.h"
#include "obd2/pid_catalogue.h"

#include <cmath>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_bytes in(data, size);
    const std::uint8_t pid = in.byte();
    const std::vector<std::uint8_t> answer = in.rest();
    // At the answer's exact size on the heap: a read past it is caught.
    auto resp = std::make_unique<std::uint8_t[]>(answer.size() + 1);
    std::copy(answer.begin(), answer.end(), resp.get());

    const std::size_t len = answer_length(resp.get(), answer.size());
    FUZZ_CHECK(len <= answer.size());
    FUZZ_CHECK(answer.size() > 8 || answer.empty() || len >= 1);

    const float value = calculate_physical_value(pid, resp.get(), answer.size());
    FUZZ_CHECK(std::isfinite(value));
    const int row = find_pid_row(pid);
    const bool long_enough = row >= 0 && answer.size() > (pids[row].data_bits == 16 ? 4u : 3u);
    if (!long_enough) {
        FUZZ_CHECK(value == 0.0f);
        return 0;
    }
    FUZZ_CHECK(value >= pids[row].min && value <= pids[row].max);
    return 0;
}
