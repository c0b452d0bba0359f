// The etcd client: requests built and answers read as the v3 gateway's JSON, every transfer run
// by one worker thread on a curl multi handle, results handed to the owner's thread through an
// eventfd.
#include "etcd/etcd.h"

#include <curl/curl.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

namespace platform::etcd {

using json = nlohmann::json;

namespace {

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The gateway writes 64-bit numbers as strings and leaves out fields that are zero.
int64_t num(const json &j, const char *field) {
    auto it = j.find(field);
    if (it == j.end())
        return 0;
    if (it->is_number())
        return it->get<int64_t>();
    if (it->is_string()) {
        try {
            return int64_t(std::stoull(it->get<std::string>()));
        } catch (...) {
            return 0;
        }
    }
    return 0;
}

bool flag(const json &j, const char *field) {
    auto it = j.find(field);
    return it != j.end() && it->is_boolean() && it->get<bool>();
}

std::string bytes(const json &j, const char *field) {
    auto it = j.find(field);
    std::string out;
    if (it != j.end() && it->is_string())
        base64_decode(it->get<std::string>(), &out);
    return out;
}

KeyValue read_kv(const json &j) {
    KeyValue kv;
    kv.key = bytes(j, "key");
    kv.value = bytes(j, "value");
    kv.create_revision = num(j, "create_revision");
    kv.mod_revision = num(j, "mod_revision");
    kv.version = num(j, "version");
    kv.lease = num(j, "lease");
    return kv;
}

void read_header(const json &j, Reply &r) {
    auto h = j.find("header");
    if (h == j.end() || !h->is_object())
        return;
    r.revision = num(*h, "revision");
    r.member = uint64_t(num(*h, "member_id"));
}

void read_kvs(const json &j, std::vector<KeyValue> &out) {
    auto it = j.find("kvs");
    if (it != j.end() && it->is_array())
        for (auto &kv : *it)
            if (kv.is_object())
                out.push_back(read_kv(kv));
}

void set_range(json &req, const std::string &key, bool prefix) {
    req["key"] = base64_encode(key);
    if (prefix)
        req["range_end"] = base64_encode(prefix_end(key));
}

json op_json(const TxnOp &op) {
    json o;
    switch (op.kind) {
        case TxnOp::Kind::get:
            set_range(o, op.key, op.prefix);
            return {{"request_range", o}};
        case TxnOp::Kind::put:
            o["key"] = base64_encode(op.key);
            o["value"] = base64_encode(op.value);
            if (op.lease)
                o["lease"] = op.lease;
            return {{"request_put", o}};
        case TxnOp::Kind::del:
            set_range(o, op.key, op.prefix);
            return {{"request_delete_range", o}};
    }
    return o;
}

json compare_json(const Compare &c) {
    static const char *const targets[] = {"CREATE", "MOD", "VERSION", "VALUE"};
    static const char *const ops[] = {"EQUAL", "NOT_EQUAL", "LESS", "GREATER"};
    json j = {{"key", base64_encode(c.key)},
              {"target", targets[int(c.target)]},
              {"result", ops[int(c.op)]}};
    switch (c.target) {
        case Compare::Target::create_revision:
            j["create_revision"] = c.number;
            break;
        case Compare::Target::mod_revision:
            j["mod_revision"] = c.number;
            break;
        case Compare::Target::version:
            j["version"] = c.number;
            break;
        case Compare::Target::value:
            j["value"] = base64_encode(c.value);
            break;
    }
    return j;
}

// How a good answer (no error) of each kind of call becomes a Reply.
using Parse = void (*)(const json &, Reply &);

void parse_range(const json &j, Reply &r) {
    read_kvs(j, r.kvs);
    r.count = num(j, "count");
    r.more = flag(j, "more");
    r.outcome = r.count == 0 && r.kvs.empty() ? Outcome::absent : Outcome::ok;
}

void parse_put(const json &, Reply &r) {
    r.outcome = Outcome::ok;
}

void parse_del(const json &j, Reply &r) {
    r.count = num(j, "deleted");
    r.outcome = r.count ? Outcome::ok : Outcome::absent;
}

void parse_txn(const json &j, Reply &r) {
    r.outcome = flag(j, "succeeded") ? Outcome::ok : Outcome::compare_failed;
    auto it = j.find("responses");
    if (it == j.end() || !it->is_array())
        return;
    for (auto &resp : *it) {
        auto range = resp.find("response_range");
        if (range != resp.end() && range->is_object())
            read_kvs(*range, r.kvs);
        auto del = resp.find("response_delete_range");
        if (del != resp.end() && del->is_object())
            r.count += num(*del, "deleted");
    }
}

void parse_lease(const json &j, Reply &r) {
    r.lease = num(j, "ID");
    r.ttl = num(j, "TTL");
    // A keep-alive of a lease that is gone answers with no TTL; a grant always has one.
    r.outcome = r.ttl > 0 ? Outcome::ok : Outcome::absent;
}

void parse_keepalive(const json &j, Reply &r) {
    auto it = j.find("result");
    if (it == j.end() || !it->is_object()) {
        r.outcome = Outcome::unavailable;
        r.reason = "keep-alive answered without a result";
        return;
    }
    read_header(*it, r);
    parse_lease(*it, r);
}

void parse_ok(const json &, Reply &r) {
    r.outcome = Outcome::ok;
}

void parse_status(const json &j, Reply &r) {
    r.leader = uint64_t(num(j, "leader"));
    r.outcome = Outcome::ok;
}

// etcd's answer when a write could not have been proposed: the member has no leader.
bool no_leader(const std::string &message) {
    return message.find("no leader") != std::string::npos;
}

// A call on its way: the request, where it has been tried, and how it ends.
struct Call {
    std::string path;  // "/v3/kv/range"
    std::string body;
    Parse parse = parse_ok;
    // A write is never sent again once it may have reached etcd. A lease renewal is not one: a
    // second renewal does no harm, so it moves on to the next member like a read.
    bool write = false;
    int64_t deadline_ms = 0;
    int fixed_endpoint = -1;  // a watch's probe asks its stream's member only
    size_t endpoint = 0;      // the one tried now
    size_t tried = 0;
    Reply reply;  // what the last attempt found, until the call ends
    std::function<void(const Reply &)> finish;
};

}  // namespace

const char *outcome_name(Outcome o) {
    switch (o) {
        case Outcome::ok:
            return "ok";
        case Outcome::absent:
            return "absent";
        case Outcome::compare_failed:
            return "compare failed";
        case Outcome::unavailable:
            return "unavailable";
        case Outcome::unknown:
            return "outcome unknown";
        case Outcome::compacted:
            return "compacted";
        case Outcome::rejected:
            return "rejected";
    }
    return "?";
}

std::vector<std::string> split_endpoints(const std::string &list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        std::string part = list.substr(start, comma - start);
        while (!part.empty() && part.back() == '/')
            part.pop_back();
        if (!part.empty())
            out.push_back(part);
        start = comma + 1;
    }
    return out;
}

std::string prefix_end(const std::string &prefix) {
    std::string end = prefix;
    while (!end.empty()) {
        if (uint8_t(end.back()) < 0xff) {
            end.back() = char(uint8_t(end.back()) + 1);
            return end;
        }
        end.pop_back();
    }
    return std::string(1, '\0');  // every key
}

static const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(const std::string &in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = uint8_t(in[i]) << 16 | uint8_t(in[i + 1]) << 8 | uint8_t(in[i + 2]);
        out += B64[v >> 18];
        out += B64[(v >> 12) & 63];
        out += B64[(v >> 6) & 63];
        out += B64[v & 63];
    }
    if (i + 1 == in.size()) {
        uint32_t v = uint8_t(in[i]) << 16;
        out += B64[v >> 18];
        out += B64[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        uint32_t v = uint8_t(in[i]) << 16 | uint8_t(in[i + 1]) << 8;
        out += B64[v >> 18];
        out += B64[(v >> 12) & 63];
        out += B64[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

bool base64_decode(const std::string &in, std::string *out) {
    out->clear();
    if (in.size() % 4)
        return false;
    uint32_t v = 0;
    int bits = 0;
    size_t pad = 0;
    for (size_t i = 0; i < in.size(); i++) {
        char c = in[i];
        int d;
        if (c == '=') {
            if (i + 2 < in.size())
                return false;
            pad++;
            continue;
        }
        if (pad)
            return false;
        const char *p = c ? strchr(B64, c) : nullptr;
        if (!p)
            return false;
        d = int(p - B64);
        v = v << 6 | uint32_t(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(char((v >> bits) & 0xff));
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------

struct Client::Worker {
    // One HTTP request in flight: a call's attempt, a watch's stream, or a watch's probe.
    struct Transfer {
        Worker *owner = nullptr;
        CURL *easy = nullptr;
        curl_slist *headers = nullptr;
        std::string url, body, in;
        size_t endpoint = 0;
        std::shared_ptr<Call> call;  // a call or a probe
        uint64_t watch = 0;          // a stream
        int64_t sent_ms = 0;
    };

    struct Watch {
        std::string key;
        bool prefix = false;
        int64_t next = 0;     // the first revision not yet delivered; 0: from now (snapshot first)
        bool resync = false;  // after a break, read the range again rather than resume
        WatchFn fn;
        std::shared_ptr<std::atomic<bool>> live;
        size_t endpoint = 0;
        CURL *stream = nullptr;
        bool reading = false;  // a snapshot read is in flight
        bool probing = false;
        bool compacted = false;  // the stream said its start was compacted
        bool broken_said = false;
        std::string fail;  // why the stream is ending
        int64_t retry_at = 0;
        int64_t heard_ms = 0;  // the last sign of life of its member
        std::string line;      // a partial line of the stream
    };

    explicit Worker(const Options &o) : opt(o) {
        efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        multi = curl_multi_init();
        thread = std::thread([this] { run(); });
    }

    ~Worker() {
        {
            std::lock_guard<std::mutex> lock(mu);
            stopping = true;
        }
        curl_multi_wakeup(multi);
        thread.join();
        for (auto &[easy, t] : transfers) {
            curl_multi_remove_handle(multi, easy);
            release(*t);
        }
        curl_multi_cleanup(multi);
        close(efd);
    }

    // ---- from any thread ----

    void submit(std::shared_ptr<Call> call) {
        {
            std::lock_guard<std::mutex> lock(mu);
            incoming.push_back(std::move(call));
        }
        curl_multi_wakeup(multi);
    }

    // Runs FN on the owner's thread at its next dispatch().
    void post(std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> lock(mu);
            ready.push_back(std::move(fn));
        }
        uint64_t one = 1;
        ssize_t n = write(efd, &one, sizeof one);
        (void)n;
    }

    size_t dispatch() {
        uint64_t count;
        ssize_t n = read(efd, &count, sizeof count);
        (void)n;
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> lock(mu);
            batch.swap(ready);
        }
        for (auto &fn : batch)
            fn();
        return batch.size();
    }

    std::string endpoint() {
        std::lock_guard<std::mutex> lock(mu);
        return last_endpoint;
    }

    // ---- the worker thread ----

    void run() {
        while (true) {
            std::vector<std::shared_ptr<Call>> calls;
            std::vector<std::pair<uint64_t, Watch>> adds;
            std::vector<uint64_t> cancels;
            {
                std::lock_guard<std::mutex> lock(mu);
                if (stopping)
                    return;
                calls.swap(incoming);
                adds.swap(new_watches);
                cancels.swap(cancelled);
            }
            for (auto &c : calls) {
                c->endpoint = preferred;
                attempt(c);
            }
            for (auto &[id, w] : adds) {
                w.endpoint = preferred;
                watches.emplace(id, std::move(w));
                if (watches[id].next == 0)
                    snapshot(id);
                else
                    open_stream(id);
            }
            for (uint64_t id : cancels)
                drop_watch(id);
            watch_timers();

            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg *m = curl_multi_info_read(multi, &left))
                if (m->msg == CURLMSG_DONE)
                    done(m->easy_handle, m->data.result);
            long curl_ms = -1;
            curl_multi_timeout(multi, &curl_ms);
            int wait = 50;
            if (curl_ms >= 0 && curl_ms < wait)
                wait = int(curl_ms);
            curl_multi_poll(multi, nullptr, 0, wait, nullptr);
        }
    }

    void release(Transfer &t) {
        curl_slist_free_all(t.headers);
        curl_easy_cleanup(t.easy);
    }

    static size_t on_data(char *p, size_t size, size_t n, void *user) {
        auto *t = static_cast<Transfer *>(user);
        t->in.append(p, size * n);
        if (t->watch)
            return t->owner->stream_data(*t) ? size * n : 0;
        return size * n;
    }

    Transfer *start(size_t endpoint, const std::string &path, const std::string &body,
                    long timeout_ms, bool stream) {
        auto t = std::make_unique<Transfer>();
        t->owner = this;
        t->endpoint = endpoint;
        t->url = opt.endpoints[endpoint] + path;
        t->body = body;
        t->sent_ms = mono_ms();
        t->easy = curl_easy_init();
        t->headers = curl_slist_append(nullptr, "Content-Type: application/json");
        t->headers = curl_slist_append(t->headers, "Expect:");
        CURL *e = t->easy;
        curl_easy_setopt(e, CURLOPT_URL, t->url.c_str());
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->body.c_str());
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(t->body.size()));
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_data);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                         long(std::min<long>(opt.connect_timeout_ms, std::max(timeout_ms, 1L))));
        if (stream) {
            // A member that dies without closing the connection is found by the probe; keep-alive
            // probes only tell a vanished machine.
            curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
            curl_easy_setopt(e, CURLOPT_TCP_KEEPIDLE, 2L);
            curl_easy_setopt(e, CURLOPT_TCP_KEEPINTVL, 1L);
        } else {
            curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, std::max(timeout_ms, 1L));
        }
        Transfer *raw = t.get();
        curl_multi_add_handle(multi, e);
        transfers.emplace(e, std::move(t));
        return raw;
    }

    // Sends CALL to its current endpoint, or ends it when its time is up.
    void attempt(const std::shared_ptr<Call> &call) {
        int64_t left = call->deadline_ms - mono_ms();
        if (left <= 0 || opt.endpoints.empty()) {
            Reply &r = call->reply;
            if (opt.endpoints.empty())
                r.reason = "no etcd endpoints";
            else if (r.reason.empty())
                r.reason = "timed out";
            r.outcome = Outcome::unavailable;
            end(call);
            return;
        }
        if (call->fixed_endpoint >= 0)
            call->endpoint = size_t(call->fixed_endpoint);
        long limit = call->write ? left : std::min<int64_t>(left, opt.attempt_timeout_ms);
        Transfer *t = start(call->endpoint, call->path, call->body, limit, false);
        t->call = call;
    }

    void end(const std::shared_ptr<Call> &call) {
        if (call->reply.outcome == Outcome::ok)
            call->reply.reason.clear();
        call->finish(call->reply);
    }

    // The attempt failed without an answer that settles the call: try the next endpoint while
    // the call may be sent again and time is left; otherwise end it with OUTCOME.
    void next_or_end(const std::shared_ptr<Call> &call, Outcome outcome, bool may_retry) {
        call->tried++;
        if (call->fixed_endpoint < 0) {
            // The next call starts elsewhere, so that a hung member costs one call its time,
            // not every call after it.
            std::lock_guard<std::mutex> lock(mu);
            if (preferred == call->endpoint)
                preferred = (call->endpoint + 1) % opt.endpoints.size();
        }
        call->reply.outcome = outcome;
        if (may_retry && call->fixed_endpoint < 0 && call->tried < opt.endpoints.size() &&
            mono_ms() < call->deadline_ms) {
            call->endpoint = (call->endpoint + 1) % opt.endpoints.size();
            attempt(call);
            return;
        }
        end(call);
    }

    void done(CURL *easy, CURLcode code) {
        auto it = transfers.find(easy);
        if (it == transfers.end())
            return;
        std::unique_ptr<Transfer> t = std::move(it->second);
        transfers.erase(it);
        curl_multi_remove_handle(multi, easy);
        long http = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &http);
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        long request_bytes = 0;
        curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &request_bytes);
        std::string curl_error = curl_easy_strerror(code);
        release(*t);
        if (t->watch) {
            stream_ended(t->watch, curl_error);
            return;
        }

        std::shared_ptr<Call> call = t->call;
        Reply &r = call->reply;
        r.endpoint = opt.endpoints[t->endpoint];
        r.sent_ms = t->sent_ms;
        if (code != CURLE_OK) {
            // Nothing left this machine when the connection was never made, or when it was
            // made but not one byte of the request went out.
            bool unsent = code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
                          (pretransfer == 0 && request_bytes == 0);
            r.reason = r.endpoint + ": " + curl_error;
            if (unsent || !call->write)
                next_or_end(call, Outcome::unavailable, true);
            else
                next_or_end(call, Outcome::unknown, false);
            return;
        }
        json j = json::parse(t->in, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            r.reason = r.endpoint + ": HTTP " + std::to_string(http) + ", not a JSON answer";
            next_or_end(call, call->write ? Outcome::unknown : Outcome::unavailable, !call->write);
            return;
        }
        auto err = j.find("error");
        if (err != j.end() || http != 200) {
            std::string message =
                err != j.end() && err->is_string() ? err->get<std::string>() : "HTTP error";
            int64_t grpc = num(j, "code");
            r.reason = r.endpoint + ": " + message;
            if (grpc == 11 && message.find("compacted") != std::string::npos) {
                r.outcome = Outcome::compacted;
                end(call);
            } else if (grpc == 5) {  // NotFound: the lease
                r.outcome = Outcome::absent;
                end(call);
            } else if (grpc == 14 || grpc == 4 || http >= 500) {
                // Unavailable or deadline exceeded on etcd's side: a write that got this far may
                // have been proposed, unless the member had no leader to propose it to.
                if (!call->write || no_leader(message))
                    next_or_end(call, Outcome::unavailable, true);
                else
                    next_or_end(call, Outcome::unknown, false);
            } else {
                r.outcome = Outcome::rejected;
                end(call);
            }
            return;
        }
        r.reason.clear();
        read_header(j, r);
        call->parse(j, r);
        if (r.outcome != Outcome::unavailable && call->fixed_endpoint < 0) {
            std::lock_guard<std::mutex> lock(mu);
            preferred = t->endpoint;
            last_endpoint = r.endpoint;
        }
        end(call);
    }

    // ---- watches (worker thread) ----

    void deliver(Watch &w, WatchUpdate u) {
        auto fn = w.fn;
        auto live = w.live;
        post([fn, live, u = std::move(u)] {
            if (*live)
                fn(u);
        });
    }

    void broken(uint64_t id, const std::string &why) {
        Watch &w = watches[id];
        if (!opt.endpoints.empty())
            w.endpoint = (w.endpoint + 1) % opt.endpoints.size();
        w.retry_at = mono_ms() + opt.watch_retry_ms;
        if (!w.broken_said) {
            w.broken_said = true;
            WatchUpdate u;
            u.kind = WatchUpdate::Kind::broken;
            u.reason = why;
            u.revision = w.next - 1;
            deliver(w, std::move(u));
        }
    }

    void snapshot(uint64_t id) {
        Watch &w = watches[id];
        w.reading = true;
        auto call = std::make_shared<Call>();
        json req;
        set_range(req, w.key, w.prefix);
        call->path = "/v3/kv/range";
        call->body = req.dump();
        call->parse = parse_range;
        call->deadline_ms = mono_ms() + opt.call_timeout_ms;
        call->endpoint = w.endpoint;
        call->finish = [this, id](const Reply &r) {
            auto it = watches.find(id);
            if (it == watches.end())
                return;
            Watch &w = it->second;
            w.reading = false;
            if (r.outcome != Outcome::ok && r.outcome != Outcome::absent) {
                broken(id, "reading the range: " + std::string(outcome_name(r.outcome)) + ", " +
                               r.reason);
                return;
            }
            WatchUpdate u;
            u.kind = WatchUpdate::Kind::snapshot;
            u.kvs = r.kvs;
            u.revision = r.revision;
            u.endpoint = r.endpoint;
            w.next = r.revision + 1;
            deliver(w, std::move(u));
            open_stream(id);
        };
        attempt(call);
    }

    void open_stream(uint64_t id) {
        Watch &w = watches[id];
        json create;
        set_range(create, w.key, w.prefix);
        create["start_revision"] = w.next;
        json req = {{"create_request", create}};
        Transfer *t = start(w.endpoint, "/v3/watch", req.dump(), 0, true);
        t->watch = id;
        w.stream = t->easy;
        w.heard_ms = mono_ms();
        w.compacted = false;
        w.fail.clear();
        w.line.clear();
    }

    // New bytes on a watch's stream: one JSON answer per line. False ends the stream.
    bool stream_data(Transfer &t) {
        auto it = watches.find(t.watch);
        if (it == watches.end())
            return false;
        Watch &w = it->second;
        w.line += t.in;
        t.in.clear();
        size_t nl;
        while ((nl = w.line.find('\n')) != std::string::npos) {
            std::string line = w.line.substr(0, nl);
            w.line.erase(0, nl + 1);
            if (!stream_line(t, w, line))
                return false;
        }
        return true;
    }

    bool stream_line(Transfer &t, Watch &w, const std::string &line) {
        json j = json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            w.fail = "a watch answer that is not JSON";
            return false;
        }
        auto res = j.find("result");
        if (res == j.end() || !res->is_object()) {
            auto err = j.find("error");
            w.fail = err != j.end() && err->is_string() ? err->get<std::string>()
                                                        : "a watch answer without a result";
            return false;
        }
        w.heard_ms = mono_ms();
        if (num(*res, "compact_revision") > 0) {
            w.compacted = true;
            w.fail = "revision " + std::to_string(w.next) + " compacted";
            return false;
        }
        if (flag(*res, "canceled")) {
            std::string why = bytes(*res, "cancel_reason");
            w.fail = "watch cancelled by etcd" + (why.empty() ? "" : ": " + why);
            return false;
        }
        if (flag(*res, "created")) {
            w.broken_said = false;
            WatchUpdate u;
            u.kind = WatchUpdate::Kind::resumed;
            u.endpoint = opt.endpoints[t.endpoint];
            u.revision = w.next - 1;
            deliver(w, std::move(u));
            std::lock_guard<std::mutex> lock(mu);
            preferred = t.endpoint;
            last_endpoint = u.endpoint;
        }
        auto evs = res->find("events");
        if (evs == res->end() || !evs->is_array())
            return true;
        WatchUpdate u;
        u.kind = WatchUpdate::Kind::events;
        for (auto &e : *evs) {
            if (!e.is_object() || e.find("kv") == e.end())
                continue;
            WatchUpdate::Event ev;
            auto type = e.find("type");
            ev.deleted = type != e.end() && type->is_string() && *type == "DELETE";
            ev.kv = read_kv(e["kv"]);
            // A stream opened again never hands over what was delivered before.
            if (ev.kv.mod_revision < w.next)
                continue;
            u.revision = ev.kv.mod_revision;
            u.events.push_back(std::move(ev));
        }
        if (!u.events.empty()) {
            w.next = u.revision + 1;
            deliver(w, std::move(u));
        }
        return true;
    }

    void stream_ended(uint64_t id, const std::string &curl_error) {
        auto it = watches.find(id);
        if (it == watches.end())
            return;
        Watch &w = it->second;
        w.stream = nullptr;
        if (w.compacted) {
            snapshot(id);
            return;
        }
        broken(id, opt.endpoints[w.endpoint] + ": " +
                       (w.fail.empty() ? "stream ended: " + curl_error : w.fail));
    }

    // Reopens broken watches whose pause is over; probes the member of a silent stream.
    void watch_timers() {
        int64_t now = mono_ms();
        for (auto &[id, w] : watches) {
            if (!w.stream && !w.reading) {
                if (now < w.retry_at)
                    continue;
                if (w.next == 0 || w.resync)
                    snapshot(id);
                else
                    open_stream(id);
                continue;
            }
            if (w.stream && !w.probing && now - w.heard_ms >= opt.watch_probe_ms)
                probe(id);
        }
    }

    // A quorum read of the watched key on the stream's own member: a member that cannot answer
    // it (stopped, cut off, without quorum) cannot be relied on to deliver events either.
    void probe(uint64_t id) {
        Watch &w = watches[id];
        w.probing = true;
        auto call = std::make_shared<Call>();
        json req;
        set_range(req, w.key, w.prefix);
        req["count_only"] = true;
        call->path = "/v3/kv/range";
        call->body = req.dump();
        call->parse = parse_range;
        call->deadline_ms = mono_ms() + opt.attempt_timeout_ms;
        call->fixed_endpoint = int(w.endpoint);
        CURL *stream = w.stream;
        call->finish = [this, id, stream](const Reply &r) {
            auto it = watches.find(id);
            if (it == watches.end())
                return;
            Watch &w = it->second;
            w.probing = false;
            if (w.stream != stream)
                return;  // that stream is already gone
            if (r.outcome == Outcome::ok || r.outcome == Outcome::absent) {
                w.heard_ms = mono_ms();
                return;
            }
            w.fail = "member failed the probe: " + r.reason;
            // Ends the stream; its completion reopens the watch elsewhere.
            auto t = transfers.find(stream);
            if (t != transfers.end()) {
                curl_multi_remove_handle(multi, stream);
                release(*t->second);
                transfers.erase(t);
                stream_ended(id, "probe failed");
            }
        };
        attempt(call);
    }

    void drop_watch(uint64_t id) {
        auto it = watches.find(id);
        if (it == watches.end())
            return;
        if (it->second.stream) {
            auto t = transfers.find(it->second.stream);
            if (t != transfers.end()) {
                curl_multi_remove_handle(multi, t->first);
                release(*t->second);
                transfers.erase(t);
            }
        }
        watches.erase(it);
    }

    uint64_t add_watch(Watch w) {
        uint64_t id = next_watch++;
        {
            std::lock_guard<std::mutex> lock(mu);
            lives[id] = w.live;
            new_watches.emplace_back(id, std::move(w));
        }
        curl_multi_wakeup(multi);
        return id;
    }

    void cancel_watch(uint64_t id) {
        {
            std::lock_guard<std::mutex> lock(mu);
            auto live = lives.find(id);
            if (live != lives.end()) {
                *live->second = false;
                lives.erase(live);
            }
            cancelled.push_back(id);
        }
        curl_multi_wakeup(multi);
    }

    const Options opt;
    int efd = -1;
    CURLM *multi = nullptr;
    std::thread thread;
    std::atomic<uint64_t> next_watch{1};

    std::mutex mu;  // guards everything below up to the worker's own state
    bool stopping = false;
    std::vector<std::shared_ptr<Call>> incoming;
    std::vector<std::pair<uint64_t, Watch>> new_watches;
    std::vector<uint64_t> cancelled;
    std::map<uint64_t, std::shared_ptr<std::atomic<bool>>> lives;
    std::deque<std::function<void()>> ready;
    size_t preferred = 0;
    std::string last_endpoint;

    // The worker thread's own.
    std::map<CURL *, std::unique_ptr<Transfer>> transfers;
    std::map<uint64_t, Watch> watches;
};

// ---------------------------------------------------------------------------------------------

namespace {

std::once_flag curl_once;

}  // namespace

Client::Client(Options options) : options_(std::move(options)) {
    std::call_once(curl_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    worker_ = std::make_unique<Worker>(options_);
}

Client::~Client() = default;

int Client::fd() const {
    return worker_->efd;
}

size_t Client::dispatch() {
    return worker_->dispatch();
}

std::string Client::endpoint() const {
    return worker_->endpoint();
}

namespace {

std::shared_ptr<Call> make_call(const Options &o, const char *path, const json &body, Parse parse,
                                bool write, int timeout_ms) {
    auto c = std::make_shared<Call>();
    c->path = path;
    c->body = body.dump();
    c->parse = parse;
    c->write = write;
    c->deadline_ms = mono_ms() + (timeout_ms > 0 ? timeout_ms : o.call_timeout_ms);
    return c;
}

json range_json(const std::string &key, bool prefix, int64_t revision, bool local) {
    json req;
    set_range(req, key, prefix);
    if (revision)
        req["revision"] = revision;
    if (local)
        req["serializable"] = true;
    return req;
}

json put_json(const std::string &key, const std::string &value, int64_t lease) {
    json req = {{"key", base64_encode(key)}, {"value", base64_encode(value)}};
    if (lease)
        req["lease"] = lease;
    return req;
}

json del_json(const std::string &key, bool prefix) {
    json req;
    set_range(req, key, prefix);
    return req;
}

json txn_json(const Txn &txn) {
    json req = {{"compare", json::array()}, {"success", json::array()}, {"failure", json::array()}};
    for (auto &c : txn.compare)
        req["compare"].push_back(compare_json(c));
    for (auto &op : txn.success)
        req["success"].push_back(op_json(op));
    for (auto &op : txn.failure)
        req["failure"].push_back(op_json(op));
    return req;
}

void submit_async(Client::Worker *w, std::shared_ptr<Call> c, Client::Done done) {
    c->finish = [w, done = std::move(done)](const Reply &r) { w->post([done, r] { done(r); }); };
    w->submit(std::move(c));
}

Reply submit_sync(Client::Worker *w, std::shared_ptr<Call> c) {
    auto promise = std::make_shared<std::promise<Reply>>();
    std::future<Reply> answer = promise->get_future();
    c->finish = [promise](const Reply &r) { promise->set_value(r); };
    w->submit(std::move(c));
    return answer.get();
}

}  // namespace

void Client::range(const std::string &key, bool prefix, int64_t revision, Done done, int timeout_ms,
                   bool local) {
    submit_async(worker_.get(),
                 make_call(options_, "/v3/kv/range", range_json(key, prefix, revision, local),
                           parse_range, false, timeout_ms),
                 std::move(done));
}

void Client::put(const std::string &key, const std::string &value, int64_t lease, Done done,
                 int timeout_ms) {
    submit_async(
        worker_.get(),
        make_call(options_, "/v3/kv/put", put_json(key, value, lease), parse_put, true, timeout_ms),
        std::move(done));
}

void Client::del(const std::string &key, bool prefix, Done done, int timeout_ms) {
    submit_async(worker_.get(),
                 make_call(options_, "/v3/kv/deleterange", del_json(key, prefix), parse_del, true,
                           timeout_ms),
                 std::move(done));
}

void Client::txn(const Txn &txn, Done done, int timeout_ms) {
    submit_async(worker_.get(),
                 make_call(options_, "/v3/kv/txn", txn_json(txn), parse_txn, true, timeout_ms),
                 std::move(done));
}

void Client::compact(int64_t revision, Done done, int timeout_ms) {
    submit_async(worker_.get(),
                 make_call(options_, "/v3/kv/compaction", json{{"revision", revision}}, parse_ok,
                           true, timeout_ms),
                 std::move(done));
}

void Client::lease_grant(int64_t ttl_s, Done done, int timeout_ms) {
    submit_async(
        worker_.get(),
        make_call(options_, "/v3/lease/grant", json{{"TTL", ttl_s}}, parse_lease, true, timeout_ms),
        std::move(done));
}

void Client::lease_keepalive(int64_t lease, Done done, int timeout_ms) {
    submit_async(worker_.get(),
                 make_call(options_, "/v3/lease/keepalive", json{{"ID", lease}}, parse_keepalive,
                           false, timeout_ms),
                 std::move(done));
}

void Client::lease_revoke(int64_t lease, Done done, int timeout_ms) {
    submit_async(
        worker_.get(),
        make_call(options_, "/v3/kv/lease/revoke", json{{"ID", lease}}, parse_ok, true, timeout_ms),
        std::move(done));
}

void Client::status(Done done, int timeout_ms) {
    submit_async(worker_.get(),
                 make_call(options_, "/v3/maintenance/status", json::object(), parse_status, false,
                           timeout_ms),
                 std::move(done));
}

Reply Client::range_sync(const std::string &key, bool prefix, int64_t revision, int timeout_ms,
                         bool local) {
    return submit_sync(worker_.get(),
                       make_call(options_, "/v3/kv/range", range_json(key, prefix, revision, local),
                                 parse_range, false, timeout_ms));
}

Reply Client::put_sync(const std::string &key, const std::string &value, int64_t lease,
                       int timeout_ms) {
    return submit_sync(worker_.get(), make_call(options_, "/v3/kv/put", put_json(key, value, lease),
                                                parse_put, true, timeout_ms));
}

Reply Client::del_sync(const std::string &key, bool prefix, int timeout_ms) {
    return submit_sync(worker_.get(),
                       make_call(options_, "/v3/kv/deleterange", del_json(key, prefix), parse_del,
                                 true, timeout_ms));
}

Reply Client::txn_sync(const Txn &txn, int timeout_ms) {
    return submit_sync(worker_.get(), make_call(options_, "/v3/kv/txn", txn_json(txn), parse_txn,
                                                true, timeout_ms));
}

Reply Client::compact_sync(int64_t revision, int timeout_ms) {
    return submit_sync(worker_.get(),
                       make_call(options_, "/v3/kv/compaction", json{{"revision", revision}},
                                 parse_ok, true, timeout_ms));
}

Reply Client::lease_grant_sync(int64_t ttl_s, int timeout_ms) {
    return submit_sync(worker_.get(), make_call(options_, "/v3/lease/grant", json{{"TTL", ttl_s}},
                                                parse_lease, true, timeout_ms));
}

Reply Client::lease_keepalive_sync(int64_t lease, int timeout_ms) {
    return submit_sync(worker_.get(),
                       make_call(options_, "/v3/lease/keepalive", json{{"ID", lease}},
                                 parse_keepalive, false, timeout_ms));
}

Reply Client::lease_revoke_sync(int64_t lease, int timeout_ms) {
    return submit_sync(worker_.get(), make_call(options_, "/v3/kv/lease/revoke",
                                                json{{"ID", lease}}, parse_ok, true, timeout_ms));
}

Reply Client::status_sync(int timeout_ms) {
    return submit_sync(worker_.get(), make_call(options_, "/v3/maintenance/status", json::object(),
                                                parse_status, false, timeout_ms));
}

uint64_t Client::watch(const std::string &key, bool prefix, int64_t from, WatchFn fn, bool resync) {
    Worker::Watch w;
    w.resync = resync;
    w.key = key;
    w.prefix = prefix;
    w.next = from;
    w.fn = std::move(fn);
    w.live = std::make_shared<std::atomic<bool>>(true);
    return worker_->add_watch(std::move(w));
}

void Client::cancel_watch(uint64_t id) {
    worker_->cancel_watch(id);
}

}  // namespace platform::etcd
