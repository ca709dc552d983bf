// The parts of a multi-range answer (multipart/byteranges), read from its
// stream one after the other: each part's delimiter and head, then its bytes.
#pragma once

#include <cstdint>

#include "transfer/url_stream.h"

// How reading a delimiter and what follows it ended.
enum class MultipartRead {
    part,       // a part's head, whole, is in `part`; its bytes come next
    end,        // the closing delimiter: no part follows
    cut,        // the stream ended first
    malformed,  // anything else
};

// Reads up to the next part's bytes (or the closing delimiter) of the body
// whose boundary is `boundary`, from just after the previous part's bytes
// (or the body's start). Every byte read is taken from *budget, the framing
// that the download may still receive within its cap; an answer whose
// framing would go past it is malformed.
MultipartRead multipart_next(UrlStream* stream, const char* boundary, UrlResponse* part,
                             std::int64_t* budget);
