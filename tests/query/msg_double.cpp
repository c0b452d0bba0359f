#include "msg_double.h"

#include <errno.h>
#include <string.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

struct Queued {
    int32_t reply_id;
    std::vector<uint8_t> bytes;
    int block_errno;  // non-zero: event_block fails with it
};

// Never destroyed: the CLI thread may still wait on them while the process exits.
std::mutex &mu = *new std::mutex;
std::condition_variable &cv = *new std::condition_variable;
std::deque<Queued> queue;
std::vector<msgdouble::Reply> recorded;
std::vector<msgdouble::CreateCall> creates;
std::vector<uint8_t> attrs;
event_msg_handler_t handler = nullptr;
void *handler_user = nullptr;
int clinfo_result = 0;
int reply_result = 0;
int create_errno = 0;
int attach_errno = 0;
int destroy_errno = 0;
int destroys = 0;
event_context seen_ctx{};
evm_handle_t const fake_evm = reinterpret_cast<evm_handle_t>(0x1234);

}  // namespace

extern "C" {

evm_handle_t event_manager_create(int32_t kind, const char *channel, int32_t depth, void *slot) {
    std::lock_guard lock(mu);
    creates.push_back({kind, channel ? channel : "", depth, slot != nullptr});
    if (create_errno) {
        errno = create_errno;
        return nullptr;
    }
    return fake_evm;
}

int event_manager_destroy(evm_handle_t *handle) {
    std::lock_guard lock(mu);
    destroys++;
    if (destroy_errno) {
        errno = destroy_errno;
        return -1;
    }
    *handle = nullptr;
    return 0;
}

int event_message_attach(evm_handle_t, const void *attributes, event_msg_handler_t h, void *user) {
    std::lock_guard lock(mu);
    const uint8_t *a = static_cast<const uint8_t *>(attributes);
    attrs.assign(a, a + 4);
    handler = h;
    handler_user = user;
    if (attach_errno) {
        errno = attach_errno;
        return -1;
    }
    return 0;
}

int event_block(event_context *ctx) {
    std::unique_lock lock(mu);
    seen_ctx = *ctx;
    cv.wait(lock, [] { return !queue.empty(); });
    Queued q = std::move(queue.front());
    queue.pop_front();
    if (q.block_errno) {
        errno = q.block_errno;
        return -1;
    }
    ctx->reply_id = q.reply_id;
    memcpy(ctx->buffer, q.bytes.data(), q.bytes.size());
    return 0;
}

int vk_event_dispatch(event_context *ctx, int) {
    event_msg_handler_t h;
    void *user;
    {
        std::lock_guard lock(mu);
        h = handler;
        user = handler_user;
    }
    return h ? h(ctx, user) : -1;
}

int msg_get_clinfo_m_msglen(int32_t, uint64_t *length) {
    std::lock_guard lock(mu);
    *length = 0;
    return clinfo_result;
}

int msg_reply(int32_t reply_id, int32_t flags, const void *buffer, size_t length) {
    std::lock_guard lock(mu);
    const uint8_t *b = static_cast<const uint8_t *>(buffer);
    recorded.push_back({reply_id, false, 0, flags, std::vector<uint8_t>(b, b + length)});
    cv.notify_all();
    return reply_result;
}

int msg_error(int32_t reply_id, int32_t error) {
    std::lock_guard lock(mu);
    recorded.push_back({reply_id, true, error, 0, {}});
    cv.notify_all();
    return 0;
}

}  // extern "C"

namespace msgdouble {

void reset() {
    std::lock_guard lock(mu);
    queue.clear();
    recorded.clear();
    creates.clear();
    attrs.clear();
    handler = nullptr;
    handler_user = nullptr;
    clinfo_result = reply_result = create_errno = attach_errno = destroy_errno = destroys = 0;
    seen_ctx = event_context{};
}

void set_clinfo_result(int result) {
    std::lock_guard lock(mu);
    clinfo_result = result;
}
void set_reply_result(int result) {
    std::lock_guard lock(mu);
    reply_result = result;
}
void fail_create(int err) {
    std::lock_guard lock(mu);
    create_errno = err;
}
void fail_attach(int err) {
    std::lock_guard lock(mu);
    attach_errno = err;
}
void fail_destroy(int err) {
    std::lock_guard lock(mu);
    destroy_errno = err;
}

void queue_message(int32_t reply_id, const void *bytes, size_t length) {
    std::lock_guard lock(mu);
    const uint8_t *b = static_cast<const uint8_t *>(bytes);
    queue.push_back({reply_id, std::vector<uint8_t>(b, b + length), 0});
    cv.notify_all();
}

void fail_block(int err) {
    std::lock_guard lock(mu);
    queue.push_back({0, {}, err});
    cv.notify_all();
}

std::vector<Reply> replies() {
    std::lock_guard lock(mu);
    return recorded;
}

bool wait_replies(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, timeout, [n] { return recorded.size() >= n; });
}

std::vector<CreateCall> create_calls() {
    std::lock_guard lock(mu);
    return creates;
}
std::vector<uint8_t> attach_attributes() {
    std::lock_guard lock(mu);
    return attrs;
}
event_msg_handler_t attached_handler() {
    std::lock_guard lock(mu);
    return handler;
}
void *attached_user() {
    std::lock_guard lock(mu);
    return handler_user;
}
int destroy_calls() {
    std::lock_guard lock(mu);
    return destroys;
}
event_context last_context() {
    std::lock_guard lock(mu);
    return seen_ctx;
}

}  // namespace msgdouble
