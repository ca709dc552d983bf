// Bounds of the texts the update engine builds.
#pragma once

// Every path and URL fits a buffer of this size, terminator included.
constexpr int path_buffer_size = 4096;
