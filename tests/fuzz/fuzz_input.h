// Reading a fuzzer's bytes as the values a target needs; past the end everything reads 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_at >= m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    template <typename T>
    T value()
    {
        T out{};
        unsigned char bytes[sizeof(T)] = {};
        for (size_t i = 0; i < sizeof(T); ++i)
            bytes[i] = byte();
        std::memcpy(&out, bytes, sizeof(T));
        return out;
    }
    // Up to `most` bytes as text (zeros included).
    std::string text(size_t most)
    {
        const size_t length = byte() % (most + 1);
        std::string out;
        for (size_t i = 0; i < length && !empty(); ++i)
            out.push_back(static_cast<char>(byte()));
        return out;
    }
    std::string rest()
    {
        std::string out(reinterpret_cast<const char*>(m_data + m_at), m_size - m_at);
        m_at = m_size;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};
