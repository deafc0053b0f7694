#include "console.h"

#include <cstdarg>
#include <cstdio>

#include "platform.h"

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
    if (log->quiet)
        return;
    va_list args;
    va_start(args, format);
    append_formatted(chunk_for(log, 0), format, args);
    va_end(args);
}

void note_error(console_log* log, int error)
{
    if (is_shortage(error))
        log->short_of_resources = 1;
}

static std::string escaped(const char* name)
{
    std::string text;
    for (const char* p = name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F) {
            text += char(c);
            continue;
        }
        const char* hex = "0123456789abcdef";
        text += '\\';
        if (c == '\n')
            text += 'n';
        else if (c == '\t')
            text += 't';
        else if (c == '\r')
            text += 'r';
        else
            text += {'x', hex[c >> 4], hex[c & 15]};
    }
    return text;
}

std::string name_for_stderr(const char* name)
{
    return escaped(name);
}

std::string name_for_stdout(const char* name)
{
    static const bool terminal = stdout_is_terminal();
    return terminal ? escaped(name) : std::string(name);
}

void log_error(console_log* log, const char* name, const char* format, ...)
{
    std::string* text = chunk_for(log, 1);
    text->append("mapconv: ");
    text->append(escaped(name));
    text->append(": ");
    va_list args;
    va_start(args, format);
    append_formatted(text, format, args);
    va_end(args);
    text->push_back('\n');
}

void print_error(const char* name, const std::string& reason)
{
    fprintf(stderr, "mapconv: %s: %s\n", escaped(name).c_str(), reason.c_str());
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
