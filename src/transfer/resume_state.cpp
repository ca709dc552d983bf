// The record beside a partial download, "<local path>.state": a first line
// naming the record, the resource's whole length, and the validator.
#include "platform/win32.h"  // first: Windows Sockets, before curl.h

#include "transfer/resume_state.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* state_suffix = ".state";
constexpr const char* state_mark = "orvane partial download 1";
constexpr int state_path_size = 4096 + 8;

bool state_path(char (&out)[state_path_size], const char* local_path) {
    const int length = std::snprintf(out, sizeof out, "%s%s", local_path, state_suffix);
    return length > 0 && length < state_path_size;
}

// One line without its line end; false when missing or longer than size - 1.
bool read_line(std::FILE* file, char* out, int size) {
    if (std::fgets(out, size, file) == nullptr) return false;
    const std::size_t length = std::strlen(out);
    if (length == 0 || out[length - 1] != '\n') return false;
    out[length - 1] = '\0';
    return true;
}

}  // namespace

bool resume_state_read(const char* local_path, ResumeState* state) {
    char path[state_path_size];
    if (!state_path(path, local_path)) return false;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    char mark[64];
    char total[32];
    bool usable = read_line(file, mark, sizeof mark) && std::strcmp(mark, state_mark) == 0 &&
                  read_line(file, total, sizeof total) &&
                  read_line(file, state->validator, sizeof state->validator);
    std::fclose(file);
    if (!usable || state->validator[0] == '\0' || total[0] == '\0' || std::strlen(total) > 18)
        return false;
    state->total = 0;
    for (const char* c = total; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        state->total = state->total * 10 + (*c - '0');
    }
    for (const char* c = state->validator; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) return false;
    }
    return state->total > 0;
}

bool resume_state_write(const char* local_path, const ResumeState& state) {
    char path[state_path_size];
    if (!state_path(path, local_path)) return false;
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    bool written = std::fprintf(file, "%s\n%lld\n%s\n", state_mark,
                                static_cast<long long>(state.total), state.validator) > 0;
    if (std::fclose(file) != 0) written = false;
    if (!written) _unlink(path);
    return written;
}

void resume_state_remove(const char* local_path) {
    char path[state_path_size];
    if (state_path(path, local_path)) _unlink(path);
}
