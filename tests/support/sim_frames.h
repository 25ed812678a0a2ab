// Frames as byte literals for the simulator's tests.
#pragma once

#include <linux/can.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

using bytes = std::vector<std::uint8_t>;

// A frame with identifier `id` whose length code is the number of bytes given
// (more than 8 keep only the first 8 as data: hostile length codes).
inline can_frame frame(canid_t id, const bytes &data)
{
    can_frame f{};
    f.can_id = id;
    f.len = static_cast<std::uint8_t>(data.size());
    if (!data.empty())
        std::memcpy(f.data, data.data(), std::min<std::size_t>(data.size(), 8));
    return f;
}

inline bytes data_of(const can_frame &f) { return bytes(f.data, f.data + std::min<std::size_t>(f.len, 8)); }
