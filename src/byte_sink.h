// Where an encoder puts its bytes: an output file of the pair, or memory. Encoders never open
// files; the pair's conversion hands each one the sink of the output it makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "files.h"

struct byte_sink {
    output_file* file;             // the bytes go to this temporary output, or
    std::vector<uint8_t>* memory;  // are appended here when file is null
};

inline byte_sink file_sink(output_file* file)
{
    return byte_sink{file, nullptr};
}

inline byte_sink memory_sink(std::vector<uint8_t>* memory)
{
    return byte_sink{nullptr, memory};
}

// Appends n bytes. Returns 0, or -1 when they could not be written (the output keeps the reason).
// Memory that cannot grow throws std::bad_alloc, as every allocation in a pair does.
int sink_write(byte_sink* sink, const void* data, size_t n);

// Says that about size more bytes will come, so room can be made for them at once.
void sink_reserve(byte_sink* sink, uint64_t size);
