#include "console.h"

#include <cstdarg>
#include <cstdio>


const char not_a_mesh[] = "Not a mesh file.\n";
const char not_a_texture[] = "Not a texture file.\n";

static void append_formatted(std::string* out, const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    char small[256];
    int n = vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (size_t(n) < sizeof small) {
        out->append(small, size_t(n));
    } else {
        size_t old = out->size();
        out->resize(old + size_t(n) + 1);
        vsnprintf(&(*out)[old], size_t(n) + 1, format, again);
        out->resize(old + size_t(n));
    }
    va_end(again);
}

static std::string* chunk_for(console_log* log, int to_stderr)
{
    if (log->chunks.empty() || log->chunks.back().to_stderr != to_stderr)
        log->chunks.push_back(console_chunk{to_stderr, std::string()});
    return &log->chunks.back().text;
}

void log_out(console_log* log, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    append_formatted(chunk_for(log, 0), format, args);
    va_end(args);
}

void log_error(console_log* log, const char* name, const char* format, ...)
{
    std::string* text = chunk_for(log, 1);
    text->append("mapconv: ");
    text->append(name);
    text->append(": ");
    va_list args;
    va_start(args, format);
    append_formatted(text, format, args);
    va_end(args);
    text->push_back('\n');
}

int flush_log(console_log* log)
{
    int result = 0;
    for (const console_chunk& chunk : log->chunks) {
        if (chunk.to_stderr) {
            // Keep the two streams in order when they share a terminal or a file.
            if (fflush(stdout) != 0)
                result = -1;
            fwrite(chunk.text.data(), 1, chunk.text.size(), stderr);
        } else if (fwrite(chunk.text.data(), 1, chunk.text.size(), stdout) != chunk.text.size()) {
            result = -1;
        }
    }
    log->chunks.clear();
    return result;
}

int open_input_or_report(const char* name, int* fd, console_log* log)
{
    std::string reason;
    if (open_input(name, fd, &reason) == 0)
        return 0;
    log_out(log, "Error opening %s\n", name);
    log_error(log, name, "%s", reason.c_str());
    return -1;
}
