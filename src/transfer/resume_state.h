// The record kept beside a partial download: what the next download of the
// same file needs to ask the server for the rest.
#pragma once

#include <cstdint>

#include "transfer/url_stream.h"

struct ResumeState {
    char validator[url_validator_size];  // the strong ETag or Last-Modified it was sent under
    std::int64_t total;                  // the whole resource's length
};

// False when there is no usable record beside local_path.
bool resume_state_read(const char* local_path, ResumeState* state);
// False when it could not be written whole (then there is none).
bool resume_state_write(const char* local_path, const ResumeState& state);
void resume_state_remove(const char* local_path);
