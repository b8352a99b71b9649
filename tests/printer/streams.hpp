// Download streams for the tests: what a correct sender puts on the line.
#pragma once

#include "decoder.hpp"

#include <cstdint>
#include <vector>

namespace printer::test {

using Bytes = std::vector<std::uint8_t>;

struct Stream {
    Bytes prelude;  // connection 1
    Bytes transfer; // connection 2
};

inline Bytes make_image(std::size_t size, std::uint32_t seed = 1) {
    Bytes image(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto &b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return image;
}

inline Stream make_stream(const Bytes &image) {
    Stream s;
    s.prelude.assign(std::begin(prelude_bytes), std::end(prelude_bytes));
    s.transfer.assign(std::begin(header_bytes), std::end(header_bytes));
    const std::size_t blocks = image.size() / block_size;
    const std::size_t tail = image.size() % block_size;
    s.transfer.push_back(static_cast<std::uint8_t>(blocks & 0xFF));
    s.transfer.push_back(static_cast<std::uint8_t>(blocks >> 8));
    s.transfer.push_back(static_cast<std::uint8_t>(tail & 0xFF));
    s.transfer.push_back(static_cast<std::uint8_t>(tail >> 8));
    s.transfer.insert(s.transfer.end(), image.begin(), image.end());
    unsigned sum = 0;
    for (std::uint8_t b : image)
        sum += b;
    s.transfer.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    s.transfer.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
    return s;
}

// What a terminal left in cooked output mode makes of the bytes: LF becomes CR LF.
inline Bytes cooked(const Bytes &in) {
    Bytes out;
    for (std::uint8_t b : in) {
        if (b == 0x0A)
            out.push_back(0x0D);
        out.push_back(b);
    }
    return out;
}

inline Bytes capture(const Stream &s) {
    Bytes all = s.prelude;
    all.insert(all.end(), s.transfer.begin(), s.transfer.end());
    return all;
}

} // namespace printer::test
