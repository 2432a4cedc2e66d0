// What the engine processes of --jobs and the program that starts them say to each other on
// the worker's stdin and stdout. Both ends are this same executable, so the headers travel
// as they are in memory.
//
//   start:    the worker replies once, when its engine is ready: status 0 and the path of the
//             library it loaded (a worker that cannot start exits, having said why on stderr)
//   request:  RequestHeader, then the earlier and the later frame (packed RGB)
//   reply:    ReplyHeader, then `size` bytes: the frame when status is 0, else the library's
//             message
//
// Requests are answered one by one, in the order they came.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kri_host {

struct RequestHeader {
    int32_t width;
    int32_t height;
    float t;
};

struct ReplyHeader {
    int32_t status;  // 0: the frame follows; else the library's message does
    uint32_t size;
};

// The bytes of one packed RGB frame; 0 when the size is not one a request may carry.
size_t frame_bytes(int32_t width, int32_t height);

}  // namespace kri_host
