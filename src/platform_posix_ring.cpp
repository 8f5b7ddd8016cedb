#include "platform_posix_ring.hpp"

#if defined(TRAFFIC_TOTALS_IO_URING)
#include <liburing.h>

#include <cerrno>
#include <ctime>

namespace platform::ring {
namespace {

constexpr unsigned depth = 64;

void prepare(io_uring_sqe* sqe, const request& r) {
    switch (r.what) {
        case request::kind::open: io_uring_prep_openat(sqe, AT_FDCWD, r.path, r.flags, 0); break;
        case request::kind::read: io_uring_prep_read(sqe, r.fd, r.buffer, r.capacity, 0); break;
        case request::kind::close: io_uring_prep_close(sqe, r.fd); break;
    }
}

// A request this kernel's ring does not know comes back with EINVAL (or
// EOPNOTSUPP): it was not carried out.
bool unknown_request(int res) { return res == -EINVAL || res == -EOPNOTSUPP; }

// The calling thread's ring, made at its first step of more than one
// request. A kernel that refuses rings (too old, or forbidden, as in some
// containers) leaves it unusable.
class thread_ring {
public:
    thread_ring() : usable_(io_uring_queue_init(depth, &ring_, 0) == 0) {}
    ~thread_ring() {
        if (usable_) io_uring_queue_exit(&ring_);
    }
    thread_ring(const thread_ring&) = delete;
    thread_ring& operator=(const thread_ring&) = delete;

    bool usable() const { return usable_; }

    // One round of at most `depth` requests: submitted, then every
    // completion of those the kernel took reaped. A failed submission ends
    // the ring once its completions are in; the requests it did not take
    // stay not_done.
    void round(std::span<const request> requests, std::span<int> answers) {
        for (std::size_t i = 0; i < requests.size(); ++i) {
            io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
            prepare(sqe, requests[i]);
            io_uring_sqe_set_data64(sqe, i);
        }
        // Most requests are answered while they are submitted; the wait is
        // for those that were not.
        // A submission cut short by signals is made again, a few times.
        constexpr int most_interruptions = 100;
        std::size_t taken = 0;
        bool failed = false;
        for (int interrupted = 0; taken < requests.size() && !failed;) {
            const int now = io_uring_submit_and_wait(&ring_, taken == 0 ? 1 : 0);
            if (now == -EINTR && ++interrupted < most_interruptions) continue;
            failed = now <= 0;
            if (!failed) taken += static_cast<std::size_t>(now);
        }
        for (std::size_t answered = 0; answered < taken; ++answered) {
            io_uring_cqe* completion = next_completion();
            const int res = completion->res;
            answers[io_uring_cqe_get_data64(completion)] = unknown_request(res) ? not_done : res;
            io_uring_cqe_seen(&ring_, completion);
        }
        // What was left unsubmitted would go with the next submission.
        if (failed) {
            io_uring_queue_exit(&ring_);
            usable_ = false;
        }
    }

private:
    // The next completion. The kernel answers every request it took, so one
    // is always coming; where the wait itself fails (a signal, or worse),
    // the ring is looked at until it is there, without the wait.
    io_uring_cqe* next_completion() {
        io_uring_cqe* completion = nullptr;
        for (;;) {
            if (io_uring_wait_cqe(&ring_, &completion) == 0 && completion != nullptr) return completion;
            if (io_uring_peek_cqe(&ring_, &completion) == 0 && completion != nullptr) return completion;
            const timespec a_moment{0, 1000000};
            nanosleep(&a_moment, nullptr);
        }
    }

    io_uring ring_{};
    bool usable_;
};

thread_ring& ring_of_this_thread() {
    thread_local thread_ring ring;
    return ring;
}

}  // namespace

std::vector<int> run(std::span<const request> requests) {
    std::vector<int> answers(requests.size(), not_done);
    // A step of one is one call anyway: it makes no ring.
    if (requests.size() < 2) return answers;
    thread_ring& ring = ring_of_this_thread();
    for (std::size_t first = 0; first < requests.size() && ring.usable(); first += depth) {
        const std::size_t count = requests.size() - first < depth ? requests.size() - first : depth;
        ring.round(requests.subspan(first, count), std::span<int>(answers).subspan(first, count));
    }
    return answers;
}

std::size_t files_held() { return 1; }

}  // namespace platform::ring

#else

namespace platform::ring {

std::vector<int> run(std::span<const request> requests) { return std::vector<int>(requests.size(), not_done); }

std::size_t files_held() { return 0; }

}  // namespace platform::ring

#endif
