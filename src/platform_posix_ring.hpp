// The POSIX platform's batches of requests: each step asks the calling
// thread's io_uring ring for many opens, reads or closes with one system
// call. Only the POSIX platform layer uses it.
#pragma once

#include <climits>
#include <cstddef>
#include <span>
#include <vector>

namespace platform::ring {

struct request {
    enum class kind { open, read, close } what;
    int fd = -1;                     // read, close
    const char* path = nullptr;      // open, in the working directory
    int flags = 0;                   // open
    unsigned char* buffer = nullptr; // read, at offset 0
    unsigned capacity = 0;           // read
};

// The answer to a request the ring did not carry out: there is no ring (a
// step of one, a kernel or a build without rings), the ring failed before it
// took the request, or this kernel's ring does not know that kind of request.
// The same call made one by one serves it instead; that is the one rule for
// falling back.
inline constexpr int not_done = INT_MIN;

// Answers every request, in order: what the call gives (a descriptor, a byte
// count, 0), -errno, or not_done. Every request the kernel took is answered
// before this returns, so no buffer is written and no descriptor made after
// it; a ring that failed is closed only then, and not used again.
std::vector<int> run(std::span<const request> requests);

// Files the calling thread holds open for its ring, once it has one.
std::size_t files_held();

}  // namespace platform::ring
