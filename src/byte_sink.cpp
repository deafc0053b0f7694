#include "byte_sink.h"

int sink_write(byte_sink* sink, const void* data, size_t n)
{
    if (sink->file)
        return output_write(sink->file, data, n);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    sink->memory->insert(sink->memory->end(), bytes, bytes + n);
    return 0;
}

void sink_reserve(byte_sink* sink, uint64_t size)
{
    if (sink->file)
        output_reserve(sink->file, sink->file->written + size);
    else
        sink->memory->reserve(sink->memory->size() + size_t(size));
}
